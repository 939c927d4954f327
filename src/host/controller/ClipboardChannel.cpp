#include "host/controller/ClipboardChannel.h"

#include <algorithm>

#include "host/transport/WebSocket.h"

namespace orvanta::host {

namespace {

bool forwardedType(const base::Json& object) {
    if (!object.is_object()) return false;
    const auto type = object.find("type");
    if (type == object.end() || !type->is_string()) return false;
    const auto& name = type->get_ref<const std::string&>();
    return name == "clipboardState" || name == "clipboard" || name == "clipboardImage";
}

std::optional<std::string> serialise(const base::Json& object) {
    try {
        return object.dump();  // leaves "/" unescaped
    } catch (const base::Json::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> stringField(const base::Json& object, std::string_view key) {
    if (!object.is_object()) return std::nullopt;
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

}  // namespace

ClipboardChannel::ClipboardChannel(base::Executor& queue, base::Executor& main, std::shared_ptr<HostClipboard> hub,
                                   std::function<void(std::string_view)> log)
    : queue_(queue), main_(main), hub_(std::move(hub)), log_(std::move(log)) {}

void ClipboardChannel::accept(const std::shared_ptr<WebSocketConnection>& socket, const base::Json& hello,
                              ConnectionRoute route) {
    const auto token = stringField(hello, "token");
    const auto deviceId = stringField(hello, "deviceId");
    if (route == ConnectionRoute::lan || !token || !deviceId || !callbacks_.authenticate(*token, *deviceId)) {
        return socket->close(4003, "clipboard denied");
    }
    const std::string id = socket->id();
    subscribers_[id] = {socket, *deviceId};
    socket->parser().maxMessage = std::max(socket->parser().maxMessage, kMaxMessage);
    const std::weak_ptr<ClipboardChannel> weakSelf = weak_from_this();
    const std::weak_ptr<WebSocketConnection> weakSocket = socket;
    socket->onText = [weakSelf, id](std::string text) {
        if (auto self = weakSelf.lock()) self->forward(text, id);
    };
    socket->onClosed = [weakSelf, id](std::optional<std::uint16_t>) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->subscribers_.erase(id);
        self->detachFromHub(id);
    };
    main_.async([weakSelf, weakSocket, id] {
        auto self = weakSelf.lock();
        if (!self) return;
        if (!self->hub_->enabled()) {
            self->queue_.async([weakSocket] {
                if (auto live = weakSocket.lock()) live->close(1008, "clipboard disabled");
            });
            return;
        }
        self->queue_.async([weakSocket] {
            if (auto live = weakSocket.lock()) live->sendText(kWelcome);
        });
        self->attach(weakSocket.lock(), id);
    });
}

// On the main thread, after the welcome was queued.
void ClipboardChannel::attach(const std::shared_ptr<WebSocketConnection>& socket, const std::string& id) {
    const std::weak_ptr<WebSocketConnection> weakSocket = socket;
    base::Executor* queue = &queue_;
    const std::weak_ptr<ClipboardChannel> weakSelf = weak_from_this();
    auto onQueue = [weakSelf, weakSocket, queue](std::function<void(WebSocketConnection&)> work) {
        queue->async([weakSelf, weakSocket, work = std::move(work)] {
            auto self = weakSelf.lock();
            auto live = weakSocket.lock();
            if (self && live) work(*live);
        });
    };
    hub_->attach(
        id,
        {.send =
             [onQueue](const platform::ClipboardPacket& packet) {
                 onQueue([packet](WebSocketConnection& peer) {
                     if (peer.isClosing() || peer.isClosed()) return;
                     if (auto text = serialise(packet)) peer.sendText(*text);
                 });
             },
         .close = [onQueue] { onQueue([](WebSocketConnection& peer) { peer.close(1001, "clipboard disabled"); }); }});
}

void ClipboardChannel::forward(const std::string& text, const std::string& id) {
    const auto subscriber = subscribers_.find(id);
    if (subscriber == subscribers_.end() || subscriber->second.first->isClosing()) return;
    auto object = base::Json::parse(text, nullptr, false);
    if (!forwardedType(object)) return;
    main_.async([hub = hub_, object = std::move(object), id] { hub->receive(object, id); });
}

void ClipboardChannel::detachFromHub(const std::string& id) {
    main_.async([hub = hub_, id] { hub->detach(id); });
}

void ClipboardChannel::revoke(const std::string& deviceId) {
    for (auto it = subscribers_.begin(); it != subscribers_.end();) {
        auto [id, subscriber] = *it++;  // closing may erase the entry
        if (subscriber.second != deviceId) continue;
        subscriber.first->close(4005, "revoked");
        detachFromHub(id);
    }
}

InputResult ClipboardChannel::writeText(const protocol::ClipboardText& message) {
    const std::size_t bytes = message.text.size();
    if (bytes > protocol::ClipboardText::maxBytes) {
        log_("clipboard: rejected " + std::to_string(bytes) + " bytes (limit " +
             std::to_string(protocol::ClipboardText::maxBytes) + ")");
        return InputResult::rejected;
    }
    main_.async([weakSelf = weak_from_this(), text = message.text, bytes] {
        auto self = weakSelf.lock();
        if (!self) return;
        const bool written = self->hub_->writeText(text);
        self->log_((written ? "clipboard: set " : "clipboard: failed to set ") + std::to_string(bytes) + " bytes");
        self->hub_->sessionApplied();
    });
    return InputResult::ok;
}

void ClipboardChannel::writeImage(const protocol::ClipboardImage& message) {
    auto png = message.decodePng();
    if (!png) return;
    main_.async([weakSelf = weak_from_this(), png = std::move(*png)] {
        auto self = weakSelf.lock();
        if (!self) return;
        const auto written = self->hub_->writePng(png);
        if (!written) return;
        self->hub_->sessionApplied();
        self->log_(std::string("clipboard image: ") + (*written ? "set " : "failed to set ") +
                   std::to_string(png.size()) + " bytes");
    });
}

void ClipboardChannel::answerAvailable(HTTPServer::ClipboardAnswer reply) {
    main_.async([hub = hub_, reply = std::move(reply)] { reply(hub && hub->enabled()); });
}

}  // namespace orvanta::host
