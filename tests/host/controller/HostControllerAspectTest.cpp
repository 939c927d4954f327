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

    void request(bool active, std::int64_t width = 1920, std::int64_t height = 1080,
                 std::optional<double> scale = std::nullopt) {
        probe().applyClientAspectFit(DisplayAspectFitRequest{active, width, height, scale});
    }

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
    bool loggedPrefix(std::string_view prefix) const {
        return std::ranges::any_of(logs, [prefix](const std::string& line) { return line.starts_with(prefix); });
    }

    // Display aspect fit on, settled and its virtual display adopted.
    void adoptAspectDisplay() {
        request(true);
        pass(kSettle);
        ASSERT_TRUE(probe().virtualDisplay());
    }
    // The adopted display as a failed or undone promotion leaves it: the window sweep that adoption
    // starts promotes at once, so it is demoted again and the record of it dropped.
    void adoptUnpromotedAspectDisplay() {
        adoptAspectDisplay();
        probe().demoteVirtualDisplayFromMain();
        ASSERT_FALSE(probe().aspectPromoted());
        ASSERT_EQ(displays().mainDisplayID(), 1u);
        logs.clear();
        fakes.log->clear();
    }

    LinkedConnection device;
    std::shared_ptr<host::HostController::Session> session;
};

TEST_F(HostAspectTest, RequestsKeepOnlyUsableViewportsAndScales) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::int64_t width, height;
        std::optional<double> scale;
        int expectedWidth, expectedHeight;
        double expectedScale;
    };
    const Case cases[] = {
        {1280, 800, std::nullopt, 1280, 800, 1.0}, {1280, 800, inf, 1280, 800, 1.0},
        {1280, 800, std::nan(""), 1280, 800, 1.0}, {1280, 800, 0.05, 1280, 800, 0.1},
        {1280, 800, 3.0, 1280, 800, 2.0},          {0, 800, 0.5, 1920, 1080, 0.5},
        {40000, 800, 1.5, 1920, 1080, 1.5},        {32768, 1, 1.0, 32768, 1, 1.0},
    };
    for (const auto& c : cases) {
        session->viewportWidth = 1920;
        session->viewportHeight = 1080;
        request(true, c.width, c.height, c.scale);
        EXPECT_EQ(session->viewportWidth, c.expectedWidth) << c.width << "x" << c.height;
        EXPECT_EQ(session->viewportHeight, c.expectedHeight) << c.width << "x" << c.height;
        EXPECT_EQ(probe().clientAspectScale(), c.expectedScale) << c.scale.value_or(-1);
        request(false);
    }

    probe().applyViewportUpdate({0, 10});
    probe().applyViewportUpdate({10, 32769});
    EXPECT_TRUE(logged("viewport update ignored: 0x10"));
    EXPECT_TRUE(logged("viewport update ignored: 10x32769"));
    EXPECT_EQ(session->viewportWidth, 1920);
}

TEST_F(HostAspectTest, RequestsFromAnotherOrDetachedSessionAreIgnored) {
    auto other = std::make_shared<host::HostController::Session>(device.connection, 0);
    probe().session() = other;
    other->detachedAt = 1;
    request(true);
    EXPECT_FALSE(probe().clientAspectFit());
    EXPECT_FALSE(probe().aspectUpdateScheduled());
}

TEST_F(HostAspectTest, ViewportChangesSettleIntoOneFitAfterTheLast) {
    request(true);
    for (int width : {1600, 1500, 1280}) {
        pass(500ms);
        probe().applyViewportUpdate({width, 720});
    }
    pass(1199ms);
    EXPECT_EQ(count("displays.create"), 0u);
    pass(1ms);
    EXPECT_EQ(count("displays.create"), 1u);
    ASSERT_TRUE(probe().virtualDisplay());
    EXPECT_EQ(probe().virtualDisplay()->size.outputPixels, (PixelSize{1280, 720}));
    EXPECT_TRUE(logged("display aspect fit: applying virtual display id=100 after attempt 1"));
}

