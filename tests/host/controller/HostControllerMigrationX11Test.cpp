// Window migration through the real adapter: windows of a test process moved onto a virtual
// display of a private X server with openbox and put back.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "host/controller/HostAspectAdapters.h"
#include "host/controller/HostControllerHarness.h"
#include "host/controller/HostDisplayAdapters.h"
#include "platform/x11/X11DisplayAreas.h"
#include "host/controller/WindowMigrationSupport.h"
#include "platform/x11/X11VirtualDisplay.h"
#include "platform/x11/X11WindowSystem.h"
#include "support/FakeIconRenderer.h"
#include "support/TempDir.h"
#include "support/X11TestDesktop.h"
#include "support/X11TestWindows.h"

namespace orvanta::testing {
namespace {

using host::AspectWindow;
using host::Rect;

const Rect kVirtualArea{1920, 0, 1280, 800};
const Rect kFirst{100, 100, 640, 480};
const Rect kSecond{900, 300, 700, 500};

// A private server with openbox, windows of a child process, a virtual display made by the RandR
// backend, and window migration or the whole controller using the real adapter on two manual
// executors.
class MigrationX11Test : public HostControllerTest {
protected:
    // openbox applies moves asynchronously; the manager's frame checks run on a slower clock so
    // that they wait long enough on a loaded machine.
    struct SlowClock final : base::Clock {
        std::uint64_t uptimeMicros() const override { return base::SystemClock::shared().uptimeMicros() / 20; }
    };

    void TearDown() override {
        HostControllerTest::TearDown();
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }

    bool setUpDesktop(const std::string& display) {
        auto system = platform::x11::X11WindowSystem::open(display);
        auto client = X11TestWindows::open(display);
        if (!system || !client) return false;
        windowSystem = std::move(*system);
        windows = std::move(*client);
        manager = std::make_unique<host::WindowManager>(*windowSystem, icons, slowClock,
                                                        [this](std::string_view line) { logs.emplace_back(line); });
        child = fork();
        if (child == 0) {
            for (;;) pause();
        }
        auto areas = platform::x11::X11DisplayAreas::open(display);
        if (!areas) return false;
        aspectWindows = std::make_shared<host::SystemAspectWindows>(*manager, *windowSystem, windowQueue,
                                                                    std::move(*areas), framesFile());
        return true;
    }

    std::filesystem::path arrangementFile() const { return dir.path() / "randr-arrangement-test.json"; }
    std::filesystem::path framesFile() const { return host::aspectFramesFile(arrangementFile()); }

    // A managed window of the child process, moved to `frame`.
    xcb_window_t open(const Rect& frame) {
        TestWindowSpec spec;
        spec.pid = child;
        auto window = windows->create(spec);
        EXPECT_TRUE(windows->waitManaged(window));
        const AspectWindow listed = manager->aspectWindow(window).value();
        auto resolved = manager->resolveAspectWindow(listed, [] { return true; });
        EXPECT_TRUE(std::holds_alternative<host::WindowTarget>(resolved));
        auto moved = manager->applyAspectFrame(std::get<host::WindowTarget>(resolved).axWindow, frame, false, true,
                                               [] { return true; });
        EXPECT_TRUE(moved.matches) << moved.diagnostic;
        return window;
    }
    Rect frameOf(xcb_window_t window) { return manager->aspectWindow(window).value().frame; }

