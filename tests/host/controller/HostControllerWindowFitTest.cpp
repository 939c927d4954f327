#include <gtest/gtest.h>

#include "HostControllerHarness.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;
using Event = host::HostFitWindows::FollowEvent;
using Kind = Event::Kind;

constexpr std::int32_t kApp = 500;
constexpr std::uint32_t kA = 11;
constexpr std::uint32_t kB = 12;
const host::Rect kFrameA{100, 50, 800, 600};
const host::Rect kFrameB{300, 200, 640, 480};

class HostWindowFitTest : public HostControllerTest {
protected:
    void SetUp() override {
        create();
        session = authenticatedSession(device);
        session->viewportWidth = 1280;
        session->viewportHeight = 800;
        desktop().add(kB, kApp, kFrameB);
        desktop().add(kA, kApp, kFrameA);
        probe().capture() = std::make_shared<FakeHostCapture>(fakes.log);
    }

    FakeFitWindows& desktop() { return *fakes.fitWindows; }
    // No fit, and the application's two windows where they started.
    void resetDesktop() {
        probe().clearWindowFit(false, false);
        desktop().list.clear();
        desktop().unresolvable.clear();
        desktop().nonstandard.clear();
        desktop().add(kB, kApp, kFrameB);
        desktop().add(kA, kApp, kFrameA);
        logs.clear();
        fakes.log->clear();
    }

    // Runs the controller's queue and the window tasks until neither has anything left.
    void settle() {
        while (queue.runUntilIdle() + desktop().taskExecutor.runUntilIdle() + main.runUntilIdle() +
                   utility.runUntilIdle() >
               0) {
        }
    }
    // One watcher interval of virtual time on both.
    void pass(int count = 1) {
        for (int i = 0; i < count; ++i) {
            queue.advance(500ms);
            desktop().taskExecutor.advance(500ms);
            settle();
        }
    }
    void fit(std::uint32_t id, std::int64_t width = 1280, std::int64_t height = 800) {
        probe().applyWindowFitTarget({id, width, height});
        settle();
    }
    // The window states the device got since the last call: a window list request marks the end.
    std::vector<base::Json> windowStates() {
        controller->handleControlText(R"({"type":"windowListRequest"})", session);
        std::vector<base::Json> states;
        drive([&] { return utility.runUntilIdle() + queue.runUntilIdle() == 0; });
        while (auto text = device.nextText()) {
            if (text->at("type") == "windowList") break;
            if (text->at("type") == "windowState") states.push_back(*text);
        }
        return states;
    }
    static base::Json active(const std::string& app) {
        return {{"type", "windowState"}, {"active", true}, {"appName", app}};
    }
    const base::Json inactive{{"type", "windowState"}, {"active", false}};
    std::optional<host::WindowFit>& fitted() { return probe().windowFit(); }
    long count(std::string_view call) const { return std::ranges::count(*fakes.log, call); }

    LinkedConnection device = link();
    std::shared_ptr<host::HostController::Session> session;
};

