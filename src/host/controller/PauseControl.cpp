#include "host/controller/PauseControl.h"

#include "host/transport/Support.h"

namespace orvanta::host {

namespace {

std::string waitText(std::uint64_t remainingMicros) {
    const auto seconds = (remainingMicros + 999'999) / 1'000'000;
    return "続けて試せません。あと" + std::to_string(seconds) + "秒ほど待ってから、もう一度送ってください。";
}

}  // namespace

PauseControl::PauseControl(Dependencies dependencies)
    : queue_(*dependencies.queue),
      main_(*dependencies.main),
      unlockQueue_(dependencies.unlockQueue),
      clock_(*dependencies.clock),
      systemEnvironment_(dependencies.unlockEnvironment),
      input_(std::move(dependencies.input)),
      blackoutCovers_(std::move(dependencies.blackout)),
      displaySleep_(std::move(dependencies.displaySleep)),
      planUnlock_(std::move(dependencies.planUnlock)),
      unlockEnvironment_(std::move(dependencies.unlockEnvironment)) {
    blackout_.enabled = dependencies.blackoutEnabled;
}

void PauseControl::pollDisplaySleep() {
    if (!displaySleep_) return;
    if (auto asleep = displaySleep_->displayAsleep(); asleep && *asleep != displayAsleep_) displaySleepChanged(*asleep);
}

void PauseControl::simulateLock(std::shared_ptr<UnlockEnvironment> simulated) {
    unlockEnvironment_ = std::move(simulated);
}

void PauseControl::displaySleepChanged(bool asleep) {
    displayAsleep_ = asleep;
    if (!asleep && unlockEnvironment_) {
        if (auto locked = unlockEnvironment_->isScreenLocked()) screenLocked_ = *locked;
    }
    setPaused(screenLocked_ || displayAsleep_);
    updateBlackout();
}

void PauseControl::pollLock() {
    if (!unlockEnvironment_) return;
    const auto locked = unlockEnvironment_->isScreenLocked();
    if (!locked || *locked == screenLocked_) return;
    screenLocked_ = *locked;
    setPaused(screenLocked_ || displayAsleep_);
    updateBlackout();
}

void PauseControl::setPaused(bool paused) {
    if (paused == paused_) return;
    paused_ = paused;
    if (paused) {
        if (neighbours_.pause) neighbours_.pause();
        sendNotice(protocol::NoticeKind::locked);
        log("paused (lock or display sleep)");
        return;
    }
    sendNotice(protocol::NoticeKind::unlocked);
    if (neighbours_.resume) neighbours_.resume();
    log("resumed");
}

void PauseControl::setBlackoutEnabled(bool enabled) {
    log(std::string("blackout setting: ") + (enabled ? "on" : "off"));
    applyBlackout(enabled);
}

void PauseControl::updateBlackout() { applyBlackout(std::nullopt); }

void PauseControl::applyBlackout(std::optional<bool> enabled) {
    const bool wasCovered = blackout_.coversWanted();
    if (enabled) blackout_.enabled = *enabled;
    blackout_.phase = neighbours_.sessionPhase ? neighbours_.sessionPhase() : BlackoutSessionPhase::none;
    blackout_.screenLocked = screenLocked_;
    const bool covered = blackout_.coversWanted();
    if (covered != wasCovered && blackoutCovers_) blackoutCovers_->request(covered);
}

void PauseControl::unlock(const std::string& password) {
    if (!paused_) return sendNotice(protocol::NoticeKind::unlocked);
    if (unlockInFlight_ || !unlockEnvironment_) return;
    const std::uint64_t at = now();
    if (at < unlockNotBefore_) return sendNotice(protocol::NoticeKind::locked, waitText(unlockNotBefore_ - at));
    const bool simulated = unlockEnvironment_ != systemEnvironment_;
    if (!simulated && !(input_ && input_->trusted())) {
        sendNotice(protocol::NoticeKind::locked,
                   "ロック解除には Mac の「アクセシビリティ」で Orvanta の許可が必要です。");
        if (neighbours_.needsAccessibility) neighbours_.needsAccessibility();
        return;
    }
    unlockInFlight_ = true;
    // The layout is read on the main thread; the typing blocks its own queue for seconds. The
    // password and its keystrokes are wiped however those tasks end, run or dropped at shutdown.
    auto secret = Secret::wipedOnRelease(std::string());
    *secret = password;
    main_.async([weak = weak_from_this(), secret, plan = planUnlock_, unlockQueue = unlockQueue_,
                 env = unlockEnvironment_, queue = &queue_]() mutable {
        auto planned = plan(*secret);
        Secret::wipe(*secret);
        auto strokes = planned ? Secret::wipedOnRelease(std::move(*planned)) : nullptr;
        unlockQueue->async([weak, strokes, env, queue] {
            std::optional<UnlockOutcome> outcome;
            if (strokes) outcome = LockUnlocker::run(*strokes, *env, LockUnlocker::Timing{});
            queue->async([weak, outcome] {
                if (auto self = weak.lock()) self->finishUnlock(outcome);
            });
        });
    });
}

void PauseControl::finishUnlock(std::optional<UnlockOutcome> outcome) {
    unlockInFlight_ = false;
    unlockNotBefore_ = now() + kUnlockSpacingMicros;
    pollLock();
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

void PauseControl::sendNotice(const protocol::NoticeKind& kind, std::optional<std::string> message) {
    if (neighbours_.notify) neighbours_.notify(protocol::Notice{kind, std::move(message)});
}

void PauseControl::log(std::string_view line) const {
    if (neighbours_.log) neighbours_.log(line);
}

}  // namespace orvanta::host
