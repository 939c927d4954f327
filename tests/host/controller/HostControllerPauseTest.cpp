#include <gtest/gtest.h>

#include "HostControllerHarness.h"
#include "support/FakeSessionState.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;
using host::ConnectionRoute;
using protocol::ControlMessage;

class HostPauseTest : public HostControllerTest {
protected:
    void settle() {
        drive([&] { return queue.runUntilIdle() + main.runUntilIdle() + utility.runUntilIdle() == 0; });
    }

    std::optional<base::Json> notice(LinkedConnection& device) { return device.nextText("notice"); }
    static base::Json locked(const std::string& message) {
        return {{"type", "notice"}, {"kind", "locked"}, {"message", message}};
    }
    static base::Json bare(const char* kind) { return {{"type", "notice"}, {"kind", kind}}; }
};

TEST_F(HostPauseTest, PausingStopsInputAndPipelineInOrderAndResumingTellsTheDevice) {
    auto display = std::make_shared<FakeSessionState>();
    controlFakes.displaySleep = display;
    create();
    LinkedConnection device = link();
    authenticatedSession(device);
    probe().capture() = std::make_shared<FakeHostCapture>(fakes.log);
    probe().encoder() = std::make_shared<FakeHostEncoder>(fakes.log);
    lockScreen(true);
    display->asleep = true;  // a second reason to pause changes nothing
    probe().pollDisplaySleep();
    EXPECT_EQ(*fakes.log, (std::vector<std::string>{"input.releaseAll", "capture.stop", "encoder.invalidate"}));
    EXPECT_EQ(notice(device), bare("locked"));
    display->asleep = false;
    probe().pollDisplaySleep();
    lockScreen(false);
    EXPECT_EQ(notice(device), bare("unlocked"));
    EXPECT_EQ(logs, (std::vector<std::string>{"paused (lock or display sleep)", "resumed"}));
}

TEST_F(HostPauseTest, DisplaySleepPausesAndWakeResumesWhenUnlocked) {
    auto display = std::make_shared<FakeSessionState>();
    controlFakes.displaySleep = display;
    startListening();
    LinkedConnection device = link();
    authenticatedSession(device);
    display->asleep = true;
    advance(1s);
    EXPECT_TRUE(probe().paused());
    EXPECT_EQ(notice(device), bare("locked"));
    display->asleep = std::nullopt;  // unknown changes nothing
    advance(1s);
    EXPECT_TRUE(probe().paused());
    display->asleep = false;
    advance(1s);
    EXPECT_FALSE(probe().paused());
    EXPECT_EQ(notice(device), bare("unlocked"));
}

// The typing itself, its spacing and its back-off are PauseControl's; here the request's way
// there and the notices' way back.
TEST_F(HostPauseTest, UnlockRequestsReachThePauseOnlyFromALocalRoute) {
    create();
    LinkedConnection device = link();
    auto session = authenticatedSession(device);
    auto unlock = [&](const std::string& password) {
        controller->handleControlText(ControlMessage(protocol::UnlockRequest{password}).jsonString().value(), session);
        settle();
    };
    session->route = ConnectionRoute::lan;
    unlock("pw");
    session->route = ConnectionRoute::local;
    unlock("pw");  // not paused: nothing to unlock
    EXPECT_EQ(notice(device), bare("unlocked"));  // the first notice: the LAN request had none

    lockScreen(true);
    EXPECT_EQ(notice(device), bare("locked"));
    fakes.input->result = host::InputResult::needsAccessibility;  // the system's lock screen needs trust
    unlock("pw");
    EXPECT_EQ(notice(device), locked("ロック解除には Mac の「アクセシビリティ」で Orvanta の許可が必要です。"));
    EXPECT_EQ(notice(device), bare("accessibilityNeeded"));
}

