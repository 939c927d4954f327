#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "HostControllerHarness.h"
#include "HostControllerHelloSupport.h"
#include "host/controller/HostDisplayAdapters.h"
#include "support/TempDir.h"
#include "support/X11TestDesktop.h"
#include "support/XorgDummyFixture.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;
using host::DisplayOrigins;
using host::DisplaySize;
using host::PixelSize;
using host::VirtualDisplayPurpose;
using protocol::DisplayAspectFitRequest;

constexpr std::chrono::microseconds kSettle = 1200ms;
constexpr std::chrono::microseconds kCheckStep = 200ms;

class HostAspectTest : public HostControllerTest {
protected:
    void SetUp() override {
        create();
        device = link();
        session = authenticatedSession(device);
        session->viewportWidth = 1920;
        session->viewportHeight = 1080;
    }

    FakeHostDisplays& displays() { return *fakes.displays; }

    host::DisplayAspectFit& aspect() { return probe().aspectFit(); }
    void request(bool active) { aspect().request(DisplayAspectFitRequest{active, 1920, 1080, std::nullopt}, *session); }
    void viewport(std::int64_t width, std::int64_t height) { aspect().viewportUpdate({width, height}, *session); }

    // Runs the display queue and the controller's queue until both are idle.
    void drain() {
        while (displays().queue.runUntilIdle() + queue.runUntilIdle() > 0) {
        }
    }
    void pass(std::chrono::microseconds delta) {
        advance(delta);
        drain();
    }

    std::size_t count(std::string_view prefix) const {
        return std::ranges::count_if(*fakes.log,
                                     [prefix](const std::string& line) { return line.starts_with(prefix); });
    }

    // Display aspect fit on, settled and its virtual display adopted; the window sweep that
    // adoption starts promotes it.
    void adoptAspectDisplay() {
        request(true);
        pass(kSettle);
        ASSERT_TRUE(aspect().virtualDisplay());
        ASSERT_TRUE(aspect().promoted());
    }

    LinkedConnection device;
    std::shared_ptr<host::HostController::Session> session;
};

TEST_F(HostAspectTest, ArrangementChangesRestartTheWholeDisplayPipelineUnlessAWindowIsFitted) {
    for (const bool fitted : {false, true}) {
        SCOPED_TRACE(fitted ? "window fit" : "whole display");
        adoptAspectDisplay();
        session->video = device.connection;
        probe().capture() = std::make_shared<FakeHostCapture>(fakes.log);
        if (fitted) probe().windowFit() = host::WindowFit{};
        fakes.log->clear();
        aspect().demote();
        queue.runUntilIdle();
        EXPECT_EQ(logged("pipeline restart after display arrangement change (demotion)"), !fitted);
        EXPECT_EQ(count("capture.stop"), fitted ? 0u : 1u);
        probe().windowFit().reset();
        probe().capture().reset();
        session->video.reset();
        request(false);
        pass(5s);
        logs.clear();
    }
}

// A lock while the old display's release is being verified cancels nothing that is owed: the
// unlock brings the new size.
TEST_F(HostAspectTest, ALockDuringAReplacementKeepsTheRefitForTheUnlock) {
    adoptAspectDisplay();
    viewport(1600, 1000);
    advance(kSettle);
    ASSERT_TRUE(aspect().restorePending());
    lockScreen(true);
    drain();
    EXPECT_FALSE(aspect().restorePending());
    EXPECT_FALSE(aspect().virtualDisplay());  // nothing is made while locked
    lockScreen(false);
    pass(kSettle);
    ASSERT_TRUE(aspect().virtualDisplay());
    EXPECT_EQ(aspect().virtualDisplay()->size.outputPixels, (PixelSize{1600, 1000}));
}

TEST_F(HostAspectTest, EndingTheSessionReleasesButAHighResDetachKeepsTheDisplay) {
    adoptAspectDisplay();
    probe().endSession(std::nullopt, "test");
    EXPECT_TRUE(logged("virtual display: destroying id=100 (session ended)"));
    EXPECT_FALSE(aspect().on());
    EXPECT_EQ(aspect().scale(), 1.0);
    drain();
    EXPECT_EQ(displays().released, std::vector<std::uint32_t>{100});

    LinkedConnection next = link();
    session = authenticatedSession(next);
    session->viewportWidth = 1920;
    session->viewportHeight = 1080;
    probe().highResMode() = true;
    probe().windowFit() = host::WindowFit{};
    ASSERT_TRUE(aspect().ensureVirtualDisplay(VirtualDisplayPurpose::highRes, 1920, 1080));
    drain();
    ASSERT_TRUE(aspect().virtualDisplay());
    probe().detachSession();
    drain();
    EXPECT_TRUE(aspect().virtualDisplay());
}