TEST_F(HostWindowFitTest, FitsAWindowByIdCentredOnTheDisplayAndPutsItBack) {
    const auto releasedAll = count("input.releasePointerInputs");
    fit(kA, 1000, 700);
    ASSERT_TRUE(fitted());
    // The pointer's meaning changes: the client's held inputs go, the local user's stay held.
    EXPECT_EQ(count("input.releasePointerInputs"), releasedAll);
    EXPECT_GE(count("input.releaseHeldPointerInputs"), 1);
    EXPECT_EQ(count("fit.resume 500"), 1);  // a stopped application runs again before it is raised
    EXPECT_EQ(count("fit.raise 11"), 1);
    EXPECT_EQ(desktop().frameOf(kA), (host::Rect{560, 240, 800, 600}));
    EXPECT_EQ(fitted()->originalOrigin, (platform::Point{100, 50}));
    EXPECT_EQ(fitted()->appliedFrame, (host::Rect{560, 240, 800, 600}));
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1000, 700}));
    // The watcher's first pass already took the window from the listing at its new place.
    EXPECT_EQ(fitted()->scWindow, (platform::ShareableWindow{kA, {560, 240, 800, 600}}));
    EXPECT_TRUE(
        logged("window fit: move Editor to (560.0, 240.0) on physical full bounds, actual=(560.0, 240.0, "
               "800.0, 600.0)"));
    EXPECT_EQ(probe().followHistory(), (host::WindowFollowHistory{{kA}, {kA, kB}}));
    EXPECT_EQ(probe().windowPointerState(), host::HostController::WindowPointerState::changing);
    EXPECT_EQ(count("capture.stop"), 1);  // the capture moves to the window
    EXPECT_EQ(windowStates(), std::vector<base::Json>{active("Editor")});

    // Fitting the same window again keeps the origin from before the first fit.
    fit(kA);
    EXPECT_EQ(fitted()->originalOrigin, (platform::Point{100, 50}));

    controller->handleControlText(R"({"type":"unfitWindow"})", session);
    settle();
    EXPECT_FALSE(fitted());
    EXPECT_EQ(desktop().frameOf(kA), kFrameA);
    // Put back unchecked: the controller's queue does not wait for the window manager.
    EXPECT_EQ(count("fit.setPosition 11 100,50 unawaited"), 1);
    EXPECT_TRUE(logged("window fit: restored Editor position"));
    EXPECT_EQ(windowStates(), (std::vector<base::Json>{active("Editor"), inactive}));
}

TEST_F(HostWindowFitTest, PlacementFollowsWhatTheWindowAndItsManagerAllow) {
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
        probe().clearWindowFit(false, false);
        fakes.log->clear();
        *desktop().find(kA)->bounds = c.frame;
        desktop().ignoresMoves = c.ignoresMoves;
        desktop().unreadableFrames = c.unreadable ? std::set<std::uint32_t>{kA} : std::set<std::uint32_t>{};
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

// The window manager takes seconds to apply a move: the host queue never waits for it, so a timer
// on it (as the keep-alive's) runs on time while the fit is still placing its window.
TEST_F(HostWindowFitTest, AWindowSlowToSettleNeverStallsTheHostQueue) {
    desktop().whileSettling = [&] {
        for (auto* executor : {&queue, &desktop().taskExecutor}) {
            if (executor->isCurrent()) executor->consume(3s);
        }
    };
    const auto startedOnQueue = queue.nowMicros();
    std::optional<std::uint64_t> tickedAt;
    queue.asyncAfter(1s, [&] { tickedAt = queue.nowMicros(); });
    probe().applyWindowFitTarget({kA, 1280, 800});
    desktop().taskExecutor.runUntilIdle();  // the lookup
    queue.runUntilIdle();                   // the fit asks for the move
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
    EXPECT_EQ(windowStates(), std::vector<base::Json>{active("Editor")});
}

// A fit's placement finishes after the next request for the same window was made: the later
// request decides, and a window moved after an unfit is put back again.
TEST_F(HostWindowFitTest, ALatePlacementGivesWayToTheNextFitOrUnfit) {
    auto startFit = [&](std::int64_t width, std::int64_t height) {
        probe().applyWindowFitTarget({kA, width, height});
        desktop().taskExecutor.runUntilIdle();
        queue.runUntilIdle();
        ASSERT_EQ(count("fit.setPosition 11 560,240"), 0);  // the move still waits on the task queue
    };
    startFit(1000, 700);
    probe().applyWindowFitTarget({kA, 1280, 800});
    settle();
    ASSERT_TRUE(fitted());
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1280, 800}));
    EXPECT_EQ(fitted()->originalOrigin, (platform::Point{100, 50}));
    EXPECT_EQ(fitted()->appliedFrame, (host::Rect{560, 240, 800, 600}));
    EXPECT_EQ(count("fit.observe 11"), 1);
    EXPECT_EQ(windowStates(), std::vector<base::Json>{active("Editor")});

    resetDesktop();
    startFit(1280, 800);
    controller->handleControlText(R"({"type":"unfitWindow"})", session);
    settle();
    EXPECT_FALSE(fitted());
    EXPECT_EQ(desktop().frameOf(kA), kFrameA);
    EXPECT_EQ(count("fit.observe 11"), 0);
    EXPECT_EQ(windowStates(), std::vector<base::Json>{inactive});
}

