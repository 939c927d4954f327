// The client side's content over the real model on virtual time: the connect screen or the session
// view as the session, the side's visibility and immersion say, and the session-shown flag.
#include <gtest/gtest.h>

#include "FakeAppWindow.h"
#include "client/ui/ClientWindow.h"
#include "client/ui/ConnectView.h"
#include "client/ui/UnifiedWindowState.h"
#include "support/FakeServiceBrowser.h"
#include "support/QtWidgetsApp.h"
#include "support/XvfbFixture.h"

namespace orvanta::testing {
namespace {

using client::WindowSide;

class ClientRootTest : public ClientModelTest {
protected:
    ClientRootTest() {
        state = client::UnifiedWindowState::create(executor, model, debug);
        model->setWindowState(state);
    }

    std::shared_ptr<client::UnifiedWindowState> state;
    std::shared_ptr<FakeAppWindow> window = std::make_shared<FakeAppWindow>();
    FakeServiceBrowsers browsers;
};

TEST_F(ClientRootTest, ShowsTheConnectScreenOrTheSessionAsTheSessionSays) {
    ORVANTA_REQUIRE_XVFB();
    qtWidgetsApp();
    client::ClientSideContent content({executor, executor.clock(), model, state, settings, *hub, browsers.factory()});
    std::vector<bool> shown;
    content.sessionVisibilityChanged = [&](bool flag) { shown.push_back(flag); };
    content.show();
    auto* connect = content.connectView();
    EXPECT_EQ(shown, std::vector<bool>{false}) << "told once at the first showing";

    addHost();
    connectAndWelcome();
    EXPECT_FALSE(connect->isVisible()) << "the side is hidden: neither screen is there";
    EXPECT_FALSE(connect->isEnabled());
    EXPECT_FALSE(content.sessionView());
    EXPECT_EQ(shown, (std::vector<bool>{false, true})) << "the flag follows the state while hidden";

    state->attach(window);
    state->show(WindowSide::client);
    content.setSideVisible(true);
    run();
    ASSERT_TRUE(content.sessionView());
    EXPECT_FALSE(connect->isVisible());

    model->setShowingConnectScreen(true);
    EXPECT_TRUE(connect->isVisible());
    EXPECT_FALSE(content.sessionView()) << "absent, not merely hidden";
    model->setShowingConnectScreen(false);
    hostSays(protocol::Notice{protocol::NoticeKind::takenOver});
    EXPECT_TRUE(content.sessionView()) << "a session taken over stays on screen";
    EXPECT_EQ(shown, (std::vector<bool>{false, true, false, true}));

    connectAndWelcome();
    model->setShowingConnectScreen(true);  // the stand-in frame is counted, not decoded, with no view
    frame();
    model->setShowingConnectScreen(false);
    window->enterFullScreen();
    ASSERT_TRUE(state->immersive()());
    model->connection().disconnect();
    run();
    EXPECT_TRUE(content.sessionView()) << "an immersive session keeps its view until full screen ends";
    EXPECT_FALSE(shown.back());
    window->exitFullScreen();
    EXPECT_FALSE(content.sessionView());
    EXPECT_TRUE(connect->isVisible());
}

TEST_F(ClientRootTest, NotesTheFirstImportOfTheStandaloneClientForTheDebugLog) {
    EXPECT_EQ(client::ClientWindow::importNote(*model), "import from standalone client: 0 keys, entries=0")
        << "the import ran at this first start, without a standalone client to copy from";
}

}  // namespace
}  // namespace orvanta::testing
