// Pause on lock or display sleep, the blackout preference, the typed unlock and revocation.
#include <cmath>

#include "host/controller/HostController.h"

namespace orvanta::host {

namespace {

std::string waitText(std::uint64_t remainingMicros) {
    const auto seconds = (remainingMicros + 999'999) / 1'000'000;
    return "続けて試せません。あと" + std::to_string(seconds) + "秒ほど待ってから、もう一度送ってください。";
}

}  // namespace

// The lock itself is read by the housekeeping poll; the display's sleep is polled here because the
// display server announces none.
void HostController::observeWorkspace() {
    auto sleep = dependencies_.control.displaySleep;
    if (!sleep) return;
    timers_.push_back(queue_.repeating(kDisplaySleepPollInterval, [weakSelf = weak_from_this(), sleep] {
        auto self = weakSelf.lock();
        if (!self) return;
        if (auto asleep = sleep->displayAsleep(); asleep && *asleep != self->displayAsleep_) {
            self->displaySleepChanged(*asleep);
        }
    }));
}

void HostController::displaySleepChanged(bool asleep) {
    displayAsleep_ = asleep;
    if (!asleep && unlockEnvironment_) {
        if (auto locked = unlockEnvironment_->isScreenLocked()) screenLocked_ = *locked;
    }
    setPaused(screenLocked_ || displayAsleep_);
    updateBlackout(std::nullopt);
}

void HostController::setPaused(bool paused) {
    if (paused == paused_) return;
    paused_ = paused;
    if (paused) {
        refreshAudio();
        // Only an update still waiting is cancelled: a re-fit owed to a release under way stays
        // owed, and the end of that release hands it to the unlock.
        if (pendingAspectUpdate_) {
            if (session_) session_->viewportChangedWhilePaused = true;
            cancelAspectUpdate();
        }
        if (input_) input_->releaseAll();
        stopPipeline();
        sendNotice(protocol::NoticeKind::locked);
        log("paused (lock or display sleep)");
        return;
    }
    sendNotice(protocol::NoticeKind::unlocked);
    if (session_ && !session_->detachedAt && std::exchange(session_->viewportChangedWhilePaused, false)) {
        if (auto pending = pendingFit_) {
            requestFit(pending->target, {session_->viewportWidth, session_->viewportHeight}, pending->knownWindow,
                       pending->inheritedOriginal);
        } else if (!updateWindowVideo(*session_)) {
            if (clientAspectFit_) {
                scheduleAspectUpdate(*session_);
            } else if (session_->video) {
                stopPipeline();
            }
        }
    }
    startPipelineIfNeeded();
    refreshAudio();
    log("resumed");
}

void HostController::setBlackout(bool enabled) {
    publish([enabled](HostPublishedState& state) { state.blackoutEnabled = enabled; });
    dependencies_.settings->set(StoredHostSettings::kBlackoutKey, enabled);
    queue_.async([weakSelf = weak_from_this(), enabled] {
        auto self = weakSelf.lock();
        if (!self) return;
        self->log(std::string("blackout setting: ") + (enabled ? "on" : "off"));
        self->updateBlackout(enabled);
    });
}

void HostController::sendNotice(const protocol::NoticeKind& kind, std::optional<std::string> message) {
    if (session_ && session_->authenticated)
        sendMessage(*session_->control, protocol::Notice{kind, std::move(message)});
}

void HostController::handleUnlock(const std::string& password) {
    if (!paused_) return sendNotice(protocol::NoticeKind::unlocked);
    if (unlockInFlight_ || !unlockEnvironment_) return;
    const std::uint64_t at = now();
    if (at < unlockNotBefore_) return sendNotice(protocol::NoticeKind::locked, waitText(unlockNotBefore_ - at));
    const bool simulated = unlockEnvironment_ != dependencies_.components.unlockEnvironment;
    auto& control = dependencies_.control;
    if (!simulated && !(input_ && input_->trusted())) {
        sendNotice(protocol::NoticeKind::locked,
                   "ロック解除には Mac の「アクセシビリティ」で Orvanta の許可が必要です。");
        return handleInputResult(InputResult::needsAccessibility);
    }
    unlockInFlight_ = true;
    // The layout is read on the main thread; the typing blocks its own queue for seconds. The
    // password and its keystrokes are wiped however those tasks end, run or dropped at shutdown.
    auto secret = Secret::wipedOnRelease(std::string());
    *secret = password;
    main_.async([weakSelf = weak_from_this(), secret, plan = control.planUnlock, unlockQueue = control.unlockQueue,
                 env = unlockEnvironment_, queue = &queue_]() mutable {
        auto planned = plan(*secret);
        Secret::wipe(*secret);
        auto strokes = planned ? Secret::wipedOnRelease(std::move(*planned)) : nullptr;
        unlockQueue->async([weakSelf, strokes, env, queue] {
            std::optional<UnlockOutcome> outcome;
            if (strokes) outcome = LockUnlocker::run(*strokes, *env, LockUnlocker::Timing{});
            queue->async([weakSelf, outcome] {
                if (auto self = weakSelf.lock()) self->finishUnlock(outcome);
            });
        });
    });
}

void HostController::finishUnlock(std::optional<UnlockOutcome> outcome) {
    unlockInFlight_ = false;
    unlockNotBefore_ = now() + kUnlockSpacingMicros;
    pollLockState();
    using protocol::NoticeKind;
    if (!outcome) return sendNotice(NoticeKind::locked, "パスワードに使えない文字（改行など）が含まれています。");
    switch (*outcome) {
        case UnlockOutcome::unlocked:
            unlockFailures_ = 0;
            unlockNotBefore_ = 0;
            return;
        case UnlockOutcome::stillLocked:
            if (++unlockFailures_ < kUnlockFailuresBeforeBackoff) {
                return sendNotice(NoticeKind::locked,
                                  "ロックを解除できませんでした。パスワードを確かめて、もう一度送ってください。");
            }
            unlockNotBefore_ = now() + kUnlockBackoffMicros;
            return sendNotice(NoticeKind::locked,
                              "ロックを解除できませんでした。続けて失敗したため、30秒ほど待って"
                              "からもう一度送ってください。");
        case UnlockOutcome::notLocked:
            unlockNotBefore_ = 0;
            if (!paused_) sendNotice(NoticeKind::unlocked);
            return;
        case UnlockOutcome::interrupted:
            unlockNotBefore_ = 0;
            if (paused_)
                sendNotice(NoticeKind::locked, "ロック状態が変わったため、途中で止めました。もう一度送ってください。");
            return;
    }
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