TEST_F(HostWindowFitTest, RefusesAbsurdViewportsAndWindowsThatCannotBeFitted) {
    for (auto [width, height] : {std::pair<std::int64_t, std::int64_t>{0, 700},
                                 {700, -1},
                                 {40'000, 700},
                                 {(std::int64_t{1} << 32) + 800, 700}}) {
        fit(kA, width, height);
        EXPECT_FALSE(fitted());
        EXPECT_EQ(windowStates(), std::vector<base::Json>{inactive});
    }
    EXPECT_EQ(desktop().taskExecutor.pendingCount(), 0u);

    fit(kA);
    ASSERT_TRUE(fitted());
    windowStates();
    // Off screen, one of the host's own, too small, not resolvable, or gone: each clears the fit
    // in force and puts its window back.
    desktop().add(30, kApp, {0, 0, 640, 480}).onScreen = false;
    desktop().add(31, FakeFitWindows::kHostPid, {0, 0, 640, 480});
    desktop().add(32, kApp, {0, 0, 119, 480});
    desktop().add(33, kApp, {0, 0, 640, 480});
    desktop().unresolvable = {33};
    for (std::uint32_t id : {30u, 31u, 32u, 33u, 99u}) {
        fit(id);
        EXPECT_TRUE(logged("window fit target: window " + std::to_string(id) + " not found"));
        EXPECT_FALSE(fitted());
        EXPECT_EQ(desktop().frameOf(kA), kFrameA);
        EXPECT_EQ(windowStates(), std::vector<base::Json>{inactive});
    }
}

TEST_F(HostWindowFitTest, OnlyTheLatestRequestsLookupIsUsed) {
    probe().applyWindowFitTarget({kA, 1280, 800});
    probe().applyWindowFitTarget({kB, 1280, 800});
    settle();
    ASSERT_TRUE(fitted());
    EXPECT_EQ(fitted()->target.axWindow.window, kB);
    EXPECT_EQ(count("fit.raise 11"), 0);
    EXPECT_EQ(desktop().frameOf(kA), kFrameA);

    // A lookup overtaken by a clearing changes nothing when it comes back.
    probe().applyWindowFitTarget({kA, 1280, 800});
    desktop().taskExecutor.runUntilIdle();
    probe().clearWindowFit(true, true);
    settle();
    EXPECT_FALSE(fitted());
    EXPECT_FALSE(probe().pendingFit());
    EXPECT_EQ(count("fit.raise 11"), 0);
    EXPECT_EQ(desktop().frameOf(kB), kFrameB);

    // The session's viewport changed while the lookup ran: the fit takes the current one.
    probe().applyWindowFitTarget({kA, 1000, 700});
    session->viewportWidth = 1600;
    settle();
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1600, 800}));
}

TEST_F(HostWindowFitTest, WithoutAWindowManagerNothingMovesAndTheDeviceIsTold) {
    desktop().isTrusted = false;
    fit(kA);
    EXPECT_FALSE(fitted());
    EXPECT_EQ(desktop().frameOf(kA), kFrameA);
    EXPECT_EQ(count("fit.raise 11"), 0);
    EXPECT_EQ(device.nextText("notice")->at("kind"), "accessibilityNeeded");
    EXPECT_EQ(windowStates(), std::vector<base::Json>{inactive});
}

TEST_F(HostWindowFitTest, WithoutAWindowSideThereIsNoWindowToFit) {
    fit(kA);
    probe().detachSession();
    probe().fitWindows() = nullptr;
    session->detachedAt.reset();
    probe().resumeWindowFit();
    settle();
    EXPECT_TRUE(logged("window fit: suspended window is gone, cleared"));
    fit(kB);
    EXPECT_TRUE(logged("window fit target: window 12 not found"));
    controller->handleControlText(R"({"type":"fitWindow","viewportWidth":1280,"viewportHeight":800})", session);
    EXPECT_TRUE(logged("window fit: no frontmost target"));
    EXPECT_FALSE(fitted());
    EXPECT_EQ(windowStates(), (std::vector<base::Json>{active("Editor"), inactive, inactive, inactive}));
}

