// Pause, unlock and the blackout covers on their own, on virtual time: the lock screen, the
// display's sleep, input and the covers are fakes, and the host's side is a recording of what the
// component asks of it.
#include <gtest/gtest.h>

#include "host/controller/PauseControl.h"
#include "support/FakeHostComponents.h"
#include "support/FakeHostControl.h"
#include "support/FakeSessionState.h"
#include "support/ManualExecutor.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;
using host::BlackoutSessionPhase;
using protocol::NoticeKind;
using Calls = std::vector<std::string>;

const std::string kWrongOnce = "ロックを解除できませんでした。パスワードを確かめて、もう一度送ってください。";
const std::string kWrongThrice =
    "ロックを解除できませんでした。続けて失敗したため、30秒ほど待ってからもう一度送ってください。";
const std::string kNeedsTrust = "ロック解除には Mac の「アクセシビリティ」で Orvanta の許可が必要です。";
const std::string kUntypable = "パスワードに使えない文字（改行など）が含まれています。";

// A lock screen that opens when Return follows exactly the expected characters; records the pauses.
class TypingEnvironment final : public host::UnlockEnvironment {
public:
    explicit TypingEnvironment(std::string password) : password_(std::move(password)) {}
    std::optional<bool> isScreenLocked() override { return locked; }
    bool wakeDisplay() override { return false; }
    void postNudge() override {}
    void post(const host::UnlockKeystroke& stroke) override { typed_.push_back(static_cast<char>(stroke.unicode)); }
    void postReturn() override {
        if (typed_ == password_) locked = false;
        typed_.clear();
        ++attempts;
    }
    void pause(double seconds) override { pauses.push_back(seconds); }

    std::optional<bool> locked = true;
    int attempts = 0;
    std::vector<double> pauses;

private:
    std::string password_;
    std::string typed_;
};

class PauseControlTest : public ::testing::Test {
protected:
    void SetUp() override { make(); }

    // A new component over the fakes as they stand.
    void make(bool blackoutEnabled = true) {
        pause = std::make_shared<host::PauseControl>(host::PauseControl::Dependencies{
            .queue = &queue,
            .main = &main,
            .unlockQueue = &unlockQueue,
            .clock = &queue.clock(),
            .unlockEnvironment = screen,
            .input = input,
            .blackout = covers,
            .displaySleep = display,
            .planUnlock = FakeHostControl::planUnlock,
            .blackoutEnabled = blackoutEnabled});
        pause->setNeighbours({
            .pause = [this] { log->push_back("host.pause"); },
            .resume = [this] { log->push_back("host.resume"); },
            .notify =
                [this](const protocol::Notice& notice) {
                    log->push_back("notice " + notice.kind.rawValue());
                    notices.push_back(notice);
                },
            .sessionPhase = [this] { return phase; },
            .needsAccessibility = [this] { log->push_back("host.needsAccessibility"); },
            .log = [this](std::string_view line) { lines.emplace_back(line); },
        });
    }

    void settle() {
        while (queue.runUntilIdle() + main.runUntilIdle() + unlockQueue.runUntilIdle() != 0) {
        }
    }
    void advance(std::chrono::microseconds delta) {
        queue.advance(delta);
        settle();
    }
    void lock() {
        screen->locked = true;
        pause->pollLock();
    }
    void unlock(const std::string& password) {
        pause->unlock(password);
        settle();
    }
    // The notices since the last call.
    std::vector<protocol::Notice> takeNotices() { return std::exchange(notices, {}); }
    static protocol::Notice locked(std::string message) { return {NoticeKind::locked, std::move(message)}; }
    static protocol::Notice bare(NoticeKind kind) { return {kind, std::nullopt}; }

    ManualExecutor queue;
    ManualExecutor main;
    ManualExecutor unlockQueue;
    HostCallLog log = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<TypingEnvironment> screen = std::make_shared<TypingEnvironment>("pw");
    std::shared_ptr<FakeHostInput> input = std::make_shared<FakeHostInput>(log);
    std::shared_ptr<FakeHostBlackout> covers = std::make_shared<FakeHostBlackout>(log);
    std::shared_ptr<FakeSessionState> display = std::make_shared<FakeSessionState>();
    BlackoutSessionPhase phase = BlackoutSessionPhase::connected;
    std::shared_ptr<host::PauseControl> pause;
    std::vector<protocol::Notice> notices;
    std::vector<std::string> lines;
};

