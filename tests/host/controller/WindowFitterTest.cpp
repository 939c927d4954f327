// Window fit and follow through its own interface, on virtual time, with a desktop of fake windows
// and fakes for the rest of the host.
#include <gtest/gtest.h>

#include "FakeFitNeighbours.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;
using Event = host::HostFitWindows::FollowEvent;
using Kind = Event::Kind;
using State = protocol::WindowState;

constexpr std::int32_t kApp = 500;
constexpr std::uint32_t kA = 11;
constexpr std::uint32_t kB = 12;
const host::Rect kFrameA{100, 50, 800, 600};
const host::Rect kFrameB{300, 200, 640, 480};
const State kInactive{false, std::nullopt};

State active(const std::string& app) { return {true, app}; }

class WindowFitterTest : public ::testing::Test {
protected:
    void SetUp() override {
        desktop->add(kB, kApp, kFrameB);
        desktop->add(kA, kApp, kFrameA);
    }
    void TearDown() override {
        fitter.reset();
        queue.stop();
    }

    // No fit, and the application's two windows where they started.
    void resetDesktop() {
        fitter->clear(false, false);
        desktop->list.clear();
        desktop->unresolvable.clear();
        desktop->nonstandard.clear();
        desktop->add(kB, kApp, kFrameB);
        desktop->add(kA, kApp, kFrameA);
        host.logs.clear();
        host.calls->clear();
        host.states.clear();
    }
    // Runs the queue and the window tasks until neither has anything left.
    void settle() {
        while (queue.runUntilIdle() + desktop->taskExecutor.runUntilIdle() > 0) {
        }
    }
    // One watcher interval of virtual time on both.
    void pass(int count = 1) {
        for (int i = 0; i < count; ++i) {
            queue.advance(500ms);
            desktop->taskExecutor.advance(500ms);
            settle();
        }
    }
    void fit(std::uint32_t id, std::int64_t width = 1280, std::int64_t height = 800) {
        fitter->fitTarget({id, width, height}, std::nullopt);
        settle();
    }
    // What the device's unfit asks.
    void unfit() {
        fitter->clear(true, true);
        fitter->sendState(false, std::nullopt);
        settle();
    }
    void detach() {
        host.session->detached = true;
        fitter->suspend();
    }
    void resume(host::FitViewport viewport = {1280, 800}) {
        host.session = host::FitSession{viewport, false};
        fitter->resume();
        settle();
    }
    const std::optional<host::WindowFit>& fitted() const { return fitter->fitted(); }
    bool logged(std::string_view line) const { return host.logged(line); }
    long count(std::string_view call) const { return host.count(call); }

    ManualExecutor queue;
    FakeFitNeighbours host;
    std::shared_ptr<FakeFitWindows> desktop = std::make_shared<FakeFitWindows>(host.calls);
    std::shared_ptr<host::WindowFitter> fitter = host.make(queue, queue.clock(), desktop);
};

TEST_F(WindowFitterTest, FitsAWindowByIdCentredOnTheDisplayAndPutsItBack) {
    fit(kA, 1000, 700);
    ASSERT_TRUE(fitted());
    EXPECT_GE(count("pointer.change"), 1);  // the pointer's meaning changes
    EXPECT_EQ(count("fit.resume 500"), 1);  // a stopped application runs again before it is raised
    EXPECT_EQ(count("fit.raise 11"), 1);
    EXPECT_EQ(desktop->frameOf(kA), (host::Rect{560, 240, 800, 600}));
    EXPECT_EQ(fitted()->originalOrigin, (platform::Point{100, 50}));
    EXPECT_EQ(fitted()->appliedFrame, (host::Rect{560, 240, 800, 600}));
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1000, 700}));
    // The watcher's first pass already took the window from the listing at its new place.
    EXPECT_EQ(fitted()->scWindow, (platform::ShareableWindow{kA, {560, 240, 800, 600}}));
    EXPECT_TRUE(
        logged("window fit: move Editor to (560.0, 240.0) on physical full bounds, actual=(560.0, 240.0, "
               "800.0, 600.0)"));
    EXPECT_EQ(fitter->followHistory(), (host::WindowFollowHistory{{kA}, {kA, kB}}));
    EXPECT_EQ(count("pipeline.stop"), 1);  // the capture moves to the window
    EXPECT_EQ(host.takeStates(), std::vector<State>{active("Editor")});

    // Fitting the same window again keeps the origin from before the first fit.
    fit(kA);
    EXPECT_EQ(fitted()->originalOrigin, (platform::Point{100, 50}));
    host.takeStates();

    host.mapping.targetRect = platform::DisplayRect{560, 240, 800, 600};
    host.mapping.visibleWindowRect = platform::DisplayRect{560, 240, 800, 600};
    unfit();
    EXPECT_FALSE(fitted());
    EXPECT_EQ(desktop->frameOf(kA), kFrameA);
    // Put back unchecked: the controller's queue does not wait for the window manager.
    EXPECT_EQ(count("fit.setPosition 11 100,50 unawaited"), 1);
    EXPECT_TRUE(logged("window fit: restored Editor position"));
    EXPECT_FALSE(host.mapping.targetRect);
    EXPECT_FALSE(host.mapping.visibleWindowRect);
    EXPECT_EQ(host.takeStates(), std::vector<State>{kInactive});
}