TEST_F(HostWindowFitTest, DetachSuspendsTheFitAndResumeFitsAgainAtTheNewViewport) {
    fit(kA);
    probe().detachSession();
    EXPECT_TRUE(fitted()->suspended);
    EXPECT_EQ(desktop().frameOf(kA), kFrameA);
    EXPECT_TRUE(logged("window fit: suspended while detached"));

    session->detachedAt.reset();
    auto resumed = authenticatedSession(device);
    resumed->viewportWidth = 1600;
    resumed->viewportHeight = 900;
    probe().resumeWindowFit();
    settle();
    EXPECT_TRUE(logged("window fit: resuming Editor"));
    ASSERT_TRUE(fitted());
    EXPECT_FALSE(fitted()->suspended);
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1600, 900}));
    EXPECT_EQ(fitted()->originalOrigin, (platform::Point{100, 50}));
    EXPECT_EQ(desktop().frameOf(kA), (host::Rect{560, 240, 800, 600}));

    // The end of the session puts the window back at its first origin.
    probe().endSession(std::nullopt, "test over");
    EXPECT_FALSE(fitted());
    EXPECT_EQ(desktop().frameOf(kA), kFrameA);
}

TEST_F(HostWindowFitTest, ARequestWhileDetachedRunsOnResumeAndAVanishedWindowIsCleared) {
    probe().detachSession();
    fit(kA, 1000, 700);
    EXPECT_TRUE(logged("window fit: deferred until resume"));
    EXPECT_FALSE(fitted());
    ASSERT_TRUE(probe().pendingFit());
    session->detachedAt.reset();
    session->viewportWidth = 1440;
    probe().resumeWindowFit();
    settle();
    ASSERT_TRUE(fitted());
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1440, 800}));

    probe().detachSession();
    desktop().remove(kA);
    session->detachedAt.reset();
    probe().resumeWindowFit();
    settle();
    EXPECT_TRUE(logged("window fit: suspended window is gone, cleared"));
    EXPECT_FALSE(fitted());
}

TEST_F(HostWindowFitTest, APausedHostKeepsTheRequestUntilItResumes) {
    probe().pausedFlag() = true;
    fit(kA);
    EXPECT_FALSE(fitted());
    EXPECT_TRUE(session->viewportChangedWhilePaused);
    session->viewportHeight = 720;
    probe().setPaused(false);
    settle();
    ASSERT_TRUE(fitted());
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1280, 720}));
}

TEST_F(HostWindowFitTest, PointerInputWaitsWhileAFitIsPending) {
    probe().detachSession();
    fit(kA);
    session->detachedAt.reset();
    ASSERT_TRUE(probe().pendingFit());
    probe().windowPointerState() = host::HostController::WindowPointerState::awaitingFrame;
    probe().awaitedPointerGen() = 4;
    controller->handleControlText(R"({"type":"ack","gen":4,"seq":1,"t":0})", session);
    EXPECT_EQ(probe().windowPointerState(), host::HostController::WindowPointerState::awaitingFrame);
    probe().pendingFit().reset();
    controller->handleControlText(R"({"type":"ack","gen":4,"seq":2,"t":0})", session);
    EXPECT_EQ(probe().windowPointerState(), host::HostController::WindowPointerState::ready);
}