TEST_F(PauseControlTest, PauseStopsTheHostBeforeTheNoticeAndResumeTellsTheDeviceFirst) {
    screen->locked = false;
    phase = BlackoutSessionPhase::none;
    pause->pollLock();
    EXPECT_TRUE(log->empty());
    lock();
    lock();
    EXPECT_TRUE(pause->paused());
    EXPECT_EQ(*log, (Calls{"host.pause", "notice locked"}));
    log->clear();
    screen->locked = false;
    pause->pollLock();
    EXPECT_FALSE(pause->paused());
    EXPECT_EQ(*log, (Calls{"notice unlocked", "host.resume"}));
    EXPECT_EQ(lines, (Calls{"paused (lock or display sleep)", "resumed"}));
}

TEST_F(PauseControlTest, AnUnreadableLockChangesNothing) {
    lock();
    screen->locked = std::nullopt;
    pause->pollLock();
    EXPECT_TRUE(pause->paused());
    EXPECT_TRUE(pause->screenLocked());
    screen->locked = false;
    pause->pollLock();
    EXPECT_FALSE(pause->paused());
    EXPECT_FALSE(pause->screenLocked());
}

TEST_F(PauseControlTest, DisplaySleepPausesAndWakeResumesWhenUnlocked) {
    screen->locked = false;
    display->asleep = true;
    pause->pollDisplaySleep();
    EXPECT_TRUE(pause->paused());
    EXPECT_EQ(takeNotices(), std::vector{bare(NoticeKind::locked)});
    display->asleep = std::nullopt;  // unknown changes nothing
    pause->pollDisplaySleep();
    EXPECT_TRUE(pause->paused());
    display->asleep = false;
    pause->pollDisplaySleep();
    EXPECT_FALSE(pause->paused());
    EXPECT_EQ(takeNotices(), std::vector{bare(NoticeKind::unlocked)});
}

// Waking reads the lock at once: a screen that locked while the display slept keeps the pause.
TEST_F(PauseControlTest, WakingToALockedScreenStaysPaused) {
    screen->locked = false;
    display->asleep = true;
    pause->pollDisplaySleep();
    screen->locked = true;
    display->asleep = false;
    pause->pollDisplaySleep();
    EXPECT_TRUE(pause->paused());
    EXPECT_TRUE(pause->screenLocked());
    EXPECT_EQ(takeNotices(), std::vector{bare(NoticeKind::locked)});
}

TEST_F(PauseControlTest, WithoutADisplaySleepReaderNothingIsPolled) {
    display.reset();
    make();
    pause->pollDisplaySleep();
    EXPECT_FALSE(pause->paused());
}

TEST_F(PauseControlTest, UnlockTypesThePasswordWithItsTimingsAndSpacesAttempts) {
    screen->locked = false;
    unlock("pw");  // not paused: nothing to unlock
    EXPECT_EQ(takeNotices(), std::vector{bare(NoticeKind::unlocked)});
    EXPECT_EQ(screen->attempts, 0);

    lock();
    EXPECT_EQ(takeNotices(), std::vector{bare(NoticeKind::locked)});
    unlock("no");
    EXPECT_EQ(takeNotices(), std::vector{locked(kWrongOnce)});
    advance(1s);
    unlock("no");
    EXPECT_EQ(takeNotices(), std::vector{locked("続けて試せません。あと2秒ほど待ってから、もう一度送ってください。")});
    advance(2s);
    unlock("no");
    EXPECT_EQ(takeNotices(), std::vector{locked(kWrongOnce)});
    advance(3s);
    unlock("no");
    EXPECT_EQ(takeNotices(), std::vector{locked(kWrongThrice)});
    advance(29s);
    unlock("pw");
    EXPECT_EQ(takeNotices(), std::vector{locked("続けて試せません。あと1秒ほど待ってから、もう一度送ってください。")});
    advance(1s);
    screen->pauses.clear();
    unlock("pw");
    EXPECT_EQ(takeNotices(), std::vector{bare(NoticeKind::unlocked)});
    EXPECT_FALSE(pause->paused());
    EXPECT_EQ(screen->attempts, 4);
    EXPECT_EQ(screen->pauses, (std::vector<double>{0.4, 0.4, 0.02, 0.02, 0.25}));

    // A success resets the failure count: the next failure is a first one again.
    lock();
    advance(3s);
    unlock("no");
    EXPECT_EQ(takeNotices(), (std::vector{bare(NoticeKind::locked), locked(kWrongOnce)}));
}

