#include "host/controller/DisplayAspectFit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "support/FakeHostComponents.h"
#include "support/FakeHostDisplays.h"
#include "support/ManualExecutor.h"

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

// Display aspect fit over the display fakes, with window fit, migration, the session and the
// pipeline as plain state the test sets; what it asks of them goes to the call log.
class DisplayAspectFitTest : public ::testing::Test {
protected:
    DisplayAspectFitTest() { wire(displays); }

    // A fit over `seam` (none: a host without virtual displays), wired to the test's neighbours.
    void wire(std::shared_ptr<host::HostDisplays> seam) {
        aspect = std::make_shared<host::DisplayAspectFit>(queue, std::move(seam), input);
        aspect->setLifetime(aspect);
        aspect->fit = {.inPlay = [this] { return windowFit || pendingFit; },
                       .activeUnsuspended = [this] { return windowFit && !windowFit->suspended; },
                       .pending = [this] { return pendingFit.has_value(); },
                       .setViewport =
                           [this](host::FitViewport viewport) {
                               if (windowFit) windowFit->viewport = viewport;
                               if (pendingFit) pendingFit->viewport = viewport;
                           },
                       .applyPending = [this] { calls->push_back("fit.applyPending"); },
                       .updateVideo =
                           [this](host::FitViewport viewport) {
                               calls->push_back("fit.updateVideo " + std::to_string(viewport.width) + "x" +
                                                std::to_string(viewport.height));
                               return windowFit.has_value();
                           },
                       .moveOnto =
                           [this](const host::Rect&) {
                               calls->push_back("fit.moveOnto");
                               return false;
                           }};
        aspect->migration = {.migrate = [this] { calls->push_back("migration.migrate"); },
                             .rememberFrames = [this] { calls->push_back("migration.rememberFrames"); },
                             .restore = [this](bool) { calls->push_back("migration.restore"); },
                             .holdsWindows = [this] { return windowsMoved; }};
        aspect->host = {.log = [this](std::string_view line) { logs.emplace_back(line); },
                        .now = [this] { return queue.nowMicros(); },
                        .session = [this] { return session; },
                        .paused = [this] { return paused; },
                        .highRes = [this] { return highRes; },
                        .capture = [this] { return capture; },
                        .stopPipeline = [this] { calls->push_back("pipeline.stop"); },
                        .startPipeline = [this] { calls->push_back("pipeline.start"); }};
    }

    void request(bool active, std::int64_t width = 1920, std::int64_t height = 1080,
                 std::optional<double> scale = std::nullopt) {
        aspect->request(DisplayAspectFitRequest{active, width, height, scale}, *session);
    }
    void viewport(std::int64_t width, std::int64_t height) { aspect->viewportUpdate({width, height}, *session); }
    bool ensure(VirtualDisplayPurpose purpose) {
        return aspect->ensureVirtualDisplay(purpose, session->viewportWidth, session->viewportHeight);
    }

    // Runs the display queue and the controller's queue until both are idle.
    void drain() {
        while (displays->queue.runUntilIdle() + queue.runUntilIdle() > 0) {
        }
    }
    void pass(std::chrono::microseconds delta) {
        queue.advance(delta);
        drain();
    }

    std::size_t count(std::string_view prefix) const {
        return std::ranges::count_if(*calls, [prefix](const std::string& line) { return line.starts_with(prefix); });
    }
    bool logged(std::string_view line) const { return std::ranges::find(logs, line) != logs.end(); }
    bool loggedPrefix(std::string_view prefix) const {
        return std::ranges::any_of(logs, [prefix](const std::string& line) { return line.starts_with(prefix); });
    }
    void clearLogs() {
        logs.clear();
        calls->clear();
    }

    // Display aspect fit on, settled and its virtual display adopted, not promoted.
    void adoptAspectDisplay() {
        request(true);
        pass(kSettle);
        ASSERT_TRUE(aspect->virtualDisplay());
        ASSERT_FALSE(aspect->promoted());
        ASSERT_EQ(displays->mainDisplayID(), 1u);
    }

    ManualExecutor queue;  // the controller's
    HostCallLog calls = std::make_shared<std::vector<std::string>>();
    std::vector<std::string> logs;
    std::shared_ptr<FakeHostDisplays> displays = std::make_shared<FakeHostDisplays>(calls);
    std::shared_ptr<FakeHostInput> input = std::make_shared<FakeHostInput>(calls);
    std::shared_ptr<host::DisplayAspectFit> aspect;