TEST_F(HostAspectTest, APauseDefersTheFitUntilResume) {
    request(true);
    pass(1s);
    lockScreen(true);
    EXPECT_FALSE(aspect().updateScheduled());
    EXPECT_TRUE(session->viewportChangedWhilePaused);
    viewport(1600, 900);
    pass(5s);
    EXPECT_EQ(count("displays.create"), 0u);
    lockScreen(false);
    pass(kSettle);
    ASSERT_TRUE(aspect().virtualDisplay());
    EXPECT_EQ(aspect().virtualDisplay()->size.outputPixels, (PixelSize{1600, 900}));
}

TEST_F(HostAspectTest, ADetachReleasesTheAspectDisplay) {
    adoptAspectDisplay();
    probe().detachSession();
    EXPECT_TRUE(logged("virtual display: destroying id=100 (detached)"));
    drain();
    EXPECT_EQ(displays().released, std::vector<std::uint32_t>{100});
}

class HostAspectHelloTest : public HostHelloTest {};

// A device that comes back with display aspect fit on gets its fit again, and the arrangement
// restored later is the one from when it connected, not one the user changed since.
TEST_F(HostAspectHelloTest, AHelloSnapshotsTheArrangementAndResumesTheFit) {
    fakes.displays->displays.push_back({2, {1728, 0, 1920, 1080}, {1920, 1080}, false});
    probe().clientAspectFit() = true;
    auto device = mainSession();
    EXPECT_TRUE(probe().aspectFit().updateScheduled());
    fakes.displays->find(2)->bounds.y = 500;
    advance(kSettle);
    while (fakes.displays->queue.runUntilIdle() + queue.runUntilIdle() > 0) {
    }
    ASSERT_TRUE(probe().aspectFit().virtualDisplay());
    EXPECT_EQ(probe().aspectFit().savedOrigin(1), (platform::Point{0, 0}));
    EXPECT_EQ(probe().aspectFit().savedOrigin(2), (platform::Point{1728, 0}));
}

// A Windows client's display is shaped to its screen: a resume from the same screen keeps it, one
// from another screen releases it and makes it anew for the fitted window.
TEST_F(HostAspectHelloTest, AWindowsResumeKeepsTheDisplayOnlyForTheSameScreen) {
    const auto settle = [&] {
        while (fakes.displays->queue.runUntilIdle() + queue.runUntilIdle() > 0) {
        }
    };
    for (const bool sameScreen : {true, false}) {
        SCOPED_TRACE(sameScreen ? "same screen" : "another screen");
        auto device = open(windowsHello(tokenA, {1920, 1080}));
        ASSERT_TRUE(await([&] { return device->nextText("welcome"); }));
        probe().highResMode() = true;
        probe().windowFit() = host::WindowFit{};
        ASSERT_TRUE(probe().aspectFit().ensureVirtualDisplay(
            VirtualDisplayPurpose::highRes, probe().session()->viewportWidth, probe().session()->viewportHeight));
        settle();
        const auto made = probe().aspectFit().virtualDisplay();
        ASSERT_TRUE(made);
        logs.clear();

        auto again =
            open(windowsHello(tokenA, sameScreen ? protocol::Viewport{1920, 1080} : protocol::Viewport{2560, 1440}));
        ASSERT_TRUE(await([&] { return again->nextText("welcome"); }));
        const bool destroyed = logged("virtual display: destroying id=" + std::to_string(made->displayID) +
                                      " (primary screenPixels changed)");
        EXPECT_EQ(destroyed, !sameScreen);
        EXPECT_EQ(probe().session()->recreateWindowDisplayOnResume, !sameScreen);
        settle();
        ASSERT_TRUE(probe().aspectFit().virtualDisplay());
        EXPECT_EQ(probe().aspectFit().virtualDisplay() == made, sameScreen);
        EXPECT_FALSE(probe().session()->recreateWindowDisplayOnResume);

        probe().windowFit().reset();
        probe().endSession(std::nullopt, "next");
        settle();
    }
}

// The controller over the real display adapter and RandR, on a server of the test's own.
class HostAspectX11Test : public HostControllerTest {
protected:
    void TearDown() override {
        HostControllerTest::TearDown();
        displayQueue.stop();
    }