TEST_F(WindowFitterTest, PlacementFollowsWhatTheWindowAndItsManagerAllow) {
    struct Case {
        const char* name;
        host::Rect frame;
        bool ignoresMoves = false;
        bool unreadable = false;
        std::optional<std::string> move;
        host::Rect applied;
    };
    const Case cases[] = {
        {"larger than the display", {40, 30, 2400, 1300}, false, false, "fit.setPosition 11 0,0", {0, 0, 2400, 1300}},
        {"already centred", {560, 240, 800, 600}, false, false, std::nullopt, {560, 240, 800, 600}},
        {"move ignored", kFrameA, true, false, "fit.setPosition 11 560,240", kFrameA},
        {"frame unreadable", kFrameA, false, true, "fit.setPosition 11 560,240", {560, 240, 800, 600}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fitter->clear(false, false);
        host.calls->clear();
        *desktop->find(kA)->bounds = c.frame;
        desktop->ignoresMoves = c.ignoresMoves;
        desktop->unreadableFrames = c.unreadable ? std::set<std::uint32_t>{kA} : std::set<std::uint32_t>{};
        fit(kA);
        ASSERT_TRUE(fitted());
        EXPECT_EQ(count("fit.setPosition 11 0,0") + count("fit.setPosition 11 560,240"), c.move ? 1 : 0);
        if (c.move) {
            EXPECT_EQ(count(*c.move), 1);
        }
        EXPECT_EQ(fitted()->appliedFrame, c.applied);
        EXPECT_EQ(fitted()->originalOrigin, (platform::Point{c.frame.x, c.frame.y}));
    }
}

// The window is centred in the display's area without its panels, on the virtual display when
// there is one.
TEST_F(WindowFitterTest, PlacementKeepsToTheVisibleAreaOfTheDisplayInUse) {
    desktop->displays[7] = {1920, 0, 1280, 800};
    host.displays.virtualID = 7;
    fit(kA);
    EXPECT_TRUE(logged("window fit: move Editor to (2160.0, 100.0) on virtual full bounds, actual=(2160.0, 100.0, "
                       "800.0, 600.0)"));

    fitter->clear(false, false);
    host.displays.virtualID.reset();
    host.visibleAreas[1] = {0, 30, 1920, 1000};
    fit(kA);
    EXPECT_TRUE(logged("window fit: move Editor to (560.0, 230.0) on physical visibleFrame, actual=(560.0, 230.0, "
                       "800.0, 600.0)"));
}

// The window manager takes seconds to apply a move: the host queue never waits for it, so a timer
// on it (as the keep-alive's) runs on time while the fit is still placing its window.
TEST_F(WindowFitterTest, AWindowSlowToSettleNeverStallsTheHostQueue) {
    desktop->whileSettling = [&] {
        for (auto* executor : {&queue, &desktop->taskExecutor}) {
            if (executor->isCurrent()) executor->consume(3s);
        }
    };
    const auto startedOnQueue = queue.nowMicros();
    std::optional<std::uint64_t> tickedAt;
    queue.asyncAfter(1s, [&] { tickedAt = queue.nowMicros(); });
    fitter->fitTarget({kA, 1280, 800}, std::nullopt);
    desktop->taskExecutor.runUntilIdle();  // the lookup
    queue.runUntilIdle();                  // the fit asks for the move
    EXPECT_EQ(queue.nowMicros(), startedOnQueue);
    queue.advance(1s);
    EXPECT_EQ(tickedAt, startedOnQueue + 1'000'000);
    ASSERT_TRUE(fitted());
    EXPECT_FALSE(fitted()->scWindow);  // nothing is captured before the window has settled
    EXPECT_EQ(count("fit.observe 11"), 0);

    settle();
    ASSERT_TRUE(fitted());
    EXPECT_EQ(fitted()->appliedFrame, (host::Rect{560, 240, 800, 600}));
    EXPECT_EQ(fitted()->scWindow, (platform::ShareableWindow{kA, {560, 240, 800, 600}}));
    EXPECT_EQ(host.takeStates(), std::vector<State>{active("Editor")});
}

// A fit's placement finishes after the next request for the same window was made: the later
// request decides, and a window moved after an unfit is put back again.
TEST_F(WindowFitterTest, ALatePlacementGivesWayToTheNextFitOrUnfit) {
    auto startFit = [&](std::int64_t width, std::int64_t height) {
        fitter->fitTarget({kA, width, height}, std::nullopt);
        desktop->taskExecutor.runUntilIdle();
        queue.runUntilIdle();
        ASSERT_EQ(count("fit.setPosition 11 560,240"), 0);  // the move still waits on the task queue
    };
    startFit(1000, 700);
    fitter->fitTarget({kA, 1280, 800}, std::nullopt);
    settle();
    ASSERT_TRUE(fitted());
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1280, 800}));
    EXPECT_EQ(fitted()->originalOrigin, (platform::Point{100, 50}));
    EXPECT_EQ(fitted()->appliedFrame, (host::Rect{560, 240, 800, 600}));
    EXPECT_EQ(count("fit.observe 11"), 1);
    EXPECT_EQ(host.takeStates(), std::vector<State>{active("Editor")});

    resetDesktop();
    startFit(1280, 800);
    unfit();
    EXPECT_FALSE(fitted());
    EXPECT_EQ(desktop->frameOf(kA), kFrameA);
    EXPECT_EQ(count("fit.observe 11"), 0);
    EXPECT_EQ(host.takeStates(), std::vector<State>{kInactive});
}