    std::shared_ptr<host::HostSession> session = [] {
        auto made = std::make_shared<host::HostSession>(nullptr, 0);
        made->viewportWidth = 1920;
        made->viewportHeight = 1080;
        return made;
    }();
    std::optional<host::WindowFit> windowFit;
    std::optional<host::PendingFit> pendingFit;
    bool windowsMoved = false;
    bool paused = false;
    bool highRes = false;
    std::shared_ptr<host::HostCapture> capture;
};

TEST_F(DisplayAspectFitTest, RequestsKeepOnlyUsableViewportsAndScales) {
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
        EXPECT_EQ(aspect->scale(), c.expectedScale) << c.scale.value_or(-1);
        request(false);
    }

    viewport(0, 10);
    viewport(10, 32769);
    EXPECT_TRUE(logged("viewport update ignored: 0x10"));
    EXPECT_TRUE(logged("viewport update ignored: 10x32769"));
    EXPECT_EQ(session->viewportWidth, 1920);
}

TEST_F(DisplayAspectFitTest, RequestsFromAnotherOrDetachedSessionAreIgnored) {
    host::HostSession other(nullptr, 0);
    aspect->request(DisplayAspectFitRequest{true, 1920, 1080, std::nullopt}, other);
    session->detachedAt = 1;
    request(true);
    EXPECT_FALSE(aspect->on());
    EXPECT_FALSE(aspect->updateScheduled());
}

TEST_F(DisplayAspectFitTest, ViewportChangesSettleIntoOneFitAfterTheLast) {
    request(true);
    for (int width : {1600, 1500, 1280}) {
        pass(500ms);
        viewport(width, 720);
    }
    pass(1199ms);
    EXPECT_EQ(count("displays.create"), 0u);
    pass(1ms);
    EXPECT_EQ(count("displays.create"), 1u);
    ASSERT_TRUE(aspect->virtualDisplay());
    EXPECT_EQ(aspect->virtualDisplay()->size.outputPixels, (PixelSize{1280, 720}));
    EXPECT_TRUE(logged("display aspect fit: applying virtual display id=100 after attempt 1"));
    EXPECT_EQ(count("migration.migrate"), 1u);
}

TEST_F(DisplayAspectFitTest, RepeatingAnOnRequestOnlyActsWhenTheDisplayWasLost) {
    adoptAspectDisplay();
    request(true);
    EXPECT_FALSE(aspect->updateScheduled());
    aspect->releaseVirtualDisplay("app view ended", false);
    drain();
    ASSERT_FALSE(aspect->virtualDisplay());
    request(true);
    EXPECT_TRUE(aspect->updateScheduled());
}

TEST_F(DisplayAspectFitTest, TurningOffWithNothingCreatedKeepsTheArrangement) {
    request(true);
    request(false);
    pass(5s);
    EXPECT_TRUE(logged("display aspect fit: no virtual display to destroy, physical arrangement retained"));
    EXPECT_EQ(count("displays."), 0u);
    EXPECT_FALSE(aspect->restorePending());
}

TEST_F(DisplayAspectFitTest, AWindowFitKeepsDisplayAspectFitFromMakingADisplay) {
    windowFit = host::WindowFit{};
    request(true, 1280, 800, 1.5);
    pass(5s);
    EXPECT_FALSE(aspect->updateScheduled());
    EXPECT_EQ(count("displays.create"), 0u);
    EXPECT_EQ(count("fit.updateVideo 1280x800"), 1u);
}

TEST_F(DisplayAspectFitTest, AScaleThatGivesTheSameSizeKeepsTheDisplay) {
    request(true, 1920, 1080, 2.0);
    pass(kSettle);
    const auto first = aspect->virtualDisplay();
    ASSERT_TRUE(first);
    request(true, 1920, 1080, 1.999);
    pass(kSettle);
    EXPECT_EQ(aspect->virtualDisplay(), first);
    EXPECT_EQ(count("displays.create"), 1u);
    EXPECT_EQ(count("displays.release"), 0u);
}

