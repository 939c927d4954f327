// Control connections through their first message, and the completion of an authenticated hello.
#include <algorithm>
#include <limits>

#include "base/Base64.h"
#include "base/Crypto.h"
#include "base/Uuid.h"
#include "host/controller/HostController.h"

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

}  // namespace

std::optional<std::pair<int, int>> HostController::windowsScreenPixels(const protocol::Hello& hello) {
    if (hello.caps.client != "windows-desktop" || !hello.screenPixels) return std::nullopt;
    if (hello.screenPixels->width <= 0 || hello.screenPixels->height <= 0) return std::nullopt;
    return std::pair<int, int>(clampedInt(hello.screenPixels->width), clampedInt(hello.screenPixels->height));
}

std::string HostController::makeTicket() { return base::base64UrlEncode(base::secureRandomBytes(kTicketBytes)); }

void HostController::acceptControl(UpgradedSocket socket, base::Bytes leftover, ConnectionRoute route) {
    auto connection = WebSocketConnection::create(std::move(socket), std::move(leftover), queue_, clock_);
    const std::string id = connection->id();
    awaitingHello_[id] = connection;
    std::weak_ptr<HostController> weakSelf = weak_from_this();
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

void HostController::handOffHello(const std::shared_ptr<WebSocketConnection>& connection, const std::string& text,
                                  ConnectionRoute route) {
    const auto parsed = base::Json::parse(text, nullptr, false);
    const auto type = parsed.is_object() ? parsed.find("type") : parsed.end();
    if (!parsed.is_object() || type == parsed.end() || !type->is_string() || *type != "hello") {
        connection->close(4002, "expected hello");
        return;
    }
    const auto purpose = parsed.find("purpose");
    if (purpose != parsed.end() && purpose->is_string() && *purpose == "clipboard") {
        handOffClipboard(connection, parsed, route);
        return;
    }
    awaitingHello_.erase(connection->id());
    acceptScreenControl(connection, route, text);
}

void HostController::acceptScreenControl(const std::shared_ptr<WebSocketConnection>& connection, ConnectionRoute route,
                                         const std::string& helloText) {
    std::weak_ptr<HostController> weakSelf = weak_from_this();
    if (session_) {
        if (busyWaiter_ && !busyWaiter_->control->isClosed()) busyWaiter_->control->finish(1001);
        auto waiter = std::make_shared<BusyWaiter>(
            BusyWaiter{.control = connection, .route = route, .hello = std::nullopt, .record = std::nullopt});
        busyWaiter_ = waiter;
        std::weak_ptr<BusyWaiter> weakWaiter = waiter;
        connection->onText = [weakSelf, weakWaiter](std::string text) {
            auto self = weakSelf.lock();
            auto current = weakWaiter.lock();
            if (self && current && current == self->busyWaiter_) self->handleBusyText(text, current);
        };
        connection->onClosed = [weakSelf, weakWaiter](std::optional<std::uint16_t>) {
            auto self = weakSelf.lock();
            auto current = weakWaiter.lock();
            if (self && current && current == self->busyWaiter_) self->busyWaiter_.reset();
        };
        handleBusyText(helloText, waiter);
        log("control waiting: hello decides (resume / supersede / busy)");
        return;
    }
    auto session = std::make_shared<Session>(connection, now());
    session->route = route;
    session_ = session;
    installSessionHandlers(session);
    std::weak_ptr<Session> weakSession = session;
    queue_.asyncAfter(kHelloTimeout, [weakSelf, weakSession] {
        auto self = weakSelf.lock();
        auto current = weakSession.lock();
        if (self && current && current == self->session_ && !current->authenticated) {
            current->control->close(4002, "hello timeout");
        }
    });
    sessionText(helloText, session);
}

void HostController::installSessionHandlers(const std::shared_ptr<Session>& session) {
    std::weak_ptr<HostController> weakSelf = weak_from_this();
    std::weak_ptr<Session> weakSession = session;
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

void HostController::sessionClosed(const std::shared_ptr<Session>& session) {
    if (session->authenticated) {
        detachSession(session);
    } else {
        endSession(session, std::nullopt, "control closed before hello");
    }
}

void HostController::sessionText(const std::string& text, const std::shared_ptr<Session>& session) {
    auto message = protocol::ControlMessage::decode(text);
    // An undecodable hello is left to the hello time-out.
    if (!message) return logUndecodable();
    if (const auto* hello = message->as<protocol::Hello>()) {
        handleSessionHello(session, *hello);
    } else {
        dispatchSessionMessage(*message, session);
        wipeSecrets(*message);
    }
}

void HostController::handleSessionHello(const std::shared_ptr<Session>& session, const protocol::Hello& hello) {
    if (session->authenticated) {
        session->control->close(4002, "duplicate hello");
        return;
    }
    auto record = registry_->authenticate(hello.token, hello.deviceId);
    if (!record) {
        sendControl(*session->control, protocol::ErrorMessage{4003, "認証に失敗しました"});
        session->control->close(4003, "auth failed");
        log("control auth failed");
        return;
    }
    completeHello(session, hello, *record);
}

void HostController::completeHello(const std::shared_ptr<Session>& session, const protocol::Hello& hello,
                                   const DeviceRecord& record) {
    if (!connectionLayout_) connectionLayout_ = currentPhysicalLayout();
    snapshotConnectionFrames();
    auto& parser = session->control->parser();
    parser.maxMessage = std::max(parser.maxMessage, kSessionMessageLimit);
    if (input_) {
        input_->releaseKeys();
        input_->releasePointerInputs();
        input_->beginSession(record.deviceId);
    }
    session->windowsScreenPixels = windowsScreenPixels(hello);
    if (const auto& pixels = session->windowsScreenPixels) {
        log("hello windows-desktop screenPixels=" + sizeText(pixels->first, pixels->second) + "px");
        const auto width = std::min<std::int64_t>(pixels->first, kMaxWindowsWidth);
        const auto height = std::min<std::int64_t>(pixels->second, kMaxWindowsHeight);
        if (width != pixels->first || height != pixels->second) {
            log("windows video: screenPixels=" + sizeText(pixels->first, pixels->second) + "px capped to " +
                sizeText(width, height) + "px by 3840x4096px limit");
        }
        if (((width + 15) / 16) * ((height + 15) / 16) > kMaxMacroblocks) {
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
    accessibilityNoticeSent_ = false;
    lastCursorSent_.reset();
    registry_->touch(record.deviceId, session->deviceKind);
    publishDevices();
    publishConnected(record.name);
    setStatus("接続中: " + record.name);
    sendControl(*session->control, protocol::Welcome{session->sessionId, session->ticket, audioOffer(*session)});
    if (paused_) sendControl(*session->control, protocol::Notice{protocol::NoticeKind::locked});
    recordSessionPhase("start");
    log("session started for " + Log::field(record.deviceId));
    if (!windowFitInPlay()) {
        if (clientAspectFit_) {
            scheduleAspectUpdate(*session);
        } else if (virtualDisplay_ || virtualDisplayPending_) {
            destroyVirtualDisplay("app view ended", false);
        }
    }
}

void HostController::sendControl(WebSocketConnection& connection, const protocol::ControlMessage& message) {
    if (auto text = message.jsonString()) connection.sendText(*text);
}

void HostController::handOffClipboard(const std::shared_ptr<WebSocketConnection>& connection, const base::Json& hello,
                                      ConnectionRoute route) {
    acceptClipboard(connection, hello, route);
}

}  // namespace orvanta::host
