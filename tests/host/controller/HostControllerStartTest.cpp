// Start-up, the stored defaults, the listener's status and what the controller publishes.
#include <sys/stat.h>

#include <fstream>

#include "HostControllerHarness.h"
#include "support/TempDir.h"

namespace orvanta::testing {
namespace {

using host::ListenState;
using host::StoredHostSettings;

TEST_F(HostControllerTest, StartsOnceAndListensOnLoopback) {
    startListening();
    controller->start();
    drive([] { return true; });
    EXPECT_NE(port, 0);
    EXPECT_EQ(shown().statusText, "待受中（127.0.0.1:8766）");
    // The port it really listens on (ephemeral here).
    EXPECT_EQ(std::ranges::count(logs, "server ready on 127.0.0.1:" + std::to_string(port)), 1);
    // One timer set: a second start would double the housekeeping ticks.
    advance(std::chrono::milliseconds(1000));
    EXPECT_EQ(fakes.sender->stallChecks.size(), 4u);
}

TEST_F(HostControllerTest, ShowsStartingUntilTheListenerAnswers) {
    create();
    EXPECT_EQ(shown().statusText, "起動中");
    EXPECT_EQ(shown().listenState, ListenState::starting);
}

TEST_F(HostControllerTest, ListenerThatCannotStartLeavesTheControllerRunningWithTheFailure) {
    boost::asio::ip::tcp::acceptor taken(transport->context(), {boost::asio::ip::address_v4::loopback(), 0});
    loopbackPort = taken.local_endpoint().port();
    create();
    controller->start();
    ASSERT_TRUE(drive([&] { return shown().listenState == ListenState::failed; }));
    EXPECT_TRUE(shown().statusText.starts_with("待受に失敗: ")) << shown().statusText;
    EXPECT_GT(shown().statusText.size(), std::string_view("待受に失敗: ").size());
    advance(std::chrono::milliseconds(250));
    EXPECT_EQ(fakes.sender->stallChecks.size(), 1u);
}

TEST_F(HostControllerTest, SessionEndKeepsTheListenerFailureOnScreen) {
    boost::asio::ip::tcp::acceptor taken(transport->context(), {boost::asio::ip::address_v4::loopback(), 0});
    loopbackPort = taken.local_endpoint().port();
    create();
    controller->start();
    ASSERT_TRUE(drive([&] { return shown().listenState == ListenState::failed; }));
    const std::string failure = shown().statusText;
    LinkedConnection device = link();
    authenticatedSession(device)->lastPongAt = 0;
    advance(std::chrono::seconds(5));  // the keep-alive ends the silent session
    ASSERT_TRUE(logged("session ended: control timeout"));
    EXPECT_EQ(shown().statusText, failure);
}

struct StoredCase {
    std::string name;
    std::optional<base::SettingsValue> highRes;
    std::optional<base::SettingsValue> blackout;
    bool virtualDisplays;
    bool highResShown, highResOn, blackoutOn;
};

class StoredDefaults : public HostControllerTest, public ::testing::WithParamInterface<StoredCase> {};

TEST_P(StoredDefaults, AreReadAndShown) {
    const auto& c = GetParam();
    if (c.highRes) settings->set(StoredHostSettings::kHighResKey, *c.highRes);
    if (c.blackout) settings->set(StoredHostSettings::kBlackoutKey, *c.blackout);
    fakes.virtualDisplaysAvailable = c.virtualDisplays;
    create();
    EXPECT_EQ(shown().highResEnabled, c.highResShown);
    EXPECT_EQ(shown().highResAvailable, c.virtualDisplays);
    EXPECT_EQ(probe().highResOn(), c.highResOn);
    EXPECT_EQ(shown().blackoutEnabled, c.blackoutOn);
    EXPECT_EQ(probe().blackoutEnabled(), c.blackoutOn);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, StoredDefaults,
    ::testing::Values(StoredCase{"NothingStored", std::nullopt, std::nullopt, false, false, false, true},
                      // Shown on, yet not in force without virtual displays.
                      StoredCase{"HighResWithoutVirtualDisplays", true, false, false, true, false, false},
                      StoredCase{"BothOn", true, true, true, true, true, true},
                      StoredCase{"BlackoutStoredAsNumber", false, base::SettingsValue(std::int64_t{0}), true, false,
                                 false, false}),
    [](const auto& test) { return test.param.name; });

TEST_F(HostControllerTest, RegistryThatFailedToLoadIsLoggedAndItsDevicesKept) {
    secrets->failLoad = -25291;
    create();
    ASSERT_FALSE(logs.empty());
    EXPECT_TRUE(logs.front().starts_with("registry load error: ")) << logs.front();
    EXPECT_TRUE(shown().devices.empty());
}

TEST_F(HostControllerTest, AdvertisesTheStoredNameTrimmedElseTheComputerName) {
    TempDir dir;
    machineInfo = dir.path() / "machine-info";
    std::ofstream(machineInfo) << "ICON_NAME=computer\nPRETTY_HOSTNAME=\"Studio One\"\n";
    const struct {
        std::optional<std::string> stored;
        std::string advertised;
    } cases[] = {{" Living room\n", "Living room"}, {" \n\t", "Studio One"}, {std::nullopt, "Studio One"}};
    for (const auto& c : cases) {
        if (c.stored) {
            settings->set(StoredHostSettings::kDeviceNameKey, *c.stored);
        } else {
            settings->remove(StoredHostSettings::kDeviceNameKey);
        }
        controller.reset();
        startListening();
        ASSERT_TRUE(drive([&] { return !advertiser->published.empty(); }));
        EXPECT_EQ(advertiser->published.back().name, c.advertised);
    }
}

TEST_F(HostControllerTest, PublishesLinksOnlyWhenTheyChange) {
    create();
    auto session = std::make_shared<host::HostController::Session>(nullptr, queue.nowMicros());
    session->deviceId = "dev-1";
    session->route = host::ConnectionRoute::tailscale;
    probe().session() = session;
    const int before = assignments;
    probe().publishLinks();  // not authenticated yet: no entry, the same empty map
    main.runUntilIdle();
    EXPECT_EQ(assignments, before);

    session->authenticated = true;
    probe().publishLinks();
    probe().publishLinks();
    main.runUntilIdle();
    EXPECT_EQ(assignments, before + 1);
    using host::DeviceLink;
    using host::LinkRole;
    EXPECT_EQ(shown().links,
              (std::map<std::string, DeviceLink>{{"dev-1", {LinkRole::main, host::ConnectionRoute::tailscale}}}));

    session->detachedAt = queue.nowMicros();
    probe().controllerSession() = std::make_shared<host::HostController::ControllerSession>(
        host::HostController::ControllerSession{nullptr, "dev-1", host::ConnectionRoute::lan, 0, 0});
    probe().publishLinks();
    main.runUntilIdle();
    EXPECT_EQ(assignments, before + 2);
    // The main session's device keeps its entry; a controller of the same device adds none.
    EXPECT_EQ(shown().links.at("dev-1").role, LinkRole::waitingReturn);
    EXPECT_EQ(shown().links.size(), 1u);
}

TEST_F(HostControllerTest, BlackoutCoversAConnectedSessionAndWaitsForTheRunningCaptureBeforeReveal) {
    create();
    LinkedConnection linked = link();
    authenticatedSession(linked);
    probe().publishLinks();
    EXPECT_EQ(*fakes.log, std::vector<std::string>{"blackout.on"});

    auto capture = std::make_shared<FakeHostCapture>(fakes.log);
    probe().capture() = capture;
    bool revealed = false;
    fakes.blackout->beforeReveal([&] { revealed = true; });
    EXPECT_FALSE(revealed);  // waits for the controller's queue
    queue.runUntilIdle();
    EXPECT_TRUE(revealed);
    EXPECT_EQ(fakes.log->back(), "capture.updateOverlayExclusions");

    capture->display = false;
    revealed = false;
    fakes.blackout->beforeReveal([&] { revealed = true; });
    queue.runUntilIdle();
    EXPECT_TRUE(revealed);
    EXPECT_EQ(std::ranges::count(*fakes.log, "capture.updateOverlayExclusions"), 1);
}

TEST_F(HostControllerTest, SimulatedLockInstallsTheSimulatedEnvironmentOnStart) {
    environment["ZQ2_DEBUG_SIMULATE_LOCK"] = "pässword";
    startListening();
    EXPECT_EQ(fakes.simulatedPasswords, std::vector<std::string>{"pässword"});
    // The lock poll reads the simulated lock screen, which is locked, and not the system's.
    const int reads = fakes.unlock->reads;
    probe().pollLock();
    EXPECT_EQ(fakes.unlock->reads, reads);
    EXPECT_TRUE(probe().paused());
    EXPECT_TRUE(logged("debug simulate-lock enabled (no real keystrokes)"));
}

// A start that meets a main thread already stopped for shutdown goes on without the simulation.
TEST_F(HostControllerTest, SimulatedLockIsSkippedWhenTheMainThreadHasStopped) {
    environment["ZQ2_DEBUG_SIMULATE_LOCK"] = "pässword";
    create();
    main.stop();
    controller->start();
    EXPECT_NO_THROW(queue.runUntilIdle());
    const int reads = fakes.unlock->reads;
    probe().pollLock();
    EXPECT_EQ(fakes.unlock->reads, reads + 1);
    EXPECT_FALSE(probe().timers().empty());
}

TEST_F(HostControllerTest, DebugPairingCodeFileIsPrivateAndReportedOnlyWhenWritten) {
    TempDir dir;
    const auto path = dir.path() / "code.txt";
    std::ofstream(path) << "stale";
    ::chmod(path.c_str(), 0644);
    environment["ZQ2_DEBUG_PAIR_FILE"] = path.string();
    startListening();
    std::ifstream written(path);
    std::string text((std::istreambuf_iterator<char>(written)), {});
    EXPECT_FALSE(shown().codeText);  // written, not shown
    EXPECT_EQ(pair(pairBody(text, "dev-1")).status, "200 OK");  // the active code
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(logged("debug pairing code written to file"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // no temporary left

    controller.reset();
    logs.clear();
    environment["ZQ2_DEBUG_PAIR_FILE"] = (dir.path() / "missing" / "code.txt").string();
    startListening();
    EXPECT_FALSE(logged("debug pairing code written to file"));
    EXPECT_TRUE(std::ranges::any_of(
        logs, [](const std::string& line) { return line.starts_with("debug pairing code not written: "); }));
}

TEST_F(HostControllerTest, DiagnosticsRunOnlyWhenTheEnvironmentAsksForThem) {
    const auto diagnostics = [&] {
        return std::ranges::count_if(*fakes.log, [](const std::string& line) {
            return line.starts_with("blackoutSnapshot") || line == "dualCaptureTest";
        });
    };
    environment["ZQ2_DEBUG_BLACKOUT_SHOT"] = "";
    environment["ZQ2_DUAL_TEST"] = "yes";
    startListening();
    EXPECT_EQ(diagnostics(), 0);
    EXPECT_FALSE(logged("debug blackout snapshot enabled"));

    controller.reset();
    fakes.log->clear();
    environment["ZQ2_DEBUG_BLACKOUT_SHOT"] = "/tmp/shot";
    environment["ZQ2_DUAL_TEST"] = "1";
    TempDir dir;
    environment["ZQ2_DEBUG_PAIR_FILE"] = (dir.path() / "code.txt").string();
    create();
    EXPECT_EQ(std::ranges::count(*fakes.log, "blackoutSnapshot /tmp/shot"), 1);
    EXPECT_TRUE(logged("debug blackout snapshot enabled"));
    controller->start();
    ASSERT_TRUE(drive([&] { return shown().listenState == host::ListenState::ready; }));
    fakes.media->encoderQueue.runUntilIdle();
    EXPECT_TRUE(logged("debug pairing code written to file"));
    EXPECT_EQ(std::ranges::count(*fakes.log, "dualCaptureTest"), 1);
    EXPECT_EQ(std::ranges::count(*fakes.log, "dual test: no display"), 1);
}

}  // namespace
}  // namespace orvanta::testing