TEST_F(WindowFitterTest, RefusesAbsurdViewportsAndWindowsThatCannotBeFitted) {
    desktop->frontmost = kA;
    for (auto [width, height] : {std::pair<std::int64_t, std::int64_t>{0, 700},
                                 {700, -1},
                                 {40'000, 700},
                                 {(std::int64_t{1} << 32) + 800, 700}}) {
        fit(kA, width, height);
        EXPECT_FALSE(fitted());
        EXPECT_EQ(host.takeStates(), std::vector<State>{kInactive});
        EXPECT_FALSE(fitter->fitFrontmost({width, height}));
    }
    EXPECT_EQ(desktop->taskExecutor.pendingCount(), 0u);

    fit(kA);
    ASSERT_TRUE(fitted());
    host.takeStates();
    // Off screen, one of the host's own, too small, not resolvable, or gone: each clears the fit
    // in force and puts its window back.
    desktop->add(30, kApp, {0, 0, 640, 480}).onScreen = false;
    desktop->add(31, FakeFitWindows::kHostPid, {0, 0, 640, 480});
    desktop->add(32, kApp, {0, 0, 119, 480});
    desktop->add(33, kApp, {0, 0, 640, 480});
    desktop->unresolvable = {33};
    for (std::uint32_t id : {30u, 31u, 32u, 33u, 99u}) {
        fit(id);
        EXPECT_TRUE(logged("window fit target: window " + std::to_string(id) + " not found"));
        EXPECT_FALSE(fitted());
        EXPECT_EQ(desktop->frameOf(kA), kFrameA);
        EXPECT_EQ(host.takeStates(), std::vector<State>{kInactive});
    }
}

TEST_F(WindowFitterTest, OnlyTheLatestRequestsLookupIsUsed) {
    fitter->fitTarget({kA, 1280, 800}, std::nullopt);
    fitter->fitTarget({kB, 1280, 800}, std::nullopt);
    settle();
    ASSERT_TRUE(fitted());
    EXPECT_EQ(fitted()->target.axWindow.window, kB);
    EXPECT_EQ(count("fit.raise 11"), 0);
    EXPECT_EQ(desktop->frameOf(kA), kFrameA);

    // A lookup overtaken by a clearing changes nothing when it comes back.
    fitter->fitTarget({kA, 1280, 800}, std::nullopt);
    desktop->taskExecutor.runUntilIdle();
    fitter->clear(true, true);
    settle();
    EXPECT_FALSE(fitted());
    EXPECT_FALSE(fitter->pending());
    EXPECT_EQ(count("fit.raise 11"), 0);
    EXPECT_EQ(desktop->frameOf(kB), kFrameB);

    // So does one overtaken by another pick of a window (an application's launch).
    fitter->fitTarget({kA, 1280, 800}, std::nullopt);
    ++host.selection;
    settle();
    EXPECT_FALSE(fitted());
    EXPECT_EQ(count("fit.raise 11"), 0);

    // The session's viewport changed while the lookup ran: the fit takes the current one.
    fitter->fitTarget({kA, 1000, 700}, std::nullopt);
    host.session->viewport.width = 1600;
    settle();
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1600, 800}));

    // A viewport given with the request replaces the request's own.
    fitter->fitTarget({kA, 1000, 700}, host::FitViewport{1440, 900});
    settle();
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1440, 900}));
}

