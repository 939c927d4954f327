// The coordinator's side of pause, unlock and the blackout covers: the component's construction
// and wiring, what a pause stops and a resume restarts across the host, the user's blackout
// preference, and revocation.
#include "host/controller/HostController.h"

namespace orvanta::host {

std::shared_ptr<PauseControl> HostController::makePauseControl() const {
    const auto& components = dependencies_.components;
    const auto& control = dependencies_.control;
    return std::make_shared<PauseControl>(
        PauseControl::Dependencies{.queue = &queue_,
                                   .main = &main_,
                                   .unlockQueue = control.unlockQueue,
                                   .clock = &clock_,
                                   .unlockEnvironment = components.unlockEnvironment,
                                   .input = components.input,
                                   .blackout = components.blackout,
                                   .displaySleep = control.displaySleep,
                                   .planUnlock = control.planUnlock,
                                   .blackoutEnabled = StoredHostSettings::read(*dependencies_.settings).blackout});
}

// The component lives as long as the controller, so its callbacks reach the controller directly.
void HostController::wirePause() {
    pause_->setNeighbours({
        .pause = [this] { pauseConcerns(); },
        .resume = [this] { resumeConcerns(); },
        .notify =
            [this](const protocol::Notice& notice) {
                if (session_ && session_->authenticated) sendMessage(*session_->control, notice);
            },
        .sessionPhase =
            [this] {
                if (!session_ || !session_->authenticated) return BlackoutPhase::none;
                return session_->detachedAt ? BlackoutPhase::waitingReturn : BlackoutPhase::connected;
            },
        .needsAccessibility = [this] { dispatch_->inputResult(InputResult::needsAccessibility); },
        .log = [this](std::string_view line) { log(line); },
    });
}

// The display's sleep is polled because the display server announces none; the lock is read by
// the housekeeping tick.
void HostController::observeWorkspace() {
    if (!dependencies_.control.displaySleep) return;
    timers_.push_back(queue_.repeating(kDisplaySleepPollInterval, [weakSelf = weak_from_this()] {
        if (auto self = weakSelf.lock()) self->pause_->pollDisplaySleep();
    }));
}

void HostController::pauseConcerns() {
    refreshAudio();
    // Only an update still waiting is cancelled: a re-fit owed to a release under way stays owed,
    // and the end of that release hands it to the unlock.
    if (aspectFit_.updateScheduled()) {
        if (session_) session_->viewportChangedWhilePaused = true;
        cancelAspectUpdate();
    }
    if (input_) input_->releaseAll();
    stopPipeline();
}

void HostController::resumeConcerns() {
    if (session_ && !session_->detachedAt && std::exchange(session_->viewportChangedWhilePaused, false)) {
        if (auto pending = pendingFit_) {
            requestFit(pending->target, {session_->viewportWidth, session_->viewportHeight}, pending->knownWindow,
                       pending->inheritedOriginal);
        } else if (!updateWindowVideo(*session_)) {
            if (aspectFit_.on()) {
                scheduleAspectUpdate(*session_);
            } else if (session_->video) {
                stopPipeline();
            }
        }
    }
    startPipelineIfNeeded();
    refreshAudio();
}

void HostController::setBlackout(bool enabled) {
    publish([enabled](HostPublishedState& state) { state.blackoutEnabled = enabled; });
    dependencies_.settings->set(StoredHostSettings::kBlackoutKey, enabled);
    queue_.async([weakSelf = weak_from_this(), enabled] {
        if (auto self = weakSelf.lock()) self->pause_->setBlackoutEnabled(enabled);
    });
}

void HostController::revoke(const std::string& deviceId, std::function<void(bool)> completion) {
    queue_.async([weakSelf = weak_from_this(), deviceId, completion = std::move(completion)] {
        if (auto self = weakSelf.lock()) self->revokeOnQueue(deviceId, completion);
    });
}

void HostController::revokeOnQueue(const std::string& deviceId, const std::function<void(bool)>& completion) {
    auto finish = [this, &completion](bool done) {
        if (completion) main_.async([completion, done] { completion(done); });
    };
    if (auto revoked = registry_->revoke(deviceId); !revoked) {
        log("revoke failed: " + describe(revoked.error()));
        return finish(false);
    }
    clipboardChannel_->revoke(deviceId);
    publishDevices();
    sessions_->revoke(deviceId);
    log("revoked " + Log::field(deviceId));
    finish(true);
}

}  // namespace orvanta::host