TEST_F(HostWindowFitTest, AViewportChangeRecapturesAnActiveFitAndOnlyUpdatesAPendingOne) {
    EXPECT_FALSE(probe().updateWindowVideo());
    fit(kA);
    fakes.log->clear();
    probe().capture() = std::make_shared<FakeHostCapture>(fakes.log);
    session->viewportWidth = 1024;
    EXPECT_TRUE(probe().updateWindowVideo());
    EXPECT_EQ(fitted()->viewport, (host::FitViewport{1024, 800}));
    EXPECT_EQ(count("capture.stop"), 1);
    EXPECT_TRUE(logged("window fit: video viewport=1024x800 scale=1.0 display=1 displayGeneration=0 fitGeneration=" +
                       std::to_string(probe().fitGeneration())));

    probe().detachSession();
    fit(kB);
    fakes.log->clear();
    session->viewportHeight = 600;
    EXPECT_TRUE(probe().updateWindowVideo());
    EXPECT_EQ(probe().pendingFit()->viewport, (host::FitViewport{1024, 600}));
    EXPECT_EQ(count("capture.stop"), 0);
}

// The second window of the application, in variations that decide whether a focus on it moves the fit.
TEST_F(HostWindowFitTest, AFocusedWindowIsFollowedOnlyWhenEligible) {
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
        c.change(desktop());
        fit(kA);
        pass();
        desktop().emit({Kind::focused, kB});
        settle();
        pass();
        EXPECT_EQ(logged("window fit: follow 11 -> 12"), c.follows);
        ASSERT_TRUE(fitted());
        EXPECT_EQ(fitted()->target.axWindow.window, c.follows ? kB : kA);
    }
}

TEST_F(HostWindowFitTest, FollowsFocusNewWindowsAndReturnsWhenTheWindowCloses) {
    fit(kA);
    pass();
    desktop().emit({Kind::focused, kB});
    pass();
    ASSERT_TRUE(logged("window fit: follow 11 -> 12"));
    EXPECT_EQ(fitted()->target.axWindow.window, kB);
    EXPECT_EQ(fitted()->originalOrigin, (platform::Point{kFrameB.x, kFrameB.y}));
    EXPECT_EQ(desktop().frameOf(kA), kFrameA);  // the window left behind goes back

    // Within 1.2 s of a follow, focus changes wait.
    pass();
    desktop().emit({Kind::focused, kA});
    pass();
    EXPECT_FALSE(logged("window fit: follow 12 -> 11"));
    pass(2);
    EXPECT_TRUE(logged("window fit: follow 12 -> 11"));

    // A new window of the application is shown as soon as it is listed.
    desktop().add(13, kApp, {0, 0, 500, 400});
    desktop().emit({Kind::created, 13});
    pass(4);
    EXPECT_TRUE(logged("window fit: follow 11 -> 13"));

    // Its end, announced, returns at once to the window shown before it.
    desktop().remove(13);
    desktop().emit({Kind::destroyed, std::nullopt});
    pass(3);
    EXPECT_TRUE(logged("window fit: return 13 -> 11"));
    EXPECT_EQ(fitted()->target.axWindow.window, kA);
}

TEST_F(HostWindowFitTest, AWindowGoneForThreeListingsEndsTheFitWhenNothingIsLeft) {
    fit(kA);
    desktop().remove(kB);
    pass();
    fakes.log->clear();
    probe().capture() = std::make_shared<FakeHostCapture>(fakes.log);
    desktop().remove(kA);
    pass(2);
    EXPECT_TRUE(fitted());
    desktop().listingFails = true;  // a failed listing counts as no miss
    pass();
    desktop().listingFails = false;
    EXPECT_TRUE(fitted());
    pass();
    EXPECT_TRUE(logged("window fit: return 11 -> desktop"));
    EXPECT_FALSE(fitted());
    EXPECT_EQ(count("fit.setPosition 11 100,50"), 0);  // nothing to put back
    EXPECT_EQ(count("capture.stop"), 1);
    auto states = windowStates();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), inactive);
}