    // Connects the adapter to the server, then runs a session through display aspect fit.
    void runAspectSession(const std::string& display, platform::x11::VirtualDisplayStrategy expected) {
        auto x = platform::x11::XConnection::open(display);
        ASSERT_TRUE(x) << x.error();
        auto configuration = platform::x11::X11DisplayConfiguration::open(display);
        ASSERT_TRUE(configuration) << configuration.error();
        auto factory = platform::x11::X11VirtualDisplayFactory::open(display, dir.path() / "randr.json");
        ASSERT_TRUE(factory) << factory.error();
        ASSERT_EQ((*factory)->strategy(), expected);
        std::shared_ptr<platform::DisplayConfiguration> arrangement = std::move(*configuration);
        const auto service = std::make_shared<host::VirtualDisplayService>(
            **factory, displayQueue, [](std::string_view) {}, [](std::chrono::milliseconds) {});
        fakes.realDisplays = std::make_shared<host::SystemHostDisplays>(service, arrangement, displayQueue);
        const auto before = platform::x11::readArrangement(**x);
        ASSERT_TRUE(before);
        const std::uint32_t physical = arrangement->mainDisplay();
        const auto bounds = [&](std::uint32_t id) {
            for (const auto& d : arrangement->activeDisplays()) {
                if (d.id == id) return std::optional(d.bounds);
            }
            return std::optional<platform::DisplayBounds>();
        };
        const auto physicalBounds = bounds(physical);
        ASSERT_TRUE(physicalBounds);

        create();
        LinkedConnection device = link();
        auto session = authenticatedSession(device);
        host::DisplayAspectFit& aspect = probe().aspectFit();
        aspect.request(DisplayAspectFitRequest{true, 1280, 800, 2.0}, *session);
        advance(kSettle);
        while (displayQueue.runUntilIdle() + queue.runUntilIdle() > 0) {
        }
        const auto made = aspect.virtualDisplay();
        ASSERT_TRUE(made);
        EXPECT_EQ(made->size.pixels, (PixelSize{1280, 800}));

        // The window sweep that adoption starts has made the virtual display main.
        EXPECT_TRUE(aspect.promoted());
        EXPECT_EQ(arrangement->mainDisplay(), made->displayID);
        EXPECT_EQ(bounds(made->displayID), (platform::DisplayBounds{0, 0, 1280, 800}));
        EXPECT_EQ(bounds(physical), (platform::DisplayBounds{1280, 0, physicalBounds->width, physicalBounds->height}));
        EXPECT_EQ(aspect.physicalCaptureDisplayID(), physical);

        // Demotion puts the display back where it was made, right of the physical one.
        aspect.demote();
        EXPECT_EQ(arrangement->mainDisplay(), physical);
        EXPECT_EQ(bounds(physical), physicalBounds);
        EXPECT_EQ(bounds(made->displayID),
                  (platform::DisplayBounds{static_cast<std::int32_t>(physicalBounds->width), 0, 1280, 800}));

        ASSERT_TRUE(aspect.promote());
        EXPECT_EQ(arrangement->mainDisplay(), made->displayID);
        probe().endSession(std::nullopt, "test");
        while (displayQueue.runUntilIdle() + queue.runUntilIdle() > 0) {
        }
        EXPECT_TRUE(
            logged("display aspect fit: post-release arrangement restored=true main=" + std::to_string(physical) +
                   " expected=Optional(" + std::to_string(physical) + ") surviving origins=1/1 virtual active=false"));
        EXPECT_EQ(platform::x11::readArrangement(**x), before);
        EXPECT_EQ(arrangement->mainDisplay(), physical);
        EXPECT_FALSE(aspect.restorePending());
    }

    testing::TempDir dir;
    ManualExecutor displayQueue;  // "zq2.vdisplay"
};

TEST_F(HostAspectX11Test, AnAspectSessionSpansAHeadlessServerAndLeavesItAsItWas) {
    auto desktop = X11TestDesktop::start();
    if (!desktop) return skipOrFailWithoutService("Xvfb: " + desktop.error());
    runAspectSession(desktop->server->display(), platform::x11::VirtualDisplayStrategy::span);
}

TEST_F(HostAspectX11Test, AnAspectSessionUsesASpareOutputAndLeavesItAsItWas) {
    if (!XorgDummyServer::runnable()) GTEST_SKIP() << "Xorg with the dummy driver needs root";
    auto server = XorgDummyServer::start();
    if (!server) return skipOrFailWithoutService(server.error());
    runAspectSession((*server)->display(), platform::x11::VirtualDisplayStrategy::spareOutput);
}

}  // namespace
}  // namespace orvanta::testing