    // Window migration onto the server's virtual display, its windows moved there; display aspect
    // fit reports that display promoted, so the server's layout stays as it is.
    void migrateOnto(std::uint32_t displayID) {
        const auto screens = aspectWindows->physicalScreens();
        ASSERT_FALSE(screens.empty());
        rig = std::make_unique<MigrationRig>(queue, aspectWindows);
        rig->virtualID = displayID;
        rig->physicalID = screens[0].id;
        rig->migration->migrate();
        rig->captureID = displayID;
        rig->migration->migrate();
        for (int step = 0; step < 1000 && rig->application->moving; ++step) runBoth();
        ASSERT_FALSE(rig->application->moving);
    }
    // Display aspect fit over the server's own display system: the sweep promotes a virtual display
    // of `width` x `height` for real, then moves the window first at `frame` onto it. Its frame after.
    Rect promoteAndMigrate(const std::string& display, const Rect& frame, std::int64_t width, std::int64_t height) {
        auto made = platform::x11::X11VirtualDisplayFactory::open(display, arrangementFile());
        auto configuration = platform::x11::X11DisplayConfiguration::open(display);
        EXPECT_TRUE(made && configuration);
        if (!made || !configuration) return {};
        promoting = std::move(*made);
        const auto service = std::make_shared<host::VirtualDisplayService>(
            *promoting, displayQueue, [](std::string_view) {}, [](std::chrono::milliseconds) {});
        fakes.realDisplays =
            std::make_shared<host::SystemHostDisplays>(service, std::move(*configuration), displayQueue);
        const auto window = open(frame);
        const auto id = promoting->create({"ORVANTA-5A51", {width, height}, {{width, height}}, 60});
        EXPECT_TRUE(id) << id.error();
        if (!id) return {};
        auto p = startMigration(*id, 2000);
        EXPECT_TRUE(p.aspectFit().promoted());
        // The window went with its display to the right of the virtual one.
        EXPECT_TRUE(windows->waitUntil([&] { return frameOf(window).x == frame.x + static_cast<double>(width); }))
            << host::formatRect(frameOf(window));
        EXPECT_TRUE(finishMigration(p, *id));
        const auto moved = frameOf(window);
        p.endSession(std::nullopt, "test");
        while (displayQueue.runUntilIdle() + queue.runUntilIdle() > 0) {
        }
        return moved;
    }
    // A session on a new controller with display aspect fit on, and its first migration step to the
    // virtual display `displayID` at `originX` along the top, before capture is on it.
    Probe startMigration(std::uint32_t displayID, std::int32_t originX) {
        fakes.realAspectWindows = aspectWindows;
        create();
        auto p = probe();
        linked = link();
        authenticatedSession(linked);
        p.clientAspectFit() = true;
        p.virtualDisplay() =
            std::make_shared<host::VirtualDisplay>(displayID, host::DisplaySize{}, host::DisplayOrigin{originX, 0});
        p.migrate();
        return p;
    }
    // Capture on `displayID`: the migration's next step, run until no window is moving any more.
    // Whether they all came to rest.
    bool finishMigration(Probe& p, std::uint32_t displayID) {
        p.activeAspectCaptureID() = displayID;
        p.migrate();
        for (int step = 0; step < 1000 && p.aspectApplicationSlot()->moving; ++step) runBoth();
        return !p.aspectApplicationSlot()->moving;
    }
    void runBoth() {
        queue.advance(std::chrono::milliseconds(10));
        windowQueue.advance(std::chrono::milliseconds(10));
        queue.runUntilIdle();
    }

