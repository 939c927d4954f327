// Ending sessions, the blackout decision and the pipeline hooks the timers drive.
#include "host/controller/HostController.h"

namespace orvanta::host {

void HostController::closeController(std::string_view reason) {
    if (!controllerSession_) return;
    const auto closing = std::exchange(controllerSession_, nullptr);
    if (input_) input_->endSession(closing->deviceId, false);
    closing->control->close(1001, reason);
    publishLinks();
    log("controller closed: " + std::string(reason));
}

void HostController::stop() {
    if (session_) {
        endSession(session_, std::nullopt, "host stopping");
    } else {
        restoreDisplayOnDisconnect("host stopping");
    }
}

void HostController::endSession(std::shared_ptr<Session> ended, std::optional<std::uint16_t> code,
                                std::string_view reason) {
    // Taken by value: callers pass session_ itself, which is cleared first.
    if (!ended || ended != session_) return;
    session_.reset();
    refreshAudio();
    connectionLayout_.reset();
    log("session cleanup: begin (" + std::string(reason) + ")");
    updateBlackout(std::nullopt);
    log("session cleanup: blackout release evaluated");
    closeController("main session ended");
    detachSender();
    const std::uint16_t closeCode = code.value_or(1001);
    if (auto video = std::exchange(ended->video, nullptr)) video->close(closeCode, reason);
    ended->control->close(closeCode, reason);
    log("session cleanup: socket close requested");
    if (clientAspectFit_) {
        clientAspectFit_ = false;
        log("display aspect fit: off (session ended)");
    }
    clientAspectScale_ = 1.0;
    cancelAspectUpdate();
    clearWindowFit(true, false);
    if (ended->authenticated && input_) {
        input_->releaseKeys();
        input_->releasePointerInputs();
        if (!ended->detachedAt) input_->endSession(ended->deviceId, false);
    }
    stopPipeline();
    windowPointerState_ = WindowPointerState::ready;
    audio_->forgetFailures();
    restoreDisplayOnDisconnect("session ended");
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
    session->detachedAt = now();
    cancelAspectUpdate();
    if (auto video = std::exchange(session->video, nullptr)) video->close(1001, "main detached");
    detachSender();
    refreshAudio();
    videoDetachedAt_.reset();
    stopPipeline();
    suspendWindowFit();
    // High resolution keeps its display across a detach unless display aspect fit has moved things.
    if (!highResOn_ || clientAspectFit_ || !aspectRecords_.empty()) restoreDisplayOnDisconnect("detached");
    publishConnected(std::nullopt);
    setStatus("復帰待ち: " + session->deviceName + "（60秒）");
    recordSessionPhase("detach");
    log("session detached: waiting for " + Log::field(session->deviceId) + " to return");
    std::weak_ptr<HostController> weakSelf = weak_from_this();
    std::weak_ptr<Session> weakSession = session;
    queue_.asyncAfter(kDetachWait, [weakSelf, weakSession] {
        auto self = weakSelf.lock();
        auto detached = weakSession.lock();
        if (self && detached && detached->detachedAt) self->endSession(detached, std::nullopt, "detach expired");
    });
}

std::string HostController::listenStatus() const {
    return listenFailure_ ? std::string(kListenFailedPrefix) + *listenFailure_ : std::string(kListeningStatus);
}

void HostController::detachSender() { sender_->detach(); }

void HostController::updateBlackout(std::optional<bool> enabled) {
    const bool wasCovered = blackout_.coversWanted();
    if (enabled) blackout_.enabled = *enabled;
    if (!session_ || !session_->authenticated) {
        blackout_.phase = BlackoutPhase::none;
    } else {
        blackout_.phase = session_->detachedAt ? BlackoutPhase::waitingReturn : BlackoutPhase::connected;
    }
    blackout_.screenLocked = screenLocked_;
    const bool covered = blackout_.coversWanted();
    if (covered != wasCovered && dependencies_.components.blackout) dependencies_.components.blackout->request(covered);
}

}  // namespace orvanta::host
