#include "client/session/ControlSendChain.h"

namespace orvanta::client {

std::shared_ptr<ControlSendChain> ControlSendChain::create(base::Executor& main,
                                                           std::shared_ptr<platform::WebSocketChannel> channel) {
    return std::make_shared<ControlSendChain>(Passkey{}, main, std::move(channel));
}

ControlSendChain::ControlSendChain(Passkey, base::Executor& main, std::shared_ptr<platform::WebSocketChannel> channel)
    : main_(main), channel_(std::move(channel)) {}

void ControlSendChain::enqueue(protocol::ControlMessage message, Generation generation) {
    queue_.emplace_back(std::move(message), std::move(generation));
    if (scheduled_ || busy_) return;
    scheduled_ = true;
    main_.async([self = shared_from_this()] {
        self->scheduled_ = false;
        self->pump();
    });
}

void ControlSendChain::whenIdle(std::function<void()> fn) {
    if (idle()) return main_.async(std::move(fn));
    idleWaiters_.push_back(std::move(fn));
}

void ControlSendChain::pump() {
    while (!busy_ && !queue_.empty()) {
        auto [message, generation] = std::move(queue_.front());
        queue_.pop_front();
        if (cancelled_ || !allows || !allows(generation)) continue;
        auto text = message.jsonString();
        if (!text) {
            if (onFailure) onFailure("cannot encode " + std::string(message.typeName()), generation);
            continue;
        }
        busy_ = true;
        channel_->send(platform::WebSocketText{std::move(*text)}, [self = shared_from_this(), generation](auto result) {
            self->busy_ = false;
            if (!result && self->onFailure) {
                self->onFailure(platform::describe(result.error()), generation);
            }
            self->pump();
        });
    }
    if (!idle()) return;
    auto waiters = std::move(idleWaiters_);
    idleWaiters_.clear();
    for (auto& waiter : waiters) waiter();
}

void drainThenClose(base::Executor& main, const std::shared_ptr<ControlSendChain>& tail,
                    std::optional<std::string> closingText, std::shared_ptr<platform::WebSocketChannel> control,
                    std::shared_ptr<platform::WebSocketChannel> video, base::Micros watchdog,
                    std::function<void()> onFinished) {
    auto close = [control, video] {
        control->cancel(kGoingAway, {});
        if (video) video->cancel(kGoingAway, {});
    };
    auto watchdogTask = main.asyncAfter(watchdog, [onFinished, close] {
        onFinished();
        close();
    });
    auto finish = [onFinished, close, watchdogTask] {
        onFinished();
        watchdogTask.cancel();
        close();
    };
    auto afterTail = [control, closingText = std::move(closingText), finish] {
        if (!closingText) return finish();
        control->send(platform::WebSocketText{*closingText}, [finish](auto) { finish(); });
    };
    if (tail) return tail->whenIdle(std::move(afterTail));
    main.async(std::move(afterTail));
}

}  // namespace orvanta::client
