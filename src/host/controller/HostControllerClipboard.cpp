// The clipboard channel: a paired device's dedicated connection bridged to the process-wide hub,
// and the main session's own clipboard messages written to the pasteboard. The hub and the
// pasteboard live on the main thread; every crossing is an asynchronous hop holding weak references,
// so a closed connection or a released controller ends the chain quietly.
#include "host/controller/HostController.h"

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

void HostController::acceptClipboard(const std::shared_ptr<WebSocketConnection>& socket, const base::Json& hello,
                                     ConnectionRoute route) {
    const auto token = stringField(hello, "token");
    const auto deviceId = stringField(hello, "deviceId");
    if (route == ConnectionRoute::lan || !token || !deviceId || !registry_->authenticate(*token, *deviceId)) {
        return socket->close(4003, "clipboard denied");
    }
    const std::string id = socket->id();
    clipboardSubscribers_[id] = {socket, *deviceId};
    socket->parser().maxMessage = std::max(socket->parser().maxMessage, kClipboardMaxMessage);
    const std::weak_ptr<HostController> weakSelf = weak_from_this();
    const std::weak_ptr<WebSocketConnection> weakSocket = socket;
    socket->onText = [weakSelf, id](std::string text) {
        if (auto self = weakSelf.lock()) self->forwardClipboardText(text, id);
    };
    socket->onClosed = [weakSelf, id](std::optional<std::uint16_t>) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->clipboardSubscribers_.erase(id);
        self->main_.async([hub = self->dependencies_.control.clipboard, id] { hub->detach(id); });
    };
    main_.async([weakSelf, weakSocket, id] {
        auto self = weakSelf.lock();
        if (!self) return;
        if (!self->dependencies_.control.clipboard->enabled()) {
            self->queue_.async([weakSocket] {
                if (auto live = weakSocket.lock()) live->close(1008, "clipboard disabled");
            });
            return;
        }
        self->queue_.async([weakSocket] {
            if (auto live = weakSocket.lock()) live->sendText(kClipboardWelcome);
        });
        self->attachClipboard(weakSocket.lock(), id);
    });
}

// On the main thread, after the welcome was queued.
void HostController::attachClipboard(const std::shared_ptr<WebSocketConnection>& socket, const std::string& id) {
    const std::weak_ptr<WebSocketConnection> weakSocket = socket;
    base::Executor* queue = &queue_;
    const std::weak_ptr<HostController> weakSelf = weak_from_this();
    auto onQueue = [weakSelf, weakSocket, queue](std::function<void(WebSocketConnection&)> work) {
        queue->async([weakSelf, weakSocket, work = std::move(work)] {
            auto self = weakSelf.lock();
            auto live = weakSocket.lock();
            if (self && live) work(*live);
        });
    };
    dependencies_.control.clipboard->attach(
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

void HostController::forwardClipboardText(const std::string& text, const std::string& id) {
    const auto subscriber = clipboardSubscribers_.find(id);
    if (subscriber == clipboardSubscribers_.end() || subscriber->second.first->isClosing()) return;
    auto object = base::Json::parse(text, nullptr, false);
    if (!forwardedType(object)) return;
    main_.async([hub = dependencies_.control.clipboard, object = std::move(object), id] { hub->receive(object, id); });
}

InputResult HostController::setClipboard(const protocol::ClipboardText& message) {
    const std::size_t bytes = message.text.size();
    if (bytes > protocol::ClipboardText::maxBytes) {
        log("clipboard: rejected " + std::to_string(bytes) + " bytes (limit " +
            std::to_string(protocol::ClipboardText::maxBytes) + ")");
        return InputResult::rejected;
    }
    const std::weak_ptr<HostController> weakSelf = weak_from_this();
    main_.async([weakSelf, text = message.text, bytes] {
        auto self = weakSelf.lock();
        if (!self) return;
        auto& hub = *self->dependencies_.control.clipboard;
        const bool written = hub.writeText(text);
        self->log((written ? "clipboard: set " : "clipboard: failed to set ") + std::to_string(bytes) + " bytes");
        hub.sessionApplied();
    });
    return InputResult::ok;
}

void HostController::setClipboardImage(const protocol::ClipboardImage& message) {
    auto png = message.decodePng();
    if (!png) return;
    const std::weak_ptr<HostController> weakSelf = weak_from_this();
    main_.async([weakSelf, png = std::move(*png)] {
        auto self = weakSelf.lock();
        if (!self) return;
        auto& hub = *self->dependencies_.control.clipboard;
        const auto written = hub.writePng(png);
        if (!written) return;
        hub.sessionApplied();
        self->log(std::string("clipboard image: ") + (*written ? "set " : "failed to set ") +
                  std::to_string(png.size()) + " bytes");
    });
}

}  // namespace orvanta::host
