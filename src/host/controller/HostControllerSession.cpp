// The session hub's wiring and what a session's start, resume, detach and end do across the host,
// in their order.
#include "host/controller/HostController.h"

namespace orvanta::host {

void HostController::wireSessions() {
    std::weak_ptr<HostController> weak = weak_from_this();
    auto& hub = *sessions_;
    hub.onSessionStarting = [weak](const DeviceRecord& record) {
        if (auto self = weak.lock()) self->sessionStarting(record);
    };
    hub.onSessionStarted = [weak](const std::shared_ptr<Session>& session) {
        if (auto self = weak.lock()) self->sessionStarted(session);
    };
    hub.onResume = [weak](const std::shared_ptr<Session>& current, const std::shared_ptr<BusyWaiter>& waiter) {
        if (auto self = weak.lock()) self->resumeSession(current, waiter);
    };
    hub.onDetach = [weak](const std::shared_ptr<Session>& session) {
        if (auto self = weak.lock()) self->detachSession(session);
    };
    hub.onEnd = [weak](const std::shared_ptr<Session>& session, std::optional<std::uint16_t> code,
                       std::string_view reason) {
        if (auto self = weak.lock()) self->endSession(session, code, reason);
    };
    hub.onMessage = [weak](protocol::ControlMessage& message, const std::shared_ptr<Session>& session) {
        if (auto self = weak.lock()) self->dispatch_->receive(message, session);
    };
    hub.onUndecodable = [weak] {
        if (auto self = weak.lock()) self->dispatch_->undecodable();
    };
    hub.onControllerMessage = [weak](const protocol::ControlMessage& message,
                                     const std::shared_ptr<ControllerSession>& controller) {
        if (auto self = weak.lock()) self->dispatch_->receiveFromController(message, controller);
    };
    hub.onClipboardHello = [weak](const std::shared_ptr<WebSocketConnection>& connection, const base::Json& hello,
                                  ConnectionRoute route) {
        if (auto self = weak.lock()) self->acceptClipboard(connection, hello, route);
    };
    hub.onControllerJoined = [weak](const std::string& deviceId) {
        auto self = weak.lock();
        if (self && self->input_) self->input_->beginSession(deviceId);
    };
    hub.onControllerEnded = [weak](const std::string& deviceId) {
        auto self = weak.lock();
        if (self && self->input_) self->input_->endSession(deviceId, false);
    };
    hub.onDevicesChanged = [weak] {
        if (auto self = weak.lock()) self->publishDevices();
    };
    hub.onLinksChanged = [weak] {
        if (auto self = weak.lock()) self->publishLinks();
    };
    hub.log = [weak](std::string_view line) {
        if (auto self = weak.lock()) self->log(line);
    };
    server_->onControl = [weak](UpgradedSocket socket, base::Bytes leftover, HTTPRequest request) {
        if (auto self = weak.lock()) {
            self->sessions_->accept(std::move(socket), std::move(leftover),
                                    connectionRoute(request.headers, request.isLAN));
        }
    };
}

void HostController::handleSessionHello(const std::shared_ptr<Session>& session, const protocol::Hello& hello) {
    sessions_->handleHello(session, hello);
}

// An authenticated hello, before the hub fills in the session: the physical layout and windows as
// the connection found them, and the input handed to the new device.
void HostController::sessionStarting(const DeviceRecord& record) {
    aspectFit_.snapshotConnectionLayout();
    snapshotConnectionFrames();
    if (input_) {
        input_->releaseKeys();
        input_->releasePointerInputs();
        input_->beginSession(record.deviceId);
    }
}

void HostController::sessionStarted(const std::shared_ptr<Session>& session) {
    dispatch_->sessionStarted();
    lastCursorSent_.reset();
    publishDevices();
    publishConnected(session->deviceName);
    setStatus("接続中: " + session->deviceName);
    sendMessage(*session->control, protocol::Welcome{session->sessionId, session->ticket, audioOffer(*session)});
    if (paused_) sendMessage(*session->control, protocol::Notice{protocol::NoticeKind::locked});
    recordSessionPhase("start");
    log("session started for " + Log::field(session->deviceId));
    aspectFit_.sessionStarted(*session);
}

// The same device on a new connection: the old one's media stop, then the session moves, then the
// fit comes back.
void HostController::resumeSession(const std::shared_ptr<Session>& current, const std::shared_ptr<BusyWaiter>& waiter) {
    ++selectionGeneration_;
    if (!current->detachedAt && input_) input_->endSession(current->deviceId, false);
    if (auto video = std::exchange(current->video, nullptr)) video->close(1001, "replaced");
    detachSender();
    refreshAudio();
    stopPipeline();
    // A Windows client's display is shaped to its screen: another screen needs another display.
    const bool displayDestroyed = SessionHub::windowsScreenPixels(*waiter->hello) != current->windowsScreenPixels &&
                                  aspectFit_.holdsVirtualDisplay();
    if (displayDestroyed) aspectFit_.releaseVirtualDisplay("primary screenPixels changed", false);
    sessions_->replace(current, waiter);
    if (displayDestroyed && session_ && (windowFit_ || pendingFit_)) session_->recreateWindowDisplayOnResume = true;
    resumeWindowFit();
    recordSessionPhase("resume");
    log("session resumed by " + Log::field(waiter->record->deviceId));
}

void HostController::closeController(std::string_view reason) { sessions_->closeController(reason); }

void HostController::stop() {
    if (session_) {
        endSession(session_, std::nullopt, "host stopping");
    } else {
        aspectFit_.restoreOnDisconnect("host stopping");
    }
}

void HostController::endSession(std::shared_ptr<Session> ended, std::optional<std::uint16_t> code,
                                std::string_view reason) {
    // Taken by value: callers pass session_ itself, which is cleared first.
    if (!sessions_->release(ended)) return;
    refreshAudio();
    log("session cleanup: begin (" + std::string(reason) + ")");
    pause_->updateBlackout();
    log("session cleanup: blackout release evaluated");
    closeController("main session ended");
    detachSender();
    const std::uint16_t closeCode = code.value_or(1001);
    if (auto video = std::exchange(ended->video, nullptr)) video->close(closeCode, reason);
    ended->control->close(closeCode, reason);
    log("session cleanup: socket close requested");
    aspectFit_.sessionEnded();
    clearWindowFit(true, false);
    if (ended->authenticated && input_) {
        input_->releaseKeys();
        input_->releasePointerInputs();
        if (!ended->detachedAt) input_->endSession(ended->deviceId, false);
    }
    stopPipeline();
    windowPointerState_ = WindowPointerState::ready;
    audio_->forgetFailures();
    aspectFit_.restoreOnDisconnect("session ended");
    connectionFrames_.reset();
    log("session cleanup: window and display restoration dispatched");
    publishConnected(std::nullopt);
    publish([](HostPublishedState& state) { state.screenCaptureFailed = false; });
    setStatus(listenStatus());
    recordSessionPhase("end");
    log("session ended: " + std::string(reason));
}

void HostController::detachSession(const std::shared_ptr<Session>& session) {
    if (session != session_ || session->detachedAt) return;
    ++selectionGeneration_;
    if (input_) input_->endSession(session->deviceId, true);
    sessions_->markDetached(*session);
    cancelAspectUpdate();
    if (auto video = std::exchange(session->video, nullptr)) video->close(1001, "main detached");
    detachSender();
    refreshAudio();
    pipeline_->cancelIdleStop();
    stopPipeline();
    suspendWindowFit();
    // High resolution keeps its display across a detach unless display aspect fit has moved things.
    if (!highResOn_ || aspectFit_.on() || !aspectRecords_.empty()) aspectFit_.restoreOnDisconnect("detached");
    publishConnected(std::nullopt);
    setStatus("復帰待ち: " + session->deviceName + "（60秒）");
    recordSessionPhase("detach");
    log("session detached: waiting for " + Log::field(session->deviceId) + " to return");
    sessions_->awaitReturn(session);
}

std::string HostController::listenStatus() const {
    return listenFailure_ ? std::string(kListenFailedPrefix) + *listenFailure_ : std::string(kListeningStatus);
}

void HostController::detachSender() { sender_->detach(); }

}  // namespace orvanta::host