// The covers' rule is PauseControl's; here the session's phase and the preference reach it.
TEST_F(HostPauseTest, BlackoutFollowsTheSessionAndTheUsersPreference) {
    create();
    LinkedConnection device = link();
    auto session = authenticatedSession(device);
    auto step = [&](const std::function<void()>& change) {
        fakes.log->clear();
        change();
        probe().publishLinks();
        return *fakes.log;
    };
    using Calls = std::vector<std::string>;
    EXPECT_EQ(step([] {}), Calls{"blackout.on"});
    EXPECT_EQ(step([&] { session->detachedAt = 0; }), Calls{});
    EXPECT_EQ(step([&] { probe().session().reset(); }), Calls{"blackout.off"});

    authenticatedSession(device);
    probe().publishLinks();
    fakes.log->clear();
    controller->setBlackout(false);
    settle();
    EXPECT_EQ(*fakes.log, Calls{"blackout.off"});
    EXPECT_FALSE(shown().blackoutEnabled);
    EXPECT_EQ(settings->boolean(host::StoredHostSettings::kBlackoutKey), false);
    EXPECT_TRUE(logged("blackout setting: off"));
}

TEST_F(HostPauseTest, RevokingClosesEveryConnectionOfTheDeviceWithItsCode) {
    create();
    const auto token = registry->registerDevice("dev-1", "Tab").value();
    registry->registerDevice("dev-2", "Phone").value();
    LinkedConnection control = link();
    LinkedConnection video = link();
    LinkedConnection clipboard = link();
    LinkedConnection controller2 = link();
    LinkedConnection waiter = link();
    LinkedConnection otherClipboard = link();
    auto session = authenticatedSession(control);
    session->video = video.connection;
    controllerSession(controller2, "dev-1");
    probe().busyWaiter() = std::make_shared<host::HostController::BusyWaiter>(host::HostController::BusyWaiter{
        waiter.connection, ConnectionRoute::local, std::nullopt, registry->devices()[0]});
    controller->acceptClipboard(clipboard.connection,
                                {{"type", "hello"}, {"purpose", "clipboard"}, {"token", token}, {"deviceId", "dev-1"}},
                                ConnectionRoute::local);
    const auto token2 = registry->registerDevice("dev-2", "Phone").value();
    controller->acceptClipboard(otherClipboard.connection,
                                {{"type", "hello"}, {"purpose", "clipboard"}, {"token", token2}, {"deviceId", "dev-2"}},
                                ConnectionRoute::local);
    settle();
    ASSERT_EQ(controlFakes.clipboard->peers.size(), 2u);

    std::optional<bool> result;
    controller->revoke("dev-1", [&](bool done) { result = done; });
    settle();
    EXPECT_EQ(result, true);
    const std::pair<int, std::string> revoked{4005, "revoked"};
    EXPECT_EQ(control.nextClose(), revoked);
    EXPECT_EQ(video.nextClose(), revoked);
    EXPECT_EQ(clipboard.nextClose(), revoked);
    EXPECT_EQ(waiter.nextClose(), revoked);
    EXPECT_EQ(controller2.nextClose()->first, 1001);  // ended with the main session, before its own turn
    EXPECT_FALSE(probe().session());
    EXPECT_FALSE(probe().busyWaiter());
    EXPECT_EQ(controlFakes.clipboard->peers.size(), 1u);
    EXPECT_FALSE(otherClipboard.connection->isClosing());
    EXPECT_FALSE(registry->authenticate(token, "dev-1"));
    EXPECT_TRUE(logged("revoked dev-1"));
}

TEST_F(HostPauseTest, AFailedRevocationLeavesTheConnections) {
    create();
    registry->registerDevice("dev-1", "Tab").value();
    LinkedConnection control = link();
    authenticatedSession(control);
    secrets->failSave = -1;
    std::optional<bool> result;
    controller->revoke("dev-1", [&](bool done) { result = done; });
    settle();
    EXPECT_EQ(result, false);
    EXPECT_TRUE(probe().session());
    EXPECT_FALSE(control.connection->isClosing());
    EXPECT_TRUE(std::ranges::any_of(logs, [](const std::string& line) { return line.starts_with("revoke failed: "); }));
}

}  // namespace
}  // namespace orvanta::testing