TEST_F(HostWindowFitTest, AMovedWindowShiftsThePointerAreaAndAResizedOneIsCapturedAnew) {
    fit(kA);
    pass();
    const platform::ScreenRect frame{560, 240, 800, 600};
    probe().streamingWindowGeometry() = host::WindowCaptureGeometry{frame, {460, 240, 1000, 600}, frame, {}};
    fakes.log->clear();
    desktop().find(kA)->bounds->x = 600;  // the user drags it 40 to the right
    pass();
    EXPECT_EQ(fakes.input->inputMapping.targetRect, (platform::DisplayRect{500, 240, 1000, 600}));
    EXPECT_EQ(fakes.input->inputMapping.visibleWindowRect, (platform::DisplayRect{600, 240, 800, 600}));
    EXPECT_EQ(fitted()->appliedFrame, (host::Rect{600, 240, 800, 600}));
    EXPECT_EQ(count("capture.stop"), 0);

    probe().capture() = std::make_shared<FakeHostCapture>(fakes.log);
    desktop().find(kA)->bounds->width = 900;
    pass();
    EXPECT_EQ(count("capture.stop"), 1);
}

TEST_F(HostWindowFitTest, AnUnreadableIdentityIsRecoveredFromTheListing) {
    desktop().unreadableIDs = {kA};
    const auto target = desktop().targetOf(kA);
    controller->handleControlText(R"({"type":"fitWindow","viewportWidth":1280,"viewportHeight":800})", session);
    EXPECT_TRUE(logged("window fit: no frontmost target"));
    desktop().frontmost = kA;
    controller->handleControlText(R"({"type":"fitWindow","viewportWidth":1280,"viewportHeight":800})", session);
    settle();
    ASSERT_TRUE(fitted());
    EXPECT_EQ(fitted()->target.axWindow, target.axWindow);
    EXPECT_EQ(count("fit.observe 11"), 0);
    EXPECT_TRUE(logged("window fit: recovered SC identity id=11"));
    EXPECT_EQ(fitted()->scWindow->id, kA);
}

// A display system that offers virtual displays but never makes one, as a server whose screen
// cannot grow past its size.
class HostWindowFitNoDisplayTest : public HostWindowFitTest {
protected:
    static constexpr std::uint32_t kLaunched = 77;  // the window the launched application shows

    void SetUp() override {
        fakes.virtualDisplaysAvailable = true;
        HostWindowFitTest::SetUp();
        desktop().add(kLaunched, 4242, kFrameB);
        controlFakes.apps->installed = {"editor.desktop"};
    }
    // Virtual time in 50 ms steps on every queue, the display queue among them, until `done` holds
    // or `limit` has passed; the time it took.
    std::chrono::milliseconds runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        auto passed = 0ms;
        for (; passed < limit && !done(); passed += 50ms) {
            for (auto* executor : {&queue, &main, &desktop().taskExecutor}) executor->advance(50ms);
            while (fakes.displays->queue.runUntilIdle() + queue.runUntilIdle() + main.runUntilIdle() +
                       utility.runUntilIdle() + desktop().taskExecutor.runUntilIdle() >
                   0) {
            }
        }
        return passed;
    }
    long creations() const {
        return std::ranges::count_if(*fakes.log,
                                     [](const std::string& line) { return line.starts_with("displays.create"); });
    }
};

TEST_F(HostWindowFitNoDisplayTest, FitAndLaunchAreAnsweredOnThePhysicalDisplayWithoutLooping) {
    struct Case {
        const char* name;
        std::string request;
        std::chrono::milliseconds answerWithin;  // what the device waits before it gives up
    };
    const Case cases[] = {
        {"fit", R"({"type":"fitWindowTarget","windowId":11,"viewportWidth":1280,"viewportHeight":800})", 10s},
        {"launch", R"({"type":"launchapp","bundleId":"editor.desktop"})", 15s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetDesktop();
        desktop().add(kLaunched, 4242, kFrameB);
        fakes.displays->createResults.assign(100, false);
        controller->handleControlText(c.request, session);
        EXPECT_LT(runUntil([&] { return fitted().has_value(); }, c.answerWithin), c.answerWithin);
        EXPECT_EQ(windowStates(), std::vector<base::Json>{active("Editor")});
        EXPECT_TRUE(
            logged("virtual display: destroying id=pending (creation failed, continuing with physical display)"));
        // Long after, the display was asked for four times and no more.
        runUntil([] { return false; }, 60s);
        EXPECT_EQ(creations(), 4);
        EXPECT_FALSE(probe().virtualDisplayPending());
    }
}

}  // namespace
}  // namespace orvanta::testing