TEST_F(DisplayAspectFitTest, SizesTheDisplayForEachPurpose) {
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
        EXPECT_EQ(ensure(c.purpose), c.expected.has_value());
        drain();
        if (c.expected) {
            ASSERT_TRUE(aspect->virtualDisplay());
            EXPECT_EQ(aspect->virtualDisplay()->size, *c.expected);
        } else {
            EXPECT_TRUE(logged("virtual display: no viewport, using main display"));
        }
        request(false);
        pass(5s);
        ASSERT_FALSE(aspect->virtualDisplay());
        ASSERT_FALSE(aspect->restorePending());
    }
}

// High resolution serves tablets and desktops, and gives way to display aspect fit.
TEST_F(DisplayAspectFitTest, TheFitPurposeIsHighResolutionOnlyOffPhones) {
    struct Case {
        const char* name;
        bool highResOn;
        host::DeviceKind kind;
        bool phoneIdiom;
        bool aspectOn;
        VirtualDisplayPurpose expected;
    };
    const Case cases[] = {
        {"tablet", true, host::DeviceKind::iPad, false, false, VirtualDisplayPurpose::highRes},
        {"setting off", false, host::DeviceKind::iPad, false, false, VirtualDisplayPurpose::windowFit},
        {"iPhone", true, host::DeviceKind::iPhone, false, false, VirtualDisplayPurpose::windowFit},
        {"android phone", true, host::DeviceKind::android, true, false, VirtualDisplayPurpose::windowFit},
        {"android tablet", true, host::DeviceKind::android, false, false, VirtualDisplayPurpose::highRes},
        {"aspect fit on", true, host::DeviceKind::iPad, false, true, VirtualDisplayPurpose::windowFit},
    };
    for (const auto& c : cases) {
        highRes = c.highResOn;
        session->deviceKind = c.kind;
        session->hasPhoneIdiom = c.phoneIdiom;
        request(c.aspectOn);
        EXPECT_EQ(aspect->fitPurpose(), c.expected) << c.name;
        request(false);
    }
}

TEST_F(DisplayAspectFitTest, WithoutVirtualDisplaysTheFitCarriesOnPhysically) {
    displays->available = false;
    request(true);
    pass(kSettle);
    EXPECT_FALSE(aspect->virtualDisplay());
    EXPECT_TRUE(logged("display aspect fit: virtual display unavailable (API or viewport), using physical capture"));
    EXPECT_EQ(count("displays."), 0u);
}

TEST_F(DisplayAspectFitTest, AHostWithoutTheDisplaySeamFitsOnThePhysicalDisplay) {
    wire(nullptr);
    request(true, 1280, 800, 1.0);
    queue.advance(kSettle);
    EXPECT_TRUE(logged("display aspect fit: virtual display unavailable (API or viewport), using physical capture"));
    EXPECT_EQ(aspect->physicalCaptureDisplayID(), 0u);
    aspect->sessionEnded();
    aspect->restoreOnDisconnect("session ended");
    queue.advance(5s);
    EXPECT_FALSE(aspect->restorePending());
}

TEST_F(DisplayAspectFitTest, FailedCreationsRetryThreeTimesThenCarryOnPhysically) {
    displays->createResults = {false, false, false, false};
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
    EXPECT_FALSE(aspect->creationPending());
    EXPECT_FALSE(aspect->restorePending());
    EXPECT_FALSE(aspect->savedOrigin(1));  // the saved arrangement is forgotten
}

TEST_F(DisplayAspectFitTest, ACreationThatTakesTooLongIsAbandonedBeforeItStarts) {
    request(true);
    queue.advance(kSettle);
    ASSERT_TRUE(aspect->creationPending());
    queue.advance(3s);  // the display queue is busy elsewhere meanwhile
    EXPECT_TRUE(
        logged("virtual display: destroying id=pending (creation timed out, continuing with physical display)"));
    EXPECT_FALSE(aspect->creationPending());
    drain();
    EXPECT_EQ(count("displays.create"), 0u);
}

