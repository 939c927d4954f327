#include "host/controller/SessionHub.h"

#include <algorithm>
#include <limits>

#include "base/Base64.h"
#include "base/Crypto.h"
#include "base/Uuid.h"
#include "host/media/CaptureSizing.h"
#include "host/transport/HostSettingsModel.h"
#include "host/transport/Support.h"

namespace orvanta::host {
namespace {

constexpr int kMaxWindowsWidth = 3840;
constexpr int kMaxWindowsHeight = 4096;

std::string sizeText(std::int64_t width, std::int64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

// Absurd sizes from a peer stay representable.
int clampedInt(std::int64_t value) {
    return static_cast<int>(
        std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

void send(WebSocketConnection& connection, const protocol::ControlMessage& message) {
    if (auto text = message.jsonString()) connection.sendText(*text);
}

std::string makeTicket() { return base::base64UrlEncode(base::secureRandomBytes(SessionHub::kTicketBytes)); }

void raiseMessageLimit(WebSocketConnection& connection) {
    auto& parser = connection.parser();
    parser.maxMessage = std::max(parser.maxMessage, SessionHub::kSessionMessageLimit);
}

void sendPing(WebSocketConnection& control, std::uint32_t& pingId, std::uint64_t at) {
    ++pingId;  // wraps at 2^32
    auto text = base::writeJsonText(base::Json{{"type", "ping"}, {"id", pingId}, {"t", at}});
    if (text) control.sendText(*text);
}

}  // namespace

SessionHub::SessionHub(base::Executor& queue, const base::Clock& clock, std::shared_ptr<DeviceRegistry> registry)
    : queue_(queue), clock_(clock), registry_(std::move(registry)) {}

std::optional<std::pair<int, int>> SessionHub::windowsScreenPixels(const protocol::Hello& hello) {
    if (hello.caps.client != "windows-desktop" || !hello.screenPixels) return std::nullopt;
    if (hello.screenPixels->width <= 0 || hello.screenPixels->height <= 0) return std::nullopt;
    return std::pair<int, int>(clampedInt(hello.screenPixels->width), clampedInt(hello.screenPixels->height));
}

void SessionHub::accept(UpgradedSocket socket, base::Bytes leftover, ConnectionRoute route) {
    auto connection = WebSocketConnection::create(std::move(socket), std::move(leftover), queue_, clock_);
    const std::string id = connection->id();
    awaitingHello_[id] = connection;
    std::weak_ptr<SessionHub> weakSelf = weak_from_this();
    std::weak_ptr<WebSocketConnection> weakConnection = connection;
    connection->onClosed = [weakSelf, id](std::optional<std::uint16_t>) {
        if (auto self = weakSelf.lock()) self->awaitingHello_.erase(id);
    };
    connection->onText = [weakSelf, weakConnection, route](std::string text) {
        auto self = weakSelf.lock();
        auto alive = weakConnection.lock();
        if (self && alive && !alive->isClosing()) self->handOffHello(alive, text, route);
    };
    queue_.asyncAfter(kHelloTimeout, [weakSelf, weakConnection, id] {
        auto self = weakSelf.lock();
        auto alive = weakConnection.lock();
        if (!self || !alive) return;
        auto waiting = self->awaitingHello_.find(id);
        if (waiting != self->awaitingHello_.end() && waiting->second == alive) alive->close(4002, "hello timeout");
    });
    connection->start();
}

void SessionHub::handOffHello(const std::shared_ptr<WebSocketConnection>& connection, const std::string& text,
                              ConnectionRoute route) {
    const auto parsed = base::Json::parse(text, nullptr, false);
    const auto type = parsed.is_object() ? parsed.find("type") : parsed.end();
    if (!parsed.is_object() || type == parsed.end() || !type->is_string() || *type != "hello") {
        connection->close(4002, "expected hello");
        return;
    }
    const auto purpose = parsed.find("purpose");
    if (purpose != parsed.end() && purpose->is_string() && *purpose == "clipboard") {
        onClipboardHello(connection, parsed, route);
        // A refused connection stays until its close completes.
        if (!connection->isClosing()) awaitingHello_.erase(connection->id());
        return;
    }
    awaitingHello_.erase(connection->id());
    acceptScreenControl(connection, route, text);
}

void SessionHub::acceptScreenControl(const std::shared_ptr<WebSocketConnection>& connection, ConnectionRoute route,
                                     const std::string& helloText) {
    std::weak_ptr<SessionHub> weakSelf = weak_from_this();
    if (session_) {
        if (waiter_ && !waiter_->control->isClosed()) waiter_->control->finish(1001);
        auto waiter = std::make_shared<BusyWaiter>(
            BusyWaiter{.control = connection, .route = route, .hello = std::nullopt, .record = std::nullopt});
        waiter_ = waiter;
        std::weak_ptr<BusyWaiter> weakWaiter = waiter;
        connection->onText = [weakSelf, weakWaiter](std::string text) {
            auto self = weakSelf.lock();
            auto current = weakWaiter.lock();
            if (self && current && current == self->waiter_) self->handleWaitingText(text, current);
        };
        connection->onClosed = [weakSelf, weakWaiter](std::optional<std::uint16_t>) {
            auto self = weakSelf.lock();
            auto current = weakWaiter.lock();
            if (self && current && current == self->waiter_) self->waiter_.reset();
        };
        handleWaitingText(helloText, waiter);
        log("control waiting: hello decides (resume / supersede / busy)");
        return;
    }
    auto session = std::make_shared<HostSession>(connection, now());
    session->route = route;
    session_ = session;
    installSessionHandlers(session);
    std::weak_ptr<HostSession> weakSession = session;
    queue_.asyncAfter(kHelloTimeout, [weakSelf, weakSession] {
        auto self = weakSelf.lock();
        auto current = weakSession.lock();
        if (self && current && current == self->session_ && !current->authenticated) {
            current->control->close(4002, "hello timeout");
        }
    });
    sessionText(helloText, session);
}

void SessionHub::installSessionHandlers(const std::shared_ptr<HostSession>& session) {
    std::weak_ptr<SessionHub> weakSelf = weak_from_this();
    std::weak_ptr<HostSession> weakSession = session;
    session->control->onText = [weakSelf, weakSession](std::string text) {
        auto self = weakSelf.lock();
        auto current = weakSession.lock();
        if (self && current && current == self->session_) self->sessionText(text, current);
        Secret::wipe(text);  // it may have carried an unlock password
    };
    session->control->onClosed = [weakSelf, weakSession](std::optional<std::uint16_t>) {
        auto self = weakSelf.lock();
        auto current = weakSession.lock();
        if (self && current && current == self->session_) self->sessionClosed(current);
    };
}

void SessionHub::sessionClosed(const std::shared_ptr<HostSession>& session) {
    if (session->authenticated) {
        onDetach(session);
    } else {
        onEnd(session, std::nullopt, "control closed before hello");
    }
}

void SessionHub::sessionText(const std::string& text, const std::shared_ptr<HostSession>& session) {
    auto message = protocol::ControlMessage::decode(text);
    // An undecodable hello is left to the hello time-out.
    if (!message) return onUndecodable();
    if (const auto* hello = message->as<protocol::Hello>()) {
        handleHello(session, *hello);
    } else {
        onMessage(*message, session);
    }
}

void SessionHub::handleHello(const std::shared_ptr<HostSession>& session, const protocol::Hello& hello) {
    if (session->authenticated) {
        session->control->close(4002, "duplicate hello");
        return;
    }
    auto record = registry_->authenticate(hello.token, hello.deviceId);
    if (!record) {
        send(*session->control, protocol::ErrorMessage{4003, "認証に失敗しました"});
        session->control->close(4003, "auth failed");
        log("control auth failed");
        return;
    }
    completeHello(session, hello, *record);
}

void SessionHub::completeHello(const std::shared_ptr<HostSession>& session, const protocol::Hello& hello,
                               const DeviceRecord& record) {
    onSessionStarting(record);
    raiseMessageLimit(*session->control);
    session->windowsScreenPixels = windowsScreenPixels(hello);
    if (const auto& pixels = session->windowsScreenPixels) {
        log("hello windows-desktop screenPixels=" + sizeText(pixels->first, pixels->second) + "px");
        const auto width = std::min<std::int64_t>(pixels->first, kMaxWindowsWidth);
        const auto height = std::min<std::int64_t>(pixels->second, kMaxWindowsHeight);
        if (width != pixels->first || height != pixels->second) {
            log("windows video: screenPixels=" + sizeText(pixels->first, pixels->second) + "px capped to " +
                sizeText(width, height) + "px by 3840x4096px limit");
        }
        if (macroblockCount({width, height}) > kMaxMacroblocks) {
            log("windows video: " + sizeText(width, height) + "px exceeds H.264 limit of " +
                std::to_string(kMaxMacroblocks) + " macroblocks");
        }
    }
    session->deviceKind = deviceKindFrom(hello);
    session->hasPhoneIdiom = hello.idiom == protocol::DeviceIdiom::phone;
    session->authenticated = true;
    session->viewportWidth = clampedInt(hello.viewport.width);
    session->viewportHeight = clampedInt(hello.viewport.height);
    log("hello viewport: " + sizeText(hello.viewport.width, hello.viewport.height) +
        " idiom=" + (session->hasPhoneIdiom ? "phone" : "pad"));
    session->deviceId = record.deviceId;
    session->deviceName = record.name;
    session->sessionId = base::makeUuidString();
    session->ticket = makeTicket();
    session->ticketUsed = false;
    session->lastPongAt = now();
    registry_->touch(record.deviceId, session->deviceKind);
    onSessionStarted(session);
}

void SessionHub::handleWaitingText(const std::string& text, const std::shared_ptr<BusyWaiter>& waiter) {
    auto message = protocol::ControlMessage::decode(text);
    if (!message) {
        waiter->control->close(4002, "invalid message");
        return;
    }
    if (message->as<protocol::JoinController>()) {
        joinController(waiter);
    } else if (message->as<protocol::TakeOver>()) {
        takeOver(waiter);
    } else if (const auto* hello = message->as<protocol::Hello>(); hello && !waiter->hello) {
        waiterHello(waiter, *hello);
    }
}

void SessionHub::waiterHello(const std::shared_ptr<BusyWaiter>& waiter, const protocol::Hello& hello) {
    auto record = registry_->authenticate(hello.token, hello.deviceId);
    if (!record) {
        waiter->control->close(4003, "auth failed");
        log("busy waiter auth failed");
        return;
    }
    waiter->hello = hello;
    waiter->record = record;
    raiseMessageLimit(*waiter->control);
    const auto current = session_;
    if (current && current->deviceId == record->deviceId) {
        waiter_.reset();
        onResume(current, waiter);
        return;
    }
    // A session still waiting for its own hello must not keep a paired device out: it ends as its
    // hello time-out would have ended it.
    if (current && !current->authenticated) {
        waiter_.reset();
        onEnd(current, 4002, "hello timeout");
        startFromWaiter(waiter);
        log("unauthenticated session replaced by " + Log::field(record->deviceId));
        return;
    }
    if (current && !current->detachedAt && now() > current->lastPongAt + kSupersedeSilenceMicros) {
        waiter_.reset();
        onEnd(current, 1001, "superseded");
        startFromWaiter(waiter);
        log("session superseded by " + Log::field(record->deviceId) + " (old session silent)");
        return;
    }
    send(*waiter->control, protocol::Busy{});
    log("busy sent to " + Log::field(record->deviceId));
}

void SessionHub::joinController(const std::shared_ptr<BusyWaiter>& waiter) {
    if (!waiter->record || !session_) return;
    waiter_.reset();
    closeController("replaced");
    const std::string deviceId = waiter->record->deviceId;
    auto controller =
        std::make_shared<ControllerSession>(ControllerSession{waiter->control, deviceId, waiter->route, now(), 0});
    controller_ = controller;
    if (waiter->hello) {
        registry_->touch(deviceId, deviceKindFrom(*waiter->hello));
        onDevicesChanged();
    }
    onControllerJoined(deviceId);
    std::weak_ptr<SessionHub> weakSelf = weak_from_this();
    std::weak_ptr<ControllerSession> weakController = controller;
    controller->control->onText = [weakSelf, weakController](std::string text) {
        auto self = weakSelf.lock();
        auto current = weakController.lock();
        if (self && current && current == self->controller_) self->handleControllerText(text, current);
    };
    controller->control->onClosed = [weakSelf, weakController](std::optional<std::uint16_t>) {
        auto self = weakSelf.lock();
        auto current = weakController.lock();
        if (self && current && current == self->controller_) self->controllerClosed(current);
    };
    send(*controller->control, protocol::ControllerJoined{});
    onLinksChanged();
    log("controller joined: " + Log::field(deviceId));
}

void SessionHub::takeOver(const std::shared_ptr<BusyWaiter>& waiter) {
    if (!waiter->hello || !waiter->record) return;
    waiter_.reset();
    if (const auto current = session_) {
        send(*current->control, protocol::Notice{protocol::NoticeKind::takenOver});
        onEnd(current, 1001, "taken over");
    }
    startFromWaiter(waiter);
    log("session taken over by " + Log::field(waiter->record->deviceId));
}

void SessionHub::startFromWaiter(const std::shared_ptr<BusyWaiter>& waiter) {
    auto session = std::make_shared<HostSession>(waiter->control, now());
    session->route = waiter->route;
    session_ = session;
    installSessionHandlers(session);
    completeHello(session, *waiter->hello, *waiter->record);
}

// The replaced connection's close no longer reaches the hub.
void SessionHub::replace(const std::shared_ptr<HostSession>& current, const std::shared_ptr<BusyWaiter>& waiter) {
    current->control->onText = [](std::string) {};
    current->control->onClosed = [](std::optional<std::uint16_t>) {};
    session_.reset();
    current->control->close(1001, "replaced");
    startFromWaiter(waiter);
}

void SessionHub::markDetached(HostSession& session) { session.detachedAt = now(); }

void SessionHub::awaitReturn(const std::shared_ptr<HostSession>& session) {
    std::weak_ptr<SessionHub> weakSelf = weak_from_this();
    std::weak_ptr<HostSession> weakSession = session;
    queue_.asyncAfter(kDetachWait, [weakSelf, weakSession] {
        auto self = weakSelf.lock();
        auto detached = weakSession.lock();
        if (self && detached && detached->detachedAt) self->onEnd(detached, std::nullopt, "detach expired");
    });
}

bool SessionHub::release(const std::shared_ptr<HostSession>& session) {
    if (!session || session != session_) return false;
    session_.reset();
    return true;
}

void SessionHub::closeController(std::string_view reason) {
    if (!controller_) return;
    const auto closing = std::exchange(controller_, nullptr);
    onControllerEnded(closing->deviceId);
    closing->control->close(1001, reason);
    onLinksChanged();
    log("controller closed: " + std::string(reason));
}

void SessionHub::handleControllerText(const std::string& text, const std::shared_ptr<ControllerSession>& controller) {
    auto message = protocol::ControlMessage::decode(text);
    if (!message) return;
    if (message->as<protocol::Pong>()) {
        controller->lastPongAt = now();
        return;
    }
    onControllerMessage(*message, controller);
}

void SessionHub::controllerClosed(const std::shared_ptr<ControllerSession>& controller) {
    onControllerEnded(controller->deviceId);
    controller_.reset();
    onLinksChanged();
    log("controller detached: " + Log::field(controller->deviceId));
}

void SessionHub::revoke(const std::string& deviceId) {
    if (session_ && session_->deviceId == deviceId) onEnd(session_, 4005, "revoked");
    if (controller_ && controller_->deviceId == deviceId) closeController("revoked");
    if (waiter_ && waiter_->record && waiter_->record->deviceId == deviceId) {
        std::exchange(waiter_, nullptr)->control->close(4005, "revoked");
    }
}

void SessionHub::keepAlive() {
    const std::uint64_t at = now();
    if (controller_) {
        if (at <= controller_->lastPongAt + kPongTimeoutMicros) {
            sendPing(*controller_->control, controller_->pingId, at);
        } else {
            closeController("controller timeout");
        }
    }
    if (session_ && session_->authenticated && !session_->detachedAt) {
        if (at <= session_->lastPongAt + kPongTimeoutMicros) {
            sendPing(*session_->control, session_->pingId, at);
        } else {
            onEnd(session_, 1001, "control timeout");
        }
    }
}

}  // namespace orvanta::host