TEST_F(WindowFitterTest, WithoutAWindowManagerNothingMovesAndTheDeviceIsTold) {
    desktop->isTrusted = false;
    fit(kA);
    EXPECT_FALSE(fitted());
    EXPECT_EQ(desktop->frameOf(kA), kFrameA);
    EXPECT_EQ(count("fit.raise 11"), 0);
    EXPECT_EQ(count("accessibilityNeeded"), 1);
    EXPECT_EQ(count("pipeline.start"), 1);  // the picture goes back to the display
    EXPECT_EQ(host.takeStates(), std::vector<State>{kInactive});
}

TEST_F(WindowFitterTest, WithoutAWindowSideThereIsNoWindowToFit) {
    fitter = host.make(queue, queue.clock(), nullptr);
    fit(kB);
    EXPECT_TRUE(logged("window fit target: window 12 not found"));
    EXPECT_FALSE(fitter->fitFrontmost({1280, 800}));
    EXPECT_FALSE(fitted());
    EXPECT_EQ(host.takeStates(), std::vector<State>{kInactive});
}

TEST_F(WindowFitterTest, DetachSuspendsTheFitAndResumeFitsAgainAtTheNewViewport) {
    fit(kA);
    host.mapping.targetRect = platform::DisplayRect{560, 240, 800, 600};
    detach();
    EXPECT_TRUE(fitted()->suspended);
    EXPECT_EQ(desktop->frameOf(kA), kFrameA);
    EXPECT_FALSE(host.mapping.targetRect);
    EXPECT_TRUE(logged("window fit: suspended while detached"));
    EXPECT_FALSE(fitter->activeUnsuspended());
    EXPECT_TRUE(fitter->inPlay());
    // The watcher stops with the suspension: nothing is followed while detached.
    pass(4);
    EXPECT_TRUE(fitted()->suspended);

    resume({1600, 900});
    EXPECT_TRUE(logged("window fit: resuming Editor"));
    ASSERT_TRUE(fitted());
    EXPECT_FALSE(fitted()->suspended);
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1600, 900}));
    EXPECT_EQ(fitted()->originalOrigin, (platform::Point{100, 50}));
    EXPECT_EQ(desktop->frameOf(kA), (host::Rect{560, 240, 800, 600}));

    // A resume into a fit still in force only follows the new viewport.
    host.calls->clear();
    resume({1024, 768});
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1024, 768}));
    EXPECT_EQ(count("pipeline.stop"), 1);

    // The end of the session puts the window back at its first origin.
    fitter->clear(true, false);
    EXPECT_FALSE(fitted());
    EXPECT_EQ(desktop->frameOf(kA), kFrameA);
}

TEST_F(WindowFitterTest, ARequestWhileDetachedRunsOnResumeAndAVanishedWindowIsCleared) {
    host.session->detached = true;
    fit(kA, 1000, 700);
    EXPECT_TRUE(logged("window fit: deferred until resume"));
    EXPECT_FALSE(fitted());
    ASSERT_TRUE(fitter->pending());
    resume({1440, 800});
    ASSERT_TRUE(fitted());
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1440, 800}));

    detach();
    desktop->remove(kA);
    resume();
    EXPECT_TRUE(logged("window fit: suspended window is gone, cleared"));
    EXPECT_FALSE(fitted());
    EXPECT_EQ(host.takeStates().back(), kInactive);
}