TEST_F(HostAspectTest, RepeatingAnOnRequestOnlyActsWhenTheDisplayWasLost) {
    adoptAspectDisplay();
    request(true);
    EXPECT_FALSE(probe().aspectUpdateScheduled());
    probe().virtualDisplay().reset();
    request(true);
    EXPECT_TRUE(probe().aspectUpdateScheduled());
}

TEST_F(HostAspectTest, TurningOffWithNothingCreatedKeepsTheArrangement) {
    request(true);
    request(false);
    pass(5s);
    EXPECT_TRUE(logged("display aspect fit: no virtual display to destroy, physical arrangement retained"));
    EXPECT_EQ(count("displays."), 0u);
    EXPECT_FALSE(probe().displayRestorePending());
}

TEST_F(HostAspectTest, AWindowFitKeepsDisplayAspectFitFromMakingADisplay) {
    probe().windowFit() = host::WindowFit{};
    request(true, 1280, 800, 1.5);
    pass(5s);
    EXPECT_FALSE(probe().aspectUpdateScheduled());
    EXPECT_EQ(count("displays.create"), 0u);
}

TEST_F(HostAspectTest, AScaleThatGivesTheSameSizeKeepsTheDisplay) {
    request(true, 1920, 1080, 2.0);
    pass(kSettle);
    const auto first = probe().virtualDisplay();
    ASSERT_TRUE(first);
    request(true, 1920, 1080, 1.999);
    pass(kSettle);
    EXPECT_EQ(probe().virtualDisplay(), first);
    EXPECT_EQ(count("displays.create"), 1u);
    EXPECT_EQ(count("displays.release"), 0u);
}

