// The window state against a scripted window and the real client model on virtual time: side
// switches with their frames, immersion decided at will-enter, leaving during entry, focus
// requests, the settings fit and its restore, the normal-frame capture and closing. Frames are in
// top-left coordinates.
#include "client/ui/UnifiedWindowState.h"

#include <gtest/gtest.h>

#include "FakeAppWindow.h"
#include "client/viewer/ClientModelSupport.h"

namespace orvanta::testing {
namespace {

using client::Point;
using client::Size;
using client::UnifiedWindowState;
using client::WindowSide;
using namespace std::chrono_literals;

class UnifiedWindowStateTest : public ClientModelTest {
protected:
    UnifiedWindowStateTest() {
        state = UnifiedWindowState::create(executor, model, debug);
        model->setWindowState(state);
    }

    void attach() {
        state->attach(window);
        run();
    }
    // A live session on the client side with its first frame shown.
    void sessionWithVideo() {
        addHost();
        state->show(WindowSide::client);
        run();
        connectAndWelcome();
        frame();
    }

    std::shared_ptr<FakeAppWindow> window = std::make_shared<FakeAppWindow>();
    std::shared_ptr<UnifiedWindowState> state;
};

TEST_F(UnifiedWindowStateTest, ShowingASideBeforeAnyWindowAppliesItsFrameOnAdoption) {
    state->show(WindowSide::client);
    run();
    EXPECT_TRUE(model->isPresented());
    EXPECT_EQ(debug->lines.back(), "side: client (session disconnected)");

    attach();
    EXPECT_EQ(window->frame(), (platform::Rect{100, 60, 1280, 788}))
        << "chrome 0 x 28 plus the client's first content size";
    EXPECT_EQ(state->lastNormalFrame(), window->frame());
}

TEST_F(UnifiedWindowStateTest, RemembersEachSidesFrameAcrossSwitches) {
    attach();
    state->show(WindowSide::client);
    run();
    EXPECT_EQ(window->frame(), (platform::Rect{100, 60, 1280, 788}));
    window->userMoves({200, 80, 1000, 700});

    state->show(WindowSide::host);
    run();
    EXPECT_EQ(window->frame(), (platform::Rect{200, 80, 760, 548})) << "the host's size, at the client's top left";
    EXPECT_FALSE(model->isPresented());

    state->show(WindowSide::client);
    run();
    EXPECT_EQ(window->frame(), (platform::Rect{200, 80, 1000, 700}));

    window->takeCalls();
    state->show(WindowSide::client);
    run();
    EXPECT_TRUE(window->takeCalls().empty()) << "the shown side changes nothing";
}

TEST_F(UnifiedWindowStateTest, ShowingTheShownSideOnlyClosesTheSettings) {
    attach();
    state->setSettingsVisible(true);
    state->show(WindowSide::host);
    run();
    EXPECT_FALSE(state->showingSettings()());
    EXPECT_EQ(state->side()(), WindowSide::host);
    EXPECT_TRUE(debug->lines.empty());
}

TEST_F(UnifiedWindowStateTest, ReturnsToAZoomedSideZoomed) {
    attach();
    window->zoom();
    state->show(WindowSide::client);
    run();
    EXPECT_TRUE(state->memory().zoomedSides.contains(WindowSide::host));
    EXPECT_FALSE(state->memory().frameSizes.contains(WindowSide::host))
        << "no normal frame was known yet, so no size is remembered";

    window->zoomed = false;
    window->takeCalls();
    state->show(WindowSide::host);
    run();
    EXPECT_EQ(window->takeCalls(), (std::vector<std::string>{"setFrame", "zoom"}));
}

TEST_F(UnifiedWindowStateTest, CapturesTheNormalFrameOnceTheWindowSettles) {
    attach();
    executor.advance(UnifiedWindowState::kNormalFrameSettle);
    window->userMoves({10, 40, 900, 600});
    executor.advance(UnifiedWindowState::kNormalFrameSettle - 1ms);
    EXPECT_EQ(state->lastNormalFrame(), (platform::Rect{100, 60, 760, 548}));
    executor.advance(1ms);
    EXPECT_EQ(state->lastNormalFrame(), (platform::Rect{10, 40, 900, 600}));

    // A zoomed window leaves its side with the settled frame's size.
    window->zoom();
    executor.advance(UnifiedWindowState::kNormalFrameSettle);
    state->show(WindowSide::client);
    run();
    EXPECT_EQ(state->memory().frameSizes.at(WindowSide::host), (Size{900, 600}));
}

TEST_F(UnifiedWindowStateTest, SwitchesSidesInFullScreenWithoutTouchingTheFrame) {
    attach();
    window->enterFullScreen();
    run();
    window->takeCalls();
    state->show(WindowSide::client);
    run();
    EXPECT_EQ(debug->lines.back(), "side: client (session disconnected) full screen");
    EXPECT_TRUE(window->takeCalls().empty());
    EXPECT_TRUE(state->memory().frameSizes.empty());
}

TEST_F(UnifiedWindowStateTest, DecidesImmersionWhenFullScreenIsAboutToBegin) {
    attach();
    window->surface = std::make_shared<FakeView>(client::ViewportMetrics{{0, 0, 1440, 900}, 1});
    sessionWithVideo();
    EXPECT_EQ(window->takeCalls().back(), "setFrame");

    state->videoBecameAvailable(true);
    EXPECT_EQ(window->takeCalls(), std::vector<std::string>{"toggleFullScreen"});
    window->enterFullScreen();
    EXPECT_TRUE(state->immersive()());
    EXPECT_TRUE(state->isFullScreen()());
    EXPECT_EQ(window->takeCalls(), std::vector<std::string>{"focusVideo"});

    state->endImmersiveSession();
    EXPECT_EQ(window->takeCalls(), std::vector<std::string>{"toggleFullScreen"});
    window->exitFullScreen();
    EXPECT_FALSE(state->immersive()());

    hostSays(protocol::Notice{protocol::NoticeKind::locked});
    window->enterFullScreen();
    EXPECT_FALSE(state->immersive()()) << "a locked host shows no video to be immersed in";
}

TEST_F(UnifiedWindowStateTest, LeavingDuringEntryWaitsOneTurnAfterItCompletes) {
    attach();
    sessionWithVideo();
    window->beginEntering();
    ASSERT_TRUE(state->immersive()());
    window->takeCalls();
    state->endImmersiveSession();
    EXPECT_TRUE(window->takeCalls().empty()) << "not while full screen is still being entered";
    window->finishEntering();
    EXPECT_TRUE(window->takeCalls().empty()) << "not in the same turn as did-enter";
    run();
    EXPECT_EQ(window->takeCalls(), std::vector<std::string>{"toggleFullScreen"});
}

TEST_F(UnifiedWindowStateTest, FocusWaitsForFullScreenToEndAndReleasesInputFirst) {
    attach();
    sessionWithVideo();
    window->enterFullScreen();
    ASSERT_TRUE(state->immersive()());

    state->focusNavigation();
    EXPECT_EQ(state->navigationRequest()(), 0);
    run();
    window->exitFullScreen();
    EXPECT_EQ(state->navigationRequest()(), 0) << "one turn after did-exit";
    run();
    EXPECT_EQ(state->navigationRequest()(), 1);

    state->focusNavigation();
    EXPECT_EQ(state->navigationRequest()(), 2) << "at once when not immersive";
}

TEST_F(UnifiedWindowStateTest, FitsTheWindowToTheSettingsAndGivesBackItsHeight) {
    attach();
    state->fitSettings(400);
    EXPECT_EQ(window->frame(), (platform::Rect{100, 60, 760, 548})) << "no fit while the settings page is closed";

    state->setSettingsVisible(true);
    state->fitSettings(400.2);
    EXPECT_EQ(window->frame(), (platform::Rect{100, 60, 760, 468})) << "ceil(400.2 + 38 + 1 + 28)";
    state->fitSettings(500);
    EXPECT_EQ(window->frame(), (platform::Rect{100, 60, 760, 567}));

    window->userMoves({300, 90, 800, 567});
    state->setSettingsVisible(false);
    EXPECT_EQ(window->frame(), (platform::Rect{300, 90, 800, 548}))
        << "the user's position and width, the earlier height";
}

TEST_F(UnifiedWindowStateTest, FitsTheSettingsOnlyOnceFullScreenHasEnded) {
    attach();
    window->enterFullScreen();
    state->setSettingsVisible(true);
    window->takeCalls();
    state->fitSettings(400);
    EXPECT_TRUE(window->takeCalls().empty());
    window->exitFullScreen();
    EXPECT_EQ(window->frame(), (platform::Rect{100, 60, 760, 467}));
}

TEST_F(UnifiedWindowStateTest, ClosingEndsOnlyALiveSessionAndResetsTheShell) {
    attach();
    sessionWithVideo();
    hostSays(protocol::Notice{protocol::NoticeKind::takenOver});
    model->setShowingConnectScreen(true);
    window->close();
    EXPECT_EQ(model->session().state(), client::ConnectionManager::State::takenOver) << "an ended session stays";
    EXPECT_FALSE(model->showingConnectScreen()());
    EXPECT_FALSE(model->isPresented());
    EXPECT_EQ(state->side()(), WindowSide::host);
    EXPECT_EQ(debug->lines.back(), "window closed: session disconnected, host keeps listening");
    EXPECT_FALSE(state->bringToFront()) << "the window is released";

    // Shown again, it is a new window to the state.
    window->shown = true;
    attach();
    connectAndWelcome();
    window->close();
    run();
    EXPECT_EQ(model->session().state(), client::ConnectionManager::State::disconnected);
    EXPECT_TRUE(state->memory().frameSizes.contains(WindowSide::host)) << "remembered sizes survive a close";
}

TEST_F(UnifiedWindowStateTest, BringsForwardOnlyAWindowThatIsThere) {
    EXPECT_FALSE(state->bringToFront());
    attach();
    window->minimized = true;
    EXPECT_TRUE(state->bringToFront());
    EXPECT_EQ(window->takeCalls(), (std::vector<std::string>{"deminiaturize", "activate"}));
    window->shown = false;
    EXPECT_FALSE(state->bringToFront());
}

}  // namespace
}  // namespace orvanta::testing