TEST_F(DisplayAspectFitTest, ALateDisplayNobodyWantsIsReleased) {
    struct Case {
        const char* name;
        bool newSettle;  // a viewport change restarted the settle: released directly
    };
    for (const Case c : {Case{"turned off", false}, Case{"new settle", true}}) {
        SCOPED_TRACE(c.name);
        clearLogs();
        request(true);
        queue.advance(kSettle);
        displays->queue.runUntilIdle();  // made; its result waits on the controller's queue
        if (c.newSettle) {
            viewport(1600, 900);
        } else {
            request(false);
        }
        drain();
        EXPECT_FALSE(aspect->virtualDisplay());
        EXPECT_EQ(count("displays.release"), 1u);
        EXPECT_EQ(loggedPrefix("virtual display: destroying id=1"), !c.newSettle);
        request(false);
        pass(5s);
    }
}

// A creation still in force whose purpose went away without a release must not stay pending:
// every later creation would wait for it.
TEST_F(DisplayAspectFitTest, ACurrentCreationNobodyWantsAnyMoreEndsAndIsReleased) {
    pendingFit = host::PendingFit{};
    ASSERT_TRUE(ensure(VirtualDisplayPurpose::windowFit));
    pendingFit.reset();
    drain();
    EXPECT_FALSE(aspect->creationPending());
    EXPECT_FALSE(aspect->virtualDisplay());
    EXPECT_TRUE(logged("virtual display: destroying id=100 (unclaimed creation)"));
    EXPECT_EQ(displays->released, std::vector<std::uint32_t>{100});
    EXPECT_FALSE(aspect->restorePending());

    pendingFit = host::PendingFit{};
    EXPECT_TRUE(ensure(VirtualDisplayPurpose::windowFit));
    EXPECT_TRUE(aspect->creationPending());
}

TEST_F(DisplayAspectFitTest, ReleaseRestoresWindowsPointsInputHomeAndVerifiesBehindTheRelease) {
    adoptAspectDisplay();
    input->inputMapping.displayID = 100;
    request(false);
    EXPECT_TRUE(logged("virtual display: destroying id=100 (display aspect fit off)"));
    EXPECT_EQ(count("migration.restore"), 1u);
    EXPECT_EQ(input->inputMapping.displayID, 1u);
    EXPECT_FALSE(aspect->virtualDisplay());
    EXPECT_TRUE(aspect->restorePending());
    drain();
    EXPECT_TRUE(
        logged("display aspect fit: post-release arrangement restored=true main=1 expected=Optional(1) "
               "surviving origins=1/1 virtual active=false"));
    EXPECT_FALSE(aspect->restorePending());
    EXPECT_FALSE(aspect->savedOrigin(1));
}

TEST_F(DisplayAspectFitTest, PromotionOrigins) {
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
        EXPECT_EQ(host::DisplayAspectFit::promotionOrigins(c.displays, 100, c.width, 1), c.expected) << c.name;
    }
}

TEST_F(DisplayAspectFitTest, PromotionMakesTheVirtualDisplayMainAndDemotionPutsTheArrangementBack) {
    displays->displays.push_back({2, {1728, 0, 1920, 1080}, {1920, 1080}, false});
    adoptAspectDisplay();
    const auto origin = displays->find(100)->bounds;
    EXPECT_TRUE(aspect->promote());
    EXPECT_TRUE(aspect->promoted());
    EXPECT_EQ(displays->mainDisplayID(), 100u);
    EXPECT_EQ(displays->find(1)->bounds.x, origin.width);
    EXPECT_EQ(displays->find(2)->bounds.x, origin.width + 1728);
    EXPECT_EQ(input->inputMapping.displayID, 1u);
    EXPECT_EQ(aspect->stallGraceUntil(), queue.nowMicros() + 3'000'000);
    EXPECT_TRUE(logged("display aspect fit: promoted virtual display id=100 to main"));
    EXPECT_EQ(aspect->savedOrigin(2), (platform::Point{1728, 0}));

    aspect->demote();
    EXPECT_EQ(displays->origins(), (DisplayOrigins{{1, {0, 0}}, {2, {1728, 0}}, {100, {origin.x, origin.y}}}));
    EXPECT_TRUE(logged("display aspect fit: demoted virtual display, physical main=1"));
    EXPECT_FALSE(aspect->promoted());
}