TEST_F(HostAspectTest, SizesTheDisplayForEachPurpose) {
    struct Case {
        const char* name;
        VirtualDisplayPurpose purpose;
        double scale;
        int viewportWidth, viewportHeight;
        std::optional<std::pair<int, int>> minimum;
        std::optional<DisplaySize> expected;
    };
    const Case cases[] = {
        // The doubled 5120 x 3308 would exceed 4096 wide: one-to-one pixels.
        {"high-res", VirtualDisplayPurpose::highRes, 1.0, 1920, 1080, std::nullopt,
         DisplaySize{{2560, 1654}, false, {2560, 1654}, std::nullopt}},
        {"high-res with minimum", VirtualDisplayPurpose::highRes, 1.0, 1920, 1080, std::pair{3000, 1000},
         host::VirtualDisplay::aspectDisplaySize(2560, 1654, 2.0, PixelSize{3000, 1000})},
        {"window fit", VirtualDisplayPurpose::windowFit, 1.0, 1000, 800, std::nullopt,
         DisplaySize{{3000, 2400}, true, {3000, 2400}, std::nullopt}},
        {"aspect at scale 2", VirtualDisplayPurpose::aspectFit, 2.0, 1920, 1080, std::nullopt,
         DisplaySize{{1920, 1080}, true, {3840, 2160}, PixelSize{1920, 1080}}},
        {"aspect at scale 1", VirtualDisplayPurpose::aspectFit, 1.0, 1920, 1080, std::nullopt,
         DisplaySize{{2254, 1268}, true, {3840, 2160}, PixelSize{1920, 1080}}},
        {"aspect with minimum", VirtualDisplayPurpose::aspectFit, 1.0, 1280, 800, std::pair{1920, 1200},
         DisplaySize{{2244, 1404}, true, {3760, 2350}, PixelSize{1920, 1200}}},
        {"aspect without viewport", VirtualDisplayPurpose::aspectFit, 1.0, 0, 0, std::nullopt, std::nullopt},
        {"aspect from minimum alone", VirtualDisplayPurpose::aspectFit, 1.0, 0, 0, std::pair{1920, 1200},
         host::VirtualDisplay::aspectDisplaySize(1920, 1200, 1.0, PixelSize{1920, 1200})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        request(true, 1920, 1080, c.scale);
        session->viewportWidth = c.viewportWidth;
        session->viewportHeight = c.viewportHeight;
        session->windowsScreenPixels = c.minimum;
        EXPECT_EQ(probe().ensureVirtualDisplay(c.purpose), c.expected.has_value());
        drain();
        if (c.expected) {
            ASSERT_TRUE(probe().virtualDisplay());
            EXPECT_EQ(probe().virtualDisplay()->size, *c.expected);
        } else {
            EXPECT_TRUE(logged("virtual display: no viewport, using main display"));
        }
        request(false);
        pass(5s);
        ASSERT_FALSE(probe().virtualDisplay());
        ASSERT_FALSE(probe().displayRestorePending());
    }
}

TEST_F(HostAspectTest, WithoutVirtualDisplaysTheFitCarriesOnPhysically) {
    displays().available = false;
    request(true);
    pass(kSettle);
    EXPECT_FALSE(probe().virtualDisplay());
    EXPECT_TRUE(logged("display aspect fit: virtual display unavailable (API or viewport), using physical capture"));
    EXPECT_EQ(count("displays."), 0u);
}

TEST_F(HostAspectTest, FailedCreationsRetryThreeTimesThenCarryOnPhysically) {
    displays().createResults = {false, false, false, false};
    request(true);
    pass(kSettle);
    EXPECT_EQ(count("displays.create"), 1u);
    for (int retry = 1; retry <= 3; ++retry) {
        EXPECT_TRUE(logged("virtual display: creation failed, retry " + std::to_string(retry) + "/3"));
        pass(399ms);
        EXPECT_EQ(count("displays.create"), static_cast<std::size_t>(retry));
        pass(1ms);
        EXPECT_EQ(count("displays.create"), static_cast<std::size_t>(retry + 1));
    }
    EXPECT_TRUE(logged("virtual display: destroying id=pending (creation failed, continuing with physical display)"));
    EXPECT_FALSE(probe().virtualDisplayPending());
    EXPECT_FALSE(probe().displayRestorePending());
    EXPECT_FALSE(probe().aspectPhysicalMainID());
}

TEST_F(HostAspectTest, ACreationThatTakesTooLongIsAbandonedBeforeItStarts) {
    request(true);
    advance(kSettle);
    ASSERT_TRUE(probe().virtualDisplayPending());
    advance(3s);  // the display queue is busy elsewhere meanwhile
    EXPECT_TRUE(
        logged("virtual display: destroying id=pending (creation timed out, continuing with physical display)"));
    EXPECT_FALSE(probe().virtualDisplayPending());
    drain();
    EXPECT_EQ(count("displays.create"), 0u);
}

TEST_F(HostAspectTest, ALateDisplayNobodyWantsIsReleased) {
    struct Case {
        const char* name;
        bool newSettle;  // a viewport change restarted the settle: released directly
    };
    for (const Case c : {Case{"turned off", false}, Case{"new settle", true}}) {
        SCOPED_TRACE(c.name);
        logs.clear();
        fakes.log->clear();
        request(true);
        advance(kSettle);
        displays().queue.runUntilIdle();  // made; its result waits on the controller's queue
        if (c.newSettle) {
            probe().applyViewportUpdate({1600, 900});
        } else {
            request(false);
        }
        drain();
        EXPECT_FALSE(probe().virtualDisplay());
        EXPECT_EQ(count("displays.release"), 1u);
        EXPECT_EQ(loggedPrefix("virtual display: destroying id=1"), !c.newSettle);
        request(false);
        pass(5s);
    }
}

TEST_F(HostAspectTest, ReleaseRestoresWindowsPointsInputHomeAndVerifiesBehindTheRelease) {
    adoptAspectDisplay();
    fakes.input->inputMapping.displayID = 100;
    request(false);
    EXPECT_TRUE(logged("virtual display: destroying id=100 (display aspect fit off)"));
    EXPECT_EQ(fakes.input->inputMapping.displayID, 1u);
    EXPECT_FALSE(probe().virtualDisplay());
    EXPECT_TRUE(probe().displayRestorePending());
    drain();
    EXPECT_TRUE(
        logged("display aspect fit: post-release arrangement restored=true main=1 expected=Optional(1) "
               "surviving origins=1/1 virtual active=false"));
    EXPECT_FALSE(probe().displayRestorePending());
    EXPECT_FALSE(probe().aspectPhysicalMainID());
}

TEST_F(HostAspectTest, PromotionOrigins) {
    struct Case {
        const char* name;
        DisplayOrigins displays;
        double width;
        std::optional<DisplayOrigins> expected;
    };
    const Case cases[] = {
        {"side by side",
         {{1, {0, 0}}, {2, {1728, 0}}, {100, {3456, 0}}},
         2560,
         DisplayOrigins{{1, {2560, 0}}, {2, {4288, 0}}, {100, {0, 0}}}},
        {"second display left and below",
         {{100, {1728, 0}}, {1, {0, 0}}, {2, {-1000, 200}}},
         1920,
         DisplayOrigins{{100, {0, 0}}, {1, {2920, -200}}, {2, {1920, 0}}}},
        {"tie goes to the main display",
         {{2, {0, 500}}, {1, {0, 0}}, {100, {1728, 0}}},
         100,
         DisplayOrigins{{2, {100, 500}}, {1, {100, 0}}, {100, {0, 0}}}},
        {"no width", {{1, {0, 0}}, {100, {1728, 0}}}, 0, std::nullopt},
        {"virtual missing", {{1, {0, 0}}}, 2560, std::nullopt},
        {"main missing", {{2, {0, 0}}, {100, {1728, 0}}}, 2560, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Probe::promotionOrigins(c.displays, 100, c.width, 1), c.expected) << c.name;
    }
}

TEST_F(HostAspectTest, PromotionMakesTheVirtualDisplayMainAndDemotionPutsTheArrangementBack) {
    displays().displays.push_back({2, {1728, 0, 1920, 1080}, {1920, 1080}, false});
    adoptUnpromotedAspectDisplay();
    const auto origin = displays().find(100)->bounds;
    EXPECT_TRUE(probe().promoteVirtualDisplayToMain());
    EXPECT_EQ(displays().mainDisplayID(), 100u);
    EXPECT_EQ(displays().find(1)->bounds.x, origin.width);
    EXPECT_EQ(displays().find(2)->bounds.x, origin.width + 1728);
    EXPECT_EQ(fakes.input->inputMapping.displayID, 1u);
    EXPECT_EQ(probe().arrangementStallGraceUntil(), queue.nowMicros() + 3'000'000);
    EXPECT_TRUE(logged("display aspect fit: promoted virtual display id=100 to main"));

    probe().demoteVirtualDisplayFromMain();
    EXPECT_EQ(displays().origins(), (DisplayOrigins{{1, {0, 0}}, {2, {1728, 0}}, {100, {origin.x, origin.y}}}));
    EXPECT_TRUE(logged("display aspect fit: demoted virtual display, physical main=1"));
    EXPECT_FALSE(probe().aspectPromoted());
}

TEST_F(HostAspectTest, AFailedPromotionRollsBack) {
    adoptUnpromotedAspectDisplay();
    const auto before = displays().origins();
    displays().configurationFailures = {
        host::DisplayConfigurationError{host::DisplayConfigurationError::Step::complete, 0, 1001}};
    EXPECT_FALSE(probe().promoteVirtualDisplayToMain());
    EXPECT_TRUE(logged("display aspect fit: configuration failed 1001"));
    EXPECT_TRUE(logged("display aspect fit: promotion failed"));
    EXPECT_EQ(count("displays.applyOrigins"), 2u);
    EXPECT_EQ(displays().origins(), before);
    EXPECT_FALSE(probe().aspectPromoted());
    EXPECT_EQ(probe().arrangementStallGraceUntil(), queue.nowMicros() + 3'000'000);
    // The next sweep tries again.
    EXPECT_TRUE(probe().promoteVirtualDisplayToMain());
}

TEST_F(HostAspectTest, AMainDisplayThatNeverChangesFailsThePromotionAfterTenLooks) {
    adoptUnpromotedAspectDisplay();
    displays().stuckMain = 1;
    EXPECT_FALSE(probe().promoteVirtualDisplayToMain());
    // Ten looks 50 ms apart for the virtual display, then ten for the rolled-back physical one
    // (which is main at the first look).
    EXPECT_EQ(displays().waited, 450ms);
    EXPECT_EQ(count("displays.applyOrigins"), 2u);
    EXPECT_TRUE(logged("display aspect fit: promotion failed"));
    EXPECT_FALSE(probe().aspectPromoted());
}

TEST_F(HostAspectTest, ArrangementChangesRestartTheWholeDisplayPipelineUnlessAWindowIsFitted) {
    for (const bool fitted : {false, true}) {
        SCOPED_TRACE(fitted ? "window fit" : "whole display");
        adoptAspectDisplay();
        ASSERT_TRUE(probe().promoteVirtualDisplayToMain());
        session->video = device.connection;
        probe().capture() = std::make_shared<FakeHostCapture>(fakes.log);
        if (fitted) probe().windowFit() = host::WindowFit{};
        fakes.log->clear();
        probe().demoteVirtualDisplayFromMain();
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

TEST_F(HostAspectTest, AnUnpluggedMainIsGivenUpAfterTheFifthCheck) {
    displays().displays.push_back({2, {1728, 0, 1920, 1080}, {1920, 1080}, false});
    adoptAspectDisplay();
    ASSERT_TRUE(probe().promoteVirtualDisplayToMain());
    std::erase_if(displays().displays, [](const host::HostDisplay& d) { return d.id == 1; });
    fakes.log->clear();
    probe().demoteVirtualDisplayFromMain();
    EXPECT_EQ(count("displays.applyOrigins"), 0u);
    probe().destroyVirtualDisplay("display aspect fit off");
    drain();
    for (int check = 1; check <= 4; ++check) {
        EXPECT_FALSE(loggedPrefix("display aspect fit: post-release arrangement")) << check;
        pass(kCheckStep * check);
    }
    EXPECT_TRUE(
        logged("display aspect fit: post-release arrangement restored=false main=0 expected=Optional(1) "
               "surviving origins=1/2 virtual active=false"));
    EXPECT_FALSE(probe().aspectPhysicalMainID());
    EXPECT_FALSE(probe().displayRestorePending());
}

TEST_F(HostAspectTest, VerificationPutsBackADisplayMovedMeanwhile) {
    displays().displays.push_back({2, {1728, 0, 1920, 1080}, {1920, 1080}, false});
    adoptAspectDisplay();
    request(false);
    displays().find(2)->bounds.y = 300;  // the user moved it while the display went away
    drain();
    EXPECT_EQ(displays().origins(), (DisplayOrigins{{1, {0, 0}}, {2, {1728, 0}}}));
    EXPECT_TRUE(loggedPrefix("display aspect fit: post-release arrangement restored=true"));
}

TEST_F(HostAspectTest, AStuckReleaseResumesOnThePhysicalDisplayAfterThreeSeconds) {
    adoptAspectDisplay();
    request(false);
    advance(2999ms);
    EXPECT_TRUE(probe().displayRestorePending());
    advance(1ms);
    EXPECT_TRUE(logged("display aspect fit: arrangement verification still pending, continuing on physical id=1"));
    EXPECT_FALSE(probe().displayRestorePending());
}

TEST_F(HostAspectTest, ANewSizeReplacesTheDisplayOnceTheOldOneIsVerifiedGone) {
    adoptAspectDisplay();
    probe().applyViewportUpdate({1600, 1000});
    advance(kSettle);
    EXPECT_TRUE(logged("virtual display: destroying id=100 (size changed)"));
    EXPECT_FALSE(probe().virtualDisplay());
    drain();
    ASSERT_TRUE(probe().virtualDisplay());
    EXPECT_EQ(probe().virtualDisplay()->displayID, 101u);
    EXPECT_EQ(probe().virtualDisplay()->size.outputPixels, (PixelSize{1600, 1000}));
    EXPECT_EQ(displays().released, std::vector<std::uint32_t>{100});
}

// A lock while the old display's release is being verified cancels nothing that is owed: the
// unlock brings the new size.
TEST_F(HostAspectTest, ALockDuringAReplacementKeepsTheRefitForTheUnlock) {
    adoptAspectDisplay();
    probe().applyViewportUpdate({1600, 1000});
    advance(kSettle);
    ASSERT_TRUE(probe().displayRestorePending());
    probe().setPaused(true);
    drain();
    EXPECT_FALSE(probe().displayRestorePending());
    EXPECT_FALSE(probe().virtualDisplay());  // nothing is made while locked
    probe().setPaused(false);
    pass(kSettle);
    ASSERT_TRUE(probe().virtualDisplay());
    EXPECT_EQ(probe().virtualDisplay()->size.outputPixels, (PixelSize{1600, 1000}));
}

TEST_F(HostAspectTest, EndingTheSessionReleasesButAHighResDetachKeepsTheDisplay) {
    adoptAspectDisplay();
    probe().endSession(std::nullopt, "test");
    EXPECT_TRUE(logged("virtual display: destroying id=100 (session ended)"));
    EXPECT_FALSE(probe().clientAspectFit());
    drain();
    EXPECT_EQ(displays().released, std::vector<std::uint32_t>{100});

    LinkedConnection next = link();
    session = authenticatedSession(next);
    session->viewportWidth = 1920;
    session->viewportHeight = 1080;
    probe().highResOnFlag() = true;
    probe().windowFit() = host::WindowFit{};
    ASSERT_TRUE(probe().ensureVirtualDisplay(VirtualDisplayPurpose::highRes));
    drain();
    ASSERT_TRUE(probe().virtualDisplay());
    probe().detachSession();
    drain();
    EXPECT_TRUE(probe().virtualDisplay());
}

TEST_F(HostAspectTest, APauseDefersTheFitUntilResume) {
    request(true);
    pass(1s);
    probe().setPaused(true);
    EXPECT_FALSE(probe().aspectUpdateScheduled());
    EXPECT_TRUE(session->viewportChangedWhilePaused);
    probe().applyViewportUpdate({1600, 900});
    pass(5s);
    EXPECT_EQ(count("displays.create"), 0u);
    probe().setPaused(false);
    pass(kSettle);
    ASSERT_TRUE(probe().virtualDisplay());
    EXPECT_EQ(probe().virtualDisplay()->size.outputPixels, (PixelSize{1600, 900}));
}

// A creation still in force whose purpose went away without a release must not stay pending:
// every later creation would wait for it.
TEST_F(HostAspectTest, ACurrentCreationNobodyWantsAnyMoreEndsAndIsReleased) {
    probe().pendingFit() = host::PendingFit{};
    ASSERT_TRUE(probe().ensureVirtualDisplay(VirtualDisplayPurpose::windowFit));
    probe().pendingFit().reset();
    drain();
    EXPECT_FALSE(probe().virtualDisplayPending());
    EXPECT_FALSE(probe().virtualDisplay());
    EXPECT_TRUE(logged("virtual display: destroying id=100 (unclaimed creation)"));
    EXPECT_EQ(displays().released, std::vector<std::uint32_t>{100});
    EXPECT_FALSE(probe().displayRestorePending());

    probe().pendingFit() = host::PendingFit{};
    EXPECT_TRUE(probe().ensureVirtualDisplay(VirtualDisplayPurpose::windowFit));
    EXPECT_TRUE(probe().virtualDisplayPending());
}

TEST_F(HostAspectTest, ADetachReleasesTheAspectDisplay) {
    adoptAspectDisplay();
    probe().detachSession();
    EXPECT_TRUE(logged("virtual display: destroying id=100 (detached)"));
    drain();
    EXPECT_EQ(displays().released, std::vector<std::uint32_t>{100});
}

class HostAspectWithoutDisplaysTest : public HostControllerTest {};

TEST_F(HostAspectWithoutDisplaysTest, AHostWithoutTheDisplaySeamFitsOnThePhysicalDisplay) {
    fakes.displays = nullptr;
    create();
    LinkedConnection device = link();
    auto session = authenticatedSession(device);
    probe().applyClientAspectFit(DisplayAspectFitRequest{true, 1280, 800, 1.0});
    advance(kSettle);
    EXPECT_TRUE(logged("display aspect fit: virtual display unavailable (API or viewport), using physical capture"));
    EXPECT_EQ(probe().physicalCaptureDisplayID(), 0u);
    probe().endSession(std::nullopt, "test");
    advance(5s);
    EXPECT_FALSE(probe().displayRestorePending());
}

class HostAspectHelloTest : public HostHelloTest {};

// A device that comes back with display aspect fit on gets its fit again, and the arrangement
// restored later is the one from when it connected, not one the user changed since.
TEST_F(HostAspectHelloTest, AHelloSnapshotsTheArrangementAndResumesTheFit) {
    fakes.displays->displays.push_back({2, {1728, 0, 1920, 1080}, {1920, 1080}, false});
    probe().clientAspectFit() = true;
    auto device = mainSession();
    EXPECT_TRUE(probe().aspectUpdateScheduled());
    fakes.displays->find(2)->bounds.y = 500;
    advance(kSettle);
    while (fakes.displays->queue.runUntilIdle() + queue.runUntilIdle() > 0) {
    }
    ASSERT_TRUE(probe().virtualDisplay());
    EXPECT_EQ(probe().aspectSavedOrigins(), (DisplayOrigins{{1, {0, 0}}, {2, {1728, 0}}}));
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
        probe().highResOnFlag() = true;
        probe().windowFit() = host::WindowFit{};
        ASSERT_TRUE(probe().ensureVirtualDisplay(VirtualDisplayPurpose::highRes));
        settle();
        const auto made = probe().virtualDisplay();
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
        ASSERT_TRUE(probe().virtualDisplay());
        EXPECT_EQ(probe().virtualDisplay() == made, sameScreen);
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
        probe().applyClientAspectFit(DisplayAspectFitRequest{true, 1280, 800, 2.0});
        advance(kSettle);
        while (displayQueue.runUntilIdle() + queue.runUntilIdle() > 0) {
        }
        const auto made = probe().virtualDisplay();
        ASSERT_TRUE(made);
        EXPECT_EQ(made->size.pixels, (PixelSize{1280, 800}));

        // The window sweep that adoption starts has made the virtual display main.
        EXPECT_TRUE(probe().aspectPromoted());
        EXPECT_EQ(arrangement->mainDisplay(), made->displayID);
        EXPECT_EQ(bounds(made->displayID), (platform::DisplayBounds{0, 0, 1280, 800}));
        EXPECT_EQ(bounds(physical), (platform::DisplayBounds{1280, 0, physicalBounds->width, physicalBounds->height}));
        EXPECT_EQ(probe().physicalCaptureDisplayID(), physical);

        // Demotion puts the display back where it was made, right of the physical one.
        probe().demoteVirtualDisplayFromMain();
        EXPECT_EQ(arrangement->mainDisplay(), physical);
        EXPECT_EQ(bounds(physical), physicalBounds);
        EXPECT_EQ(bounds(made->displayID),
                  (platform::DisplayBounds{static_cast<std::int32_t>(physicalBounds->width), 0, 1280, 800}));

        ASSERT_TRUE(probe().promoteVirtualDisplayToMain());
        EXPECT_EQ(arrangement->mainDisplay(), made->displayID);
        probe().endSession(std::nullopt, "test");
        while (displayQueue.runUntilIdle() + queue.runUntilIdle() > 0) {
        }
        EXPECT_TRUE(
            logged("display aspect fit: post-release arrangement restored=true main=" + std::to_string(physical) +
                   " expected=Optional(" + std::to_string(physical) + ") surviving origins=1/1 virtual active=false"));
        EXPECT_EQ(platform::x11::readArrangement(**x), before);
        EXPECT_EQ(arrangement->mainDisplay(), physical);
        EXPECT_FALSE(probe().displayRestorePending());
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
