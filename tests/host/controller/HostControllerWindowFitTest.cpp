#include <gtest/gtest.h>

#include "HostControllerHarness.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kApp = 500;
constexpr std::uint32_t kA = 11;
constexpr std::uint32_t kB = 12;
const host::Rect kFrameA{100, 50, 800, 600};
const host::Rect kFrameB{300, 200, 640, 480};

// Window fit as the controller wires it, on the wire: the fit itself is WindowFitterTest's.
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
        controller->handleControlText(R"({"type":"unfitWindow"})", session);
        settle();
        windowStates();
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
    void fit(std::uint32_t id, std::int64_t width = 1280, std::int64_t height = 800) {
        controller->handleControlText(R"({"type":"fitWindowTarget","windowId":)" + std::to_string(id) +
                                          R"(,"viewportWidth":)" + std::to_string(width) + R"(,"viewportHeight":)" +
                                          std::to_string(height) + "}",
                                      session);
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

TEST_F(HostWindowFitTest, AFitAskedOnTheControlConnectionIsShownAndEndedThere) {
    const auto releasedAll = count("input.releasePointerInputs");
    fit(kA, 1000, 700);
    ASSERT_TRUE(fitted());
    // The pointer's meaning changes: the client's held inputs go, the local user's stay held.
    EXPECT_EQ(count("input.releasePointerInputs"), releasedAll);
    EXPECT_GE(count("input.releaseHeldPointerInputs"), 1);
    EXPECT_EQ(probe().windowPointerState(), host::HostController::WindowPointerState::changing);
    EXPECT_EQ(desktop().frameOf(kA), (host::Rect{560, 240, 800, 600}));
    EXPECT_EQ(count("capture.stop"), 1);  // the capture moves to the window
    EXPECT_EQ(windowStates(), std::vector<base::Json>{active("Editor")});

    fakes.input->inputMapping.targetRect = platform::DisplayRect{560, 240, 800, 600};
    controller->handleControlText(R"({"type":"unfitWindow"})", session);
    settle();
    EXPECT_FALSE(fitted());
    EXPECT_EQ(desktop().frameOf(kA), kFrameA);
    EXPECT_FALSE(fakes.input->inputMapping.targetRect);
    EXPECT_TRUE(logged("window fit: restored Editor position"));
    EXPECT_EQ(windowStates(), std::vector<base::Json>{inactive});

    // No frontmost window to fit: the device is told no fit is shown.
    controller->handleControlText(R"({"type":"fitWindow","viewportWidth":1280,"viewportHeight":800})", session);
    EXPECT_TRUE(logged("window fit: no frontmost target"));
    desktop().frontmost = kB;
    controller->handleControlText(R"({"type":"fitWindow","viewportWidth":1280,"viewportHeight":800})", session);
    settle();
    ASSERT_TRUE(fitted());
    EXPECT_EQ(fitted()->target.axWindow.window, kB);
    EXPECT_EQ(windowStates(), (std::vector<base::Json>{inactive, active("Editor")}));
}

TEST_F(HostWindowFitTest, DetachSuspendsTheFitAndTheSessionsEndPutsItsWindowBack) {
    fit(kA);
    probe().detachSession();
    EXPECT_TRUE(fitted()->suspended);
    EXPECT_EQ(desktop().frameOf(kA), kFrameA);
    EXPECT_TRUE(logged("window fit: suspended while detached"));

    session->detachedAt.reset();
    fit(kA);
    ASSERT_TRUE(fitted());
    EXPECT_FALSE(fitted()->suspended);
    probe().endSession(std::nullopt, "test over");
    EXPECT_FALSE(fitted());
    EXPECT_EQ(desktop().frameOf(kA), kFrameA);
}

TEST_F(HostWindowFitTest, WithoutAWindowManagerNothingMovesAndTheDeviceIsTold) {
    desktop().isTrusted = false;
    fit(kA);
    EXPECT_FALSE(fitted());
    EXPECT_EQ(desktop().frameOf(kA), kFrameA);
    EXPECT_EQ(device.nextText("notice")->at("kind"), "accessibilityNeeded");
    EXPECT_EQ(windowStates(), std::vector<base::Json>{inactive});
}

TEST_F(HostWindowFitTest, APausedHostKeepsTheRequestUntilItResumes) {
    // The pause comes while the window is looked up: paused, control messages ask for no fit.
    controller->handleControlText(R"({"type":"fitWindowTarget","windowId":11,"viewportWidth":1280,"viewportHeight":800})",
                                  session);
    lockScreen(true);
    settle();
    EXPECT_FALSE(fitted());
    EXPECT_TRUE(probe().pendingFit());
    EXPECT_TRUE(session->viewportChangedWhilePaused);
    session->viewportHeight = 720;
    lockScreen(false);
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
        EXPECT_FALSE(probe().aspectFit().creationPending());
    }
}

}  // namespace
}  // namespace orvanta::testing