    TempDir dir{"migrate-x11"};
    FakeIconRenderer icons;
    SlowClock slowClock;
    std::unique_ptr<platform::x11::X11WindowSystem> windowSystem;
    std::unique_ptr<X11TestWindows> windows;
    std::unique_ptr<host::WindowManager> manager;
    ManualExecutor windowQueue;
    std::shared_ptr<host::SystemAspectWindows> aspectWindows;
    LinkedConnection linked;
    std::unique_ptr<MigrationRig> rig;  // of migrateOnto
    pid_t child = -1;
    ManualExecutor displayQueue;                                         // "zq2.vdisplay"
    std::unique_ptr<platform::x11::X11VirtualDisplayFactory> promoting;  // of promoteAndMigrate
};

bool onVirtualDisplay(const Rect& frame) { return kVirtualArea.contains(frame.midX(), frame.midY()); }

TEST_F(MigrationX11Test, WindowsGoToTheVirtualDisplayAndComeBackToTheirFrames) {
    ORVANTA_REQUIRE_X11_DESKTOP(1920, 1080, 4096, 2048, true);
    ASSERT_TRUE(setUpDesktop(desktop.server->display()));
    auto factory = platform::x11::X11VirtualDisplayFactory::open(desktop.server->display(), arrangementFile());
    ASSERT_TRUE(factory);
    const auto first = open(kFirst);
    const auto second = open(kSecond);
    const Rect before[] = {frameOf(first), frameOf(second)};
    const auto id = (*factory)->create({"ORVANTA-5A51", {1280, 800}, {{1280, 800}}, 60});
    ASSERT_TRUE(id) << id.error();

    migrateOnto(*id);
    EXPECT_TRUE(onVirtualDisplay(frameOf(first))) << host::formatRect(frameOf(first));
    EXPECT_TRUE(onVirtualDisplay(frameOf(second))) << host::formatRect(frameOf(second));
    EXPECT_EQ(host::readAspectFrames(framesFile()).value().size(), 2u);

    rig->virtualID.reset();
    rig->migration->restore(false);
    const auto& records = rig->migration->records();
    for (int step = 0; step < 1000 && !records.empty(); ++step) runBoth();
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(std::ranges::count_if(
                  rig->logs, [](const auto& l) { return l.starts_with("display aspect fit: restore verified"); }),
              2);
    EXPECT_EQ(frameOf(first), before[0]);
    EXPECT_EQ(frameOf(second), before[1]);
    windowQueue.runUntilIdle();  // where the records' file goes
    EXPECT_FALSE(std::filesystem::exists(framesFile()));
    (*factory)->release(*id);
}

// The worked numbers: a 1000 x 600 window at (100, 100) of a 2000 x 1200 screen goes to
// (128, 133, 1280, 800) of a 2560 x 1600 display; to (60, 160, 600, 960) of a 1200 x 1920 one.
TEST_F(MigrationX11Test, ALandscapeDisplayTakesEachWindowScaledFromItsOwnScreen) {
    ORVANTA_REQUIRE_X11_DESKTOP(2000, 1200, 8192, 4096, true);
    ASSERT_TRUE(setUpDesktop(desktop.server->display()));
    EXPECT_EQ(promoteAndMigrate(desktop.server->display(), {100, 100, 1000, 600}, 2560, 1600),
              (Rect{128, 133, 1280, 800}));
}

TEST_F(MigrationX11Test, APortraitDisplayTakesEachWindowScaledFromItsOwnScreen) {
    ORVANTA_REQUIRE_X11_DESKTOP(2000, 1200, 8192, 4096, true);
    ASSERT_TRUE(setUpDesktop(desktop.server->display()));
    EXPECT_EQ(promoteAndMigrate(desktop.server->display(), {100, 100, 1000, 600}, 1200, 1920),
              (Rect{60, 160, 600, 960}));
}

// The host dies with windows on its virtual display: the next start restores the arrangement,
// then the windows.
TEST_F(MigrationX11Test, AStartAfterACrashPutsMigratedWindowsBack) {
    ORVANTA_REQUIRE_X11_DESKTOP(1920, 1080, 4096, 2048, true);
    ASSERT_TRUE(setUpDesktop(desktop.server->display()));
    const auto first = open(kFirst);
    const auto second = open(kSecond);
    const Rect before[] = {frameOf(first), frameOf(second)};
    const pid_t crashed = fork();
    ASSERT_GE(crashed, 0);
    if (crashed == 0) {
        // Makes the display and dies with it up: no destructor, no release.
        auto made = platform::x11::X11VirtualDisplayFactory::open(desktop.server->display(), arrangementFile());
        _exit(made && (*made)->create({"ORVANTA-5A51", {1280, 800}, {{1280, 800}}, 60}) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(crashed, &status, 0), crashed);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    migrateOnto(desktop.x->atom(platform::kVirtualDisplayMark));
    ASSERT_TRUE(onVirtualDisplay(frameOf(first)));
    rig.reset();  // gone without putting anything back
    ASSERT_TRUE(std::filesystem::exists(framesFile()));

    auto factory = platform::x11::X11VirtualDisplayFactory::open(desktop.server->display(), arrangementFile());
    ASSERT_TRUE(factory);
    EXPECT_EQ((*factory)->recoverAfterCrash(), platform::x11::CrashRecovery::restored);
    std::vector<std::string> lines;
    EXPECT_EQ(host::recoverAspectWindowsAfterCrash(*manager, framesFile(),
                                                   [&](std::string_view line) { lines.emplace_back(line); }),
              2u);
    EXPECT_EQ(frameOf(first), before[0]);
    EXPECT_EQ(frameOf(second), before[1]);
    EXPECT_FALSE(std::filesystem::exists(framesFile()));
    EXPECT_EQ(lines,
              std::vector<std::string>{"display aspect fit: restored 2 of 2 windows left moved by an earlier run"});
}

// The work area the window manager publishes, clipped to each monitor.
TEST_F(MigrationX11Test, VisibleBoundsLeaveOutATopPanel) {
    ORVANTA_REQUIRE_X11_DESKTOP(1920, 1080, 4096, 2048, true);
    ASSERT_TRUE(setUpDesktop(desktop.server->display()));
    auto factory = platform::x11::X11VirtualDisplayFactory::open(desktop.server->display(), arrangementFile());
    ASSERT_TRUE(factory);
    const auto id = (*factory)->create({"ORVANTA-5A51", {1280, 800}, {{1280, 800}}, 60});
    ASSERT_TRUE(id) << id.error();
    MigrationRig migrating{queue, aspectWindows};
    const auto& migration = *migrating.migration;
    const auto screens = aspectWindows->physicalScreens();
    ASSERT_EQ(screens.size(), 1u);
    EXPECT_EQ(screens[0].bounds, (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(aspectWindows->displayArea(*id).value().frame, kVirtualArea);
    EXPECT_EQ(migration.visibleBounds(screens[0].id, true), std::nullopt);

    windows->addTopPanel(1920, 28);
    EXPECT_TRUE(windows->waitUntil([&] { return migration.visibleBounds(screens[0].id, false).has_value(); }));
    EXPECT_EQ(migration.visibleBounds(screens[0].id, false), (Rect{0, 28, 1920, 1052}));
    (*factory)->release(*id);
}

}  // namespace
}  // namespace orvanta::testing
