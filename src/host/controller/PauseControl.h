// Pause while the screen is locked or the display sleeps, the typed unlock a device asks for, with
// its spacing and back-off, and the blackout covers, shown while a session is on or away and the
// screen is not locked. On the host queue; the unlock's typing runs on its own queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "base/Executor.h"
#include "host/controller/HostComponents.h"
#include "host/desktop/LockUnlocker.h"
#include "host/media/Blackout.h"
#include "platform/SessionState.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

class PauseControl final : public std::enable_shared_from_this<PauseControl> {
public:
    static constexpr std::uint64_t kUnlockSpacingMicros = 3'000'000;
    static constexpr std::uint64_t kUnlockBackoffMicros = 30'000'000;
    static constexpr int kUnlockFailuresBeforeBackoff = 3;

    // The executors and the clock outlive the component; any of the services may be missing.
    struct Dependencies {
        base::Executor* queue = nullptr;        // "zq2.host"
        base::Executor* main = nullptr;         // where the unlock's keystrokes are planned
        base::Executor* unlockQueue = nullptr;  // "zq2.unlock": typing and polling block it for seconds
        const base::Clock* clock = nullptr;
        // The system's lock screen: read by the lock poll and typed into by the unlock.
        std::shared_ptr<UnlockEnvironment> unlockEnvironment;
        // Whether typing can reach the system's lock screen.
        std::shared_ptr<HostInput> input;
        std::shared_ptr<HostBlackout> blackout;
        // The display's sleep, where it can be read.
        std::shared_ptr<platform::DisplaySleep> displaySleep;
        // On the main thread: a password's keystrokes, nothing when the layout cannot type it.
        std::function<std::optional<std::vector<UnlockKeystroke>>(const std::string& password)> planUnlock;
        bool blackoutEnabled = true;  // the stored preference
    };

    // What the component asks of the host, on the host queue; set after construction.
    struct Neighbours {
        // Everything a pause stops, before the device hears of it.
        std::function<void()> pause;
        // Everything a resume restarts, after the device has heard of it.
        std::function<void()> resume;
        // A notice for the main session's device, when one is authenticated.
        std::function<void(const protocol::Notice& notice)> notify;
        // Where the main session stands, as the covers need it.
        std::function<BlackoutSessionPhase()> sessionPhase;
        // Typing was refused because synthetic input cannot reach the display.
        std::function<void()> needsAccessibility;
        std::function<void(std::string_view line)> log;
    };

    explicit PauseControl(Dependencies dependencies);
    void setNeighbours(Neighbours neighbours) { neighbours_ = std::move(neighbours); }

    // The debug environment's lock screen, which needs no trust, stands in for the system's.
    void simulateLock(std::shared_ptr<UnlockEnvironment> simulated);

    bool paused() const { return paused_; }
    // The same, for the host's concerns that still read it in place.
    const bool& pausedRecord() const { return paused_; }
    bool screenLocked() const { return screenLocked_; }
    bool blackoutEnabled() const { return blackout_.enabled; }

    // Each reads its state; a change pauses or resumes and moves the covers. The host polls them:
    // the display server announces neither.
    void pollLock();
    void pollDisplaySleep();
    // A device's password, typed into the lock screen while paused; spaced and backed off after
    // failures, and answered with a notice.
    void unlock(const std::string& password);
    // The user's preference, logged; the covers follow.
    void setBlackoutEnabled(bool enabled);
    // The session or the lock changed: the covers are requested when their wish changes.
    void updateBlackout();

private:
    void setPaused(bool paused);
    void displaySleepChanged(bool asleep);
    void applyBlackout(std::optional<bool> enabled);
    void finishUnlock(std::optional<UnlockOutcome> outcome);
    void sendNotice(const protocol::NoticeKind& kind, std::optional<std::string> message = std::nullopt);
    void log(std::string_view line) const;
    std::uint64_t now() const { return clock_.uptimeMicros(); }

    base::Executor& queue_;
    base::Executor& main_;
    base::Executor* unlockQueue_;
    const base::Clock& clock_;
    const std::shared_ptr<UnlockEnvironment> systemEnvironment_;
    const std::shared_ptr<HostInput> input_;
    const std::shared_ptr<HostBlackout> blackoutCovers_;
    const std::shared_ptr<platform::DisplaySleep> displaySleep_;
    const std::function<std::optional<std::vector<UnlockKeystroke>>(const std::string&)> planUnlock_;
    Neighbours neighbours_;

    std::shared_ptr<UnlockEnvironment> unlockEnvironment_;
    bool paused_ = false;
    bool screenLocked_ = false;
    bool displayAsleep_ = false;
    bool unlockInFlight_ = false;
    int unlockFailures_ = 0;
    std::uint64_t unlockNotBefore_ = 0;
    BlackoutState blackout_;
};

}  // namespace orvanta::host