TEST_F(DisplayAspectFitTest, AFailedPromotionRollsBack) {
    adoptAspectDisplay();
    const auto before = displays->origins();
    displays->configurationFailures = {
        host::DisplayConfigurationError{host::DisplayConfigurationError::Step::complete, 0, 1001}};
    EXPECT_FALSE(aspect->promote());
    EXPECT_TRUE(logged("display aspect fit: configuration failed 1001"));
    EXPECT_TRUE(logged("display aspect fit: promotion failed"));
    EXPECT_EQ(count("displays.applyOrigins"), 2u);
    EXPECT_EQ(displays->origins(), before);
    EXPECT_FALSE(aspect->promoted());
    EXPECT_EQ(aspect->stallGraceUntil(), queue.nowMicros() + 3'000'000);
    // The next sweep tries again.
    EXPECT_TRUE(aspect->promote());
}

TEST_F(DisplayAspectFitTest, AMainDisplayThatNeverChangesFailsThePromotionAfterTenLooks) {
    adoptAspectDisplay();
    displays->stuckMain = 1;
    EXPECT_FALSE(aspect->promote());
    // Ten looks 50 ms apart for the virtual display, then ten for the rolled-back physical one
    // (which is main at the first look).
    EXPECT_EQ(displays->waited, 450ms);
    EXPECT_EQ(count("displays.applyOrigins"), 2u);
    EXPECT_TRUE(logged("display aspect fit: promotion failed"));
    EXPECT_FALSE(aspect->promoted());
}

TEST_F(DisplayAspectFitTest, AnUnpluggedMainIsGivenUpAfterTheFifthCheck) {
    displays->displays.push_back({2, {1728, 0, 1920, 1080}, {1920, 1080}, false});
    adoptAspectDisplay();
    ASSERT_TRUE(aspect->promote());
    std::erase_if(displays->displays, [](const host::HostDisplay& d) { return d.id == 1; });
    calls->clear();
    aspect->demote();
    EXPECT_EQ(count("displays.applyOrigins"), 0u);
    aspect->releaseVirtualDisplay("display aspect fit off", false);
    drain();
    for (int check = 1; check <= 4; ++check) {
        EXPECT_FALSE(loggedPrefix("display aspect fit: post-release arrangement")) << check;
        pass(kCheckStep * check);
    }
    EXPECT_TRUE(
        logged("display aspect fit: post-release arrangement restored=false main=0 expected=Optional(1) "
               "surviving origins=1/2 virtual active=false"));
    EXPECT_FALSE(aspect->savedOrigin(1));
    EXPECT_FALSE(aspect->restorePending());
}

TEST_F(DisplayAspectFitTest, VerificationPutsBackADisplayMovedMeanwhile) {
    displays->displays.push_back({2, {1728, 0, 1920, 1080}, {1920, 1080}, false});
    adoptAspectDisplay();
    request(false);
    displays->find(2)->bounds.y = 300;  // the user moved it while the display went away
    drain();
    EXPECT_EQ(displays->origins(), (DisplayOrigins{{1, {0, 0}}, {2, {1728, 0}}}));
    EXPECT_TRUE(loggedPrefix("display aspect fit: post-release arrangement restored=true"));
}

TEST_F(DisplayAspectFitTest, AStuckReleaseResumesOnThePhysicalDisplayAfterThreeSeconds) {
    adoptAspectDisplay();
    request(false);
    queue.advance(2999ms);
    EXPECT_TRUE(aspect->restorePending());
    queue.advance(1ms);
    EXPECT_TRUE(logged("display aspect fit: arrangement verification still pending, continuing on physical id=1"));
    EXPECT_FALSE(aspect->restorePending());
}

TEST_F(DisplayAspectFitTest, ANewSizeReplacesTheDisplayOnceTheOldOneIsVerifiedGone) {
    adoptAspectDisplay();
    viewport(1600, 1000);
    queue.advance(kSettle);
    EXPECT_TRUE(logged("virtual display: destroying id=100 (size changed)"));
    EXPECT_FALSE(aspect->virtualDisplay());
    drain();
    ASSERT_TRUE(aspect->virtualDisplay());
    EXPECT_EQ(aspect->virtualDisplay()->displayID, 101u);
    EXPECT_EQ(aspect->virtualDisplay()->size.outputPixels, (PixelSize{1600, 1000}));
    EXPECT_EQ(displays->released, std::vector<std::uint32_t>{100});
}

}  // namespace
}  // namespace orvanta::testing