TEST_F(WindowFitterTest, APausedHostKeepsTheRequestUntilItResumes) {
    host.paused = true;
    fit(kA);
    EXPECT_FALSE(fitted());
    EXPECT_TRUE(fitter->pending());
    EXPECT_TRUE(host.viewportChangedWhilePaused);
    host.paused = false;
    fitter->applyPending();
    settle();
    ASSERT_TRUE(fitted());
}

// Where the fit runs: on the virtual display once it is made, on the physical one without one.
TEST_F(WindowFitterTest, AFitWaitsForItsVirtualDisplay) {
    host.displays.virtualAvailable = true;
    host.displayCreationUnderWay = true;
    fit(kA);
    EXPECT_EQ(count("display.ensure window-fit 1280x800"), 1);
    EXPECT_TRUE(logged("window fit: waiting for virtual display"));
    EXPECT_FALSE(fitted());
    ASSERT_TRUE(fitter->pending());

    // Made: the display's owner runs the pending fit.
    host.displays.virtualID = 1;
    fitter->applyPending();
    settle();
    ASSERT_TRUE(fitted());
    EXPECT_EQ(count("display.ensure window-fit 1280x800"), 1);

    // The fit's end lets the display go, unless display aspect fit keeps it.
    unfit();
    EXPECT_EQ(count("display.release"), 1);
    fit(kA);
    host.displays.aspectFit = true;
    unfit();
    EXPECT_EQ(count("display.release"), 1);
    EXPECT_EQ(count("aspect.schedule"), 1);

    // A physical display with panels needs no virtual display.
    resetDesktop();
    host.displays = {};
    host.displays.virtualAvailable = true;
    host.visibleAreas[1] = {0, 30, 1920, 1000};
    fit(kA);
    EXPECT_TRUE(fitted());
    EXPECT_EQ(count("display.ensure window-fit 1280x800"), 0);
}

TEST_F(WindowFitterTest, AViewportChangeRecapturesAnActiveFitAndOnlyUpdatesAPendingOne) {
    EXPECT_FALSE(fitter->updateVideo({1024, 800}));
    fit(kA);
    host.calls->clear();
    EXPECT_TRUE(fitter->updateVideo({1024, 800}));
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1024, 800}));
    EXPECT_EQ(count("pipeline.stop"), 1);
    EXPECT_TRUE(logged("window fit: video viewport=1024x800 scale=1.0 display=1 displayGeneration=0 fitGeneration=" +
                       std::to_string(fitter->generation())));

    detach();
    fit(kB);
    host.calls->clear();
    EXPECT_TRUE(fitter->updateVideo({1024, 600}));
    EXPECT_EQ(fitter->pending()->viewport, (host::FitViewport{1024, 600}));
    EXPECT_EQ(count("pipeline.stop"), 0);
}

