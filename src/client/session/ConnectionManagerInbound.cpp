// The connection manager's handling of the host's control messages: the welcome and its video
// auth, notices, busy and controller roles, cursor positions, window and application lists.
#include "client/session/ConnectionManager.h"

#include <utility>

namespace orvanta::client {
namespace {

using protocol::ControlMessage;
using State = ConnectionManager::State;

std::string failureText(const protocol::ControlMessageDecodeError& error) { return protocol::describe(error); }

}  // namespace

void ConnectionManager::handleControl(const platform::WebSocketMessage& message, const Generation& generation,
                                      Done done) {
    const auto* text = std::get_if<platform::WebSocketText>(&message);
    if (!text) return done(std::string(describe(ConnectionError::invalidControlMessage)));
    auto decoded = ControlMessage::decode(text->text);
    if (!decoded) {
        if (const auto* envelope = decoded.error().as<protocol::ControlMessageError>();
            envelope && envelope->as<protocol::ControlMessageError::unknownType>()) {
            return done(std::nullopt);
        }
        return done(failureText(decoded.error()));
    }
    const auto& payload = decoded->payload;
    if (const auto* welcome = std::get_if<protocol::Welcome>(&payload)) {
        return handleWelcome(*welcome, generation, std::move(done));
    }
    if (const auto* ping = std::get_if<protocol::Ping>(&payload)) {
        enqueueControl(protocol::Pong{ping->id, ping->t, clock_.uptimeMicros()}, generation);
    } else if (const auto* notice = std::get_if<protocol::Notice>(&payload)) {
        handleNotice(*notice, generation);
    } else if (const auto* error = std::get_if<protocol::ErrorMessage>(&payload)) {
        handleServerError(error->code, error->message, generation);
    } else if (const auto* cursor = std::get_if<protocol::CursorPosition>(&payload)) {
        handleCursor(*cursor);
    } else if (const auto* windowState = std::get_if<protocol::WindowState>(&payload)) {
        publish(windowFitActive_, windowState->active);
        publish(windowAppName_, windowState->active ? windowState->appName : std::nullopt);
    } else if (const auto* windowList = std::get_if<protocol::WindowList>(&payload)) {
        receiveWindowList(*windowList);
    } else if (const auto* appList = std::get_if<protocol::AppList>(&payload)) {
        publish(appListIcons_, appList->appIcons.value_or(protocol::AppIcons{}));
        publish(appList_, appList->entries);
    } else if (std::holds_alternative<protocol::Busy>(payload)) {
        handleBusy(generation);
    } else if (std::holds_alternative<protocol::ControllerJoined>(payload)) {
        handleControllerJoined(generation);
    }
    done(std::nullopt);
}

void ConnectionManager::handleWelcome(const protocol::Welcome& welcome, const Generation& generation, Done done) {
    if (welcomed_ || !video_) return done(std::string(describe(ConnectionError::unexpectedWelcome)));
    takeoverOnBusy_ = false;
    auto auth = ControlMessage(protocol::Auth{welcome.videoTicket}).jsonString();
    if (!auth) return done("cannot encode auth");
    video_->send(platform::WebSocketText{std::move(*auth)},
                 [weak = weak_from_this(), welcome, generation, done = std::move(done)](auto result) {
                     auto self = weak.lock();
                     if (!self) return;
                     if (!result) return done(platform::describe(result.error()));
                     if (self->generation_ == generation) self->welcomeAuthSent(welcome, generation);
                     done(std::nullopt);
                 });
}

void ConnectionManager::welcomeAuthSent(const protocol::Welcome& welcome, const Generation& generation) {
    publish(hostName_, welcome.hostName);
    publish(viewOnly_, welcome.viewOnly.value_or(false));
    welcomed_ = true;
    releaseHeldKeys();
    if (inputAllowed()) queuePointerCancel();
    hasWelcomed_ = true;
    setState(hostLocked_ ? State::locked : State::connected);
    if (hostStore) hostStore->setLastRole("main", hostEntryId_);
    sendDisplayAspectFit(displayAspectFitProvider ? displayAspectFitProvider() : false, true);
    if (audio) {
        audio->startIfOffered(welcome.audio, [weak = weak_from_this(), generation](ControlMessage message) {
            if (auto self = weak.lock()) self->enqueueControl(std::move(message), generation);
        });
    }
    startVideoReader(generation);
    if (onSessionEstablished) onSessionEstablished();
}

void ConnectionManager::handleNotice(const protocol::Notice& notice, const Generation& generation) {
    using protocol::NoticeKind;
    if (notice.kind == NoticeKind::locked) {
        releaseHeldKeys();
        hostLocked_ = true;
        publish(lockMessage_, notice.message);
        setState(State::locked);
    } else if (notice.kind == NoticeKind::unlocked) {
        hostLocked_ = false;
        publish(lockMessage_, std::optional<std::string>());
        setState(welcomed_ ? State::connected : State::connecting);
        if (welcomed_) sendDisplayAspectFit(displayAspectFitProvider ? displayAspectFitProvider() : false, true);
    } else if (notice.kind == NoticeKind::takenOver) {
        wantsConnection_ = false;
        tearDown(false);
        setState(State::takenOver);
    } else if (notice.kind == NoticeKind::viewOnly) {
        releaseHeldKeys();
        if (inputAllowed()) queuePointerCancel();
        publish(viewOnly_, true);
    } else if (notice.kind == NoticeKind::appLaunchFailed) {
        publish(inputNotice_, notice.message);
    } else if (notice.kind == NoticeKind::accessibilityNeeded) {
        publish(inputNotice_, std::optional<std::string>(kAccessibilityNeededMessage));
    }
    (void)generation;
}

void ConnectionManager::handleBusy(const Generation& generation) {
    setState(State::busy);
    hasWelcomed_ = true;
    if (takeoverOnBusy_) {
        takeoverOnBusy_ = false;
        if (state_ == State::busy) enqueueControl(protocol::TakeOver{}, generation);
        return;
    }
    if (hostStore && hostStore->lastRole(hostEntryId_) == "controller") joinAsController();
}

void ConnectionManager::handleControllerJoined(const Generation&) {
    if (!viewOnly_) queuePointerCancel();
    setState(State::controller);
    hasWelcomed_ = true;
    if (hostStore) hostStore->setLastRole("controller", hostEntryId_);
    if (onSessionEstablished) onSessionEstablished();
}

void ConnectionManager::handleCursor(const protocol::CursorPosition& cursor) {
    publish(cursor_, std::optional<protocol::CursorPosition>(cursor));
    if (!requestsSeparateCursor_ || !welcomed_) return;
    separateCursor_.receive(cursor);
    publishCursorShape();
}

void ConnectionManager::publishCursorShape() {
    std::optional<protocol::CursorPosition::Shape> shape;
    if (separateCursor_.current && separateCursor_.current->visible) shape = separateCursor_.current->shape;
    publish(visibleCursorShape_, std::move(shape));
}

}  // namespace orvanta::client