TEST_F(PauseControlTest, OneUnlockAtATime) {
    lock();
    takeNotices();
    pause->unlock("no");
    pause->unlock("no");  // the first is still being typed: ignored
    settle();
    EXPECT_EQ(screen->attempts, 1);
    EXPECT_EQ(takeNotices(), std::vector{locked(kWrongOnce)});
}

TEST_F(PauseControlTest, UnlockRefusesUntypablePasswordsAndMissingTrust) {
    lock();
    takeNotices();
    unlock("p\tw");
    EXPECT_EQ(takeNotices(), std::vector{locked(kUntypable)});
    EXPECT_EQ(screen->attempts, 0);

    advance(3s);
    input->result = host::InputResult::needsAccessibility;
    log->clear();
    unlock("pw");
    EXPECT_EQ(takeNotices(), std::vector{locked(kNeedsTrust)});
    EXPECT_EQ(*log, (Calls{"notice locked", "host.needsAccessibility"}));
    EXPECT_EQ(screen->attempts, 0);
}

// The debug environment's lock screen is typed into without the display's trust.
TEST_F(PauseControlTest, ASimulatedLockNeedsNoTrust) {
    input->result = host::InputResult::needsAccessibility;
    auto simulated = std::make_shared<TypingEnvironment>("pw");
    pause->simulateLock(simulated);
    pause->pollLock();
    EXPECT_TRUE(pause->paused());
    takeNotices();
    unlock("pw");
    EXPECT_EQ(simulated->attempts, 1);
    EXPECT_EQ(screen->attempts, 0);
    EXPECT_FALSE(pause->paused());
    EXPECT_EQ(takeNotices(), std::vector{bare(NoticeKind::unlocked)});
}

TEST_F(PauseControlTest, WithoutALockScreenThereIsNothingToType) {
    screen.reset();
    make();
    display->asleep = true;
    pause->pollDisplaySleep();
    takeNotices();
    unlock("pw");
    EXPECT_TRUE(takeNotices().empty());
}

TEST_F(PauseControlTest, BlackoutCoversWhileASessionIsOnOrAwayButNotWhileLocked) {
    screen->locked = false;
    auto step = [&](const std::function<void()>& change) {
        log->clear();
        change();
        pause->updateBlackout();
        return std::ranges::count(*log, "blackout.on") - std::ranges::count(*log, "blackout.off");
    };
    EXPECT_EQ(step([] {}), 1);
    EXPECT_EQ(step([&] { phase = BlackoutSessionPhase::waitingReturn; }), 0);
    EXPECT_EQ(step([&] { lock(); }), -1);
    EXPECT_EQ(step([&] {
                  screen->locked = false;
                  pause->pollLock();
              }),
              1);
    EXPECT_EQ(step([&] { phase = BlackoutSessionPhase::none; }), -1);

    phase = BlackoutSessionPhase::connected;
    pause->updateBlackout();
    log->clear();
    pause->setBlackoutEnabled(false);
    EXPECT_EQ(*log, Calls{"blackout.off"});
    EXPECT_FALSE(pause->blackoutEnabled());
    EXPECT_EQ(lines.back(), "blackout setting: off");
    log->clear();
    pause->setBlackoutEnabled(true);
    EXPECT_EQ(*log, Calls{"blackout.on"});
}

TEST_F(PauseControlTest, TheStoredPreferenceKeepsTheCoversOff) {
    make(false);
    pause->updateBlackout();
    EXPECT_TRUE(log->empty());
    EXPECT_FALSE(pause->blackoutEnabled());
}

}  // namespace
}  // namespace orvanta::testing