// The second window of the application, in variations that decide whether a focus on it moves the fit.
TEST_F(WindowFitterTest, AFocusedWindowIsFollowedOnlyWhenEligible) {
    struct Case {
        const char* name;
        std::function<void(FakeFitWindows&)> change;
        bool follows;
    };
    const Case cases[] = {
        {"standard", [](FakeFitWindows&) {}, true},
        {"smallest standard",
         [](FakeFitWindows& d) {
             *d.find(kB)->bounds = {0, 0, 200, 120};
         },
         true},
        {"too narrow",
         [](FakeFitWindows& d) {
             *d.find(kB)->bounds = {0, 0, 199, 480};
         },
         false},
        {"too low",
         [](FakeFitWindows& d) {
             *d.find(kB)->bounds = {0, 0, 640, 119};
         },
         false},
        {"not layer 0", [](FakeFitWindows& d) { d.find(kB)->layer = 3; }, false},
        {"no target", [](FakeFitWindows& d) { d.unresolvable = {kB}; }, false},
        {"minimised", [](FakeFitWindows& d) { d.nonstandard[kB] = "AXMinimized=true"; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetDesktop();
        c.change(*desktop);
        fit(kA);
        pass();
        desktop->emit({Kind::focused, kB});
        settle();
        pass();
        EXPECT_EQ(logged("window fit: follow 11 -> 12"), c.follows);
        ASSERT_TRUE(fitted());
        EXPECT_EQ(fitted()->target.axWindow.window, c.follows ? kB : kA);
    }
}

TEST_F(WindowFitterTest, FollowsFocusNewWindowsAndReturnsWhenTheWindowCloses) {
    fit(kA);
    pass();
    desktop->emit({Kind::focused, kB});
    pass();
    ASSERT_TRUE(logged("window fit: follow 11 -> 12"));
    EXPECT_EQ(fitted()->target.axWindow.window, kB);
    EXPECT_EQ(fitted()->originalOrigin, (platform::Point{kFrameB.x, kFrameB.y}));
    EXPECT_EQ(desktop->frameOf(kA), kFrameA);  // the window left behind goes back

    // Within 1.2 s of a follow, focus changes wait.
    pass();
    desktop->emit({Kind::focused, kA});
    pass();
    EXPECT_FALSE(logged("window fit: follow 12 -> 11"));
    pass(2);
    EXPECT_TRUE(logged("window fit: follow 12 -> 11"));

    // A new window of the application is shown as soon as it is listed.
    desktop->add(13, kApp, {0, 0, 500, 400});
    desktop->emit({Kind::created, 13});
    pass(4);
    EXPECT_TRUE(logged("window fit: follow 11 -> 13"));

    // Its end, announced, returns at once to the window shown before it.
    desktop->remove(13);
    desktop->emit({Kind::destroyed, std::nullopt});
    pass(3);
    EXPECT_TRUE(logged("window fit: return 13 -> 11"));
    EXPECT_EQ(fitted()->target.axWindow.window, kA);
}

TEST_F(WindowFitterTest, AWindowGoneForThreeListingsEndsTheFitWhenNothingIsLeft) {
    fit(kA);
    desktop->remove(kB);
    pass();
    host.calls->clear();
    desktop->remove(kA);
    pass(2);
    EXPECT_TRUE(fitted());
    desktop->listingFails = true;  // a failed listing counts as no miss
    pass();
    desktop->listingFails = false;
    EXPECT_TRUE(fitted());
    pass();
    EXPECT_TRUE(logged("window fit: return 11 -> desktop"));
    EXPECT_FALSE(fitted());
    EXPECT_EQ(count("fit.setPosition 11 100,50"), 0);  // nothing to put back
    EXPECT_EQ(count("pipeline.stop"), 1);
    auto states = host.takeStates();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), kInactive);
}

TEST_F(WindowFitterTest, AMovedWindowShiftsThePointerAreaAndAResizedOneIsCapturedAnew) {
    fit(kA);
    pass();
    const platform::ScreenRect frame{560, 240, 800, 600};
    host.geometry = host::WindowCaptureGeometry{frame, {460, 240, 1000, 600}, frame, {}};
    host.calls->clear();
    desktop->find(kA)->bounds->x = 600;  // the user drags it 40 to the right
    pass();
    EXPECT_EQ(host.mapping.targetRect, (platform::DisplayRect{500, 240, 1000, 600}));
    EXPECT_EQ(host.mapping.visibleWindowRect, (platform::DisplayRect{600, 240, 800, 600}));
    EXPECT_EQ(fitted()->appliedFrame, (host::Rect{600, 240, 800, 600}));
    EXPECT_EQ(count("pipeline.stop"), 0);

    desktop->find(kA)->bounds->width = 900;
    pass();
    EXPECT_EQ(count("pipeline.stop"), 1);
}

TEST_F(WindowFitterTest, AnUnreadableIdentityIsRecoveredFromTheListing) {
    desktop->unreadableIDs = {kA};
    const auto target = desktop->targetOf(kA);
    EXPECT_FALSE(fitter->fitFrontmost({1280, 800}));
    desktop->frontmost = kA;
    EXPECT_TRUE(fitter->fitFrontmost({1280, 800}));
    settle();
    ASSERT_TRUE(fitted());
    EXPECT_EQ(fitted()->target.axWindow, target.axWindow);
    EXPECT_EQ(count("fit.observe 11"), 0);
    EXPECT_TRUE(logged("window fit: recovered SC identity id=11"));
    EXPECT_EQ(fitted()->scWindow->id, kA);
}

// Hops that come back after the fitter is gone change nothing.
TEST_F(WindowFitterTest, LateAnswersAfterTheFitterIsGoneAreDropped) {
    fitter->fitTarget({kA, 1280, 800}, std::nullopt);
    desktop->taskExecutor.runUntilIdle();
    fitter.reset();
    settle();
    EXPECT_EQ(desktop->frameOf(kA), kFrameA);
    EXPECT_EQ(count("fit.raise 11"), 0);
}

}  // namespace
}  // namespace orvanta::testing
