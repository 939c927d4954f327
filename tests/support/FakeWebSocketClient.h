// An in-memory WebSocketClient: the test sees every channel opened, what was sent and pinged on it and
// how it was closed, and feeds it messages, pongs and failures. Completions run on the channel's executor, as
// the real client's do.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/WebSocketClient.h"

namespace orvanta::testing {

class FakeWebSocketChannel final : public platform::WebSocketChannel,
                                   public std::enable_shared_from_this<FakeWebSocketChannel> {
public:
    FakeWebSocketChannel(std::string target, platform::WebSocketOptions settings, base::Executor& executor)
        : url(std::move(target)), options(settings), executor_(executor) {}

    // ---- What the code under test did.
    const std::string url;
    const platform::WebSocketOptions options;
    std::vector<platform::WebSocketMessage> sent;  // in the order the sends completed
    std::optional<std::uint16_t> cancelledWith;
    int receiveCalls = 0;
    int pingCalls = 0;

    // While set, sends wait in `heldSends` until completeHeldSend.
    bool holdSends = false;

    // ---- Driving it.
    void deliver(platform::WebSocketMessage message) {
        inbound_.emplace_back(std::move(message));
        pump();
    }
    void deliverText(std::string text) { deliver(platform::WebSocketText{std::move(text)}); }
    // Every pending and later receive fails with `error`; a close code in it becomes closeCode().
    void fail(platform::WebSocketError error) {
        failure_ = std::move(error);
        pump();
    }
    void closeByPeer(std::uint16_t code) { fail({platform::WebSocketError::Kind::closed, "closed", code}); }
    std::size_t heldSendCount() const { return held_.size(); }
    // Completes the oldest held send, successfully or not.
    void completeHeldSend(bool success = true) {
        auto [message, completion] = std::move(held_.front());
        held_.pop_front();
        finishSend(std::move(message), std::move(completion), success);
    }
    // Pings still waiting for their pong.
    std::size_t waitingPingCount() const { return pings_.size(); }
    // The peer's pong: completes every waiting ping.
    void pong() {
        for (auto& completion : std::exchange(pings_, {})) {
            executor_.async([completion = std::move(completion)] { completion({}); });
        }
    }
    bool isCancelled() const { return cancelledWith.has_value(); }
    std::vector<std::string> sentTexts() const {
        std::vector<std::string> texts;
        for (const auto& message : sent) {
            if (auto* text = std::get_if<platform::WebSocketText>(&message)) texts.push_back(text->text);
        }
        return texts;
    }

    // ---- WebSocketChannel
    void send(platform::WebSocketMessage message, SendCompletion completion) override {
        if (cancelledWith || failure_) {
            auto error = failure_.value_or(platform::WebSocketError{platform::WebSocketError::Kind::cancelled, {}, {}});
            executor_.async([completion = std::move(completion), error] { completion(std::unexpected(error)); });
            return;
        }
        if (holdSends) {
            held_.emplace_back(std::move(message), std::move(completion));
            return;
        }
        finishSend(std::move(message), std::move(completion), true);
    }
    void ping(PingCompletion completion) override {
        ++pingCalls;
        pings_.push_back(std::move(completion));
        pump();
    }
    void receive(ReceiveCompletion completion) override {
        ++receiveCalls;
        receiver_ = std::move(completion);
        pump();
    }
    void cancel(std::uint16_t code, std::string) override {
        if (cancelledWith) return;
        cancelledWith = code;
        if (!failure_) failure_ = platform::WebSocketError{platform::WebSocketError::Kind::cancelled, {}, {}};
        pump();
        while (!held_.empty()) completeHeldSend(false);
    }
    std::optional<std::uint16_t> closeCode() const override { return reportedCloseCode_; }

private:
    void finishSend(platform::WebSocketMessage message, SendCompletion completion, bool success) {
        if (success) sent.push_back(std::move(message));
        executor_.async([completion = std::move(completion), success] {
            if (success) {
                completion({});
            } else {
                completion(
                    std::unexpected(platform::WebSocketError{platform::WebSocketError::Kind::cancelled, {}, {}}));
            }
        });
    }

    void pump() {
        if (failure_) {
            for (auto& completion : std::exchange(pings_, {})) {
                executor_.async([completion = std::move(completion), error = *failure_] {
                    completion(std::unexpected(error));
                });
            }
        }
        if (!receiver_) return;
        auto completion = std::move(receiver_);
        receiver_ = nullptr;
        if (!inbound_.empty()) {
            auto message = std::move(inbound_.front());
            inbound_.pop_front();
            executor_.async([completion = std::move(completion), message = std::move(message)]() mutable {
                completion(std::move(message));
            });
        } else if (failure_) {
            executor_.async([weak = weak_from_this(), completion = std::move(completion), error = *failure_] {
                if (auto self = weak.lock(); self && error.closeCode) self->reportedCloseCode_ = error.closeCode;
                completion(std::unexpected(error));
            });
        } else {
            receiver_ = std::move(completion);
        }
    }

    base::Executor& executor_;
    std::deque<platform::WebSocketMessage> inbound_;
    std::optional<platform::WebSocketError> failure_;
    ReceiveCompletion receiver_;
    std::vector<PingCompletion> pings_;
    std::deque<std::pair<platform::WebSocketMessage, SendCompletion>> held_;
    std::optional<std::uint16_t> reportedCloseCode_;
};

class FakeWebSocketClient final : public platform::WebSocketClient {
public:
    std::shared_ptr<platform::WebSocketChannel> open(const std::string& url, const platform::WebSocketOptions& options,
                                                     base::Executor& executor) override {
        auto channel = std::make_shared<FakeWebSocketChannel>(url, options, executor);
        channels.push_back(channel);
        return channel;
    }

    // Every channel opened, oldest first.
    std::vector<std::shared_ptr<FakeWebSocketChannel>> channels;
};

}  // namespace orvanta::testing
