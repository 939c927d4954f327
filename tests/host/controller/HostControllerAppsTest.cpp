// The application list, the launch and the window list, against a fake desktop and fake sessions.
#include <gtest/gtest.h>

#include "HostControllerHarness.h"
#include "host/controller/AppsAndWindows.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;
using protocol::ControlMessage;

class HostAppsTest : public HostControllerTest {
protected:
    void SetUp() override {
        apps = std::make_shared<host::AppsAndWindows>(queue, main, utility, queue.clock(), controlFakes.apps);
        apps->setCallbacks(
            {.mayUseCatalog = [this](const host::WebSocketConnection&) { return entitled; },
             .servesControl = [this](const host::WebSocketConnection&) { return served; },
             .viewport = [this] { return viewport; },
             .beginSelection = [this] { return ++selection; },
             .selection = [this] { return selection; },
             .fitWindow = [this](std::uint32_t windowId) { fitted.push_back(windowId); },
             .send = [](host::WebSocketConnection& connection,
                        const ControlMessage& message) { connection.sendText(message.jsonString().value()); }});
    }

    void settle() {
        drive([&] { return queue.runUntilIdle() + main.runUntilIdle() + utility.runUntilIdle() == 0; });
    }
    void launch(const std::string& bundleId) {
        apps->launchApp(bundleId, device.connection);
        settle();
    }
    void listWindows() {
        apps->requestWindowList(device.connection);
        settle();
    }
    // Virtual time in steps of the window poll, with every hop run between them.
    void wait(std::chrono::microseconds total) {
        for (auto passed = 0us; passed < total; passed += 50ms) {
            queue.advance(50ms);
            main.advance(50ms);
            settle();
        }
    }
    // The next text the device gets, after a window list that marks where the replies end.
    base::Json nextAfterLaunch() {
        listWindows();
        return *device.nextText();
    }

    LinkedConnection device = link();
    std::shared_ptr<host::AppsAndWindows> apps;
    bool entitled = true;
    bool served = true;
    std::optional<std::pair<int, int>> viewport = std::pair{1280, 800};
    std::uint64_t selection = 0;
    std::vector<std::uint32_t> fitted;
    const base::Json launchFailed{
        {"type", "notice"}, {"kind", "appLaunchFailed"}, {"message", "アプリのウィンドウを開けませんでした"}};
};

TEST_F(HostAppsTest, AppListAnswersEachConnectionOnceWhileEntitled) {
    controlFakes.apps->entries.entries = {{"editor.desktop", "Editor", true, true}};
    controlFakes.apps->entries.icons = {{"editor.desktop", base::Bytes{1, 2}}};
    apps->sendAppList(device.connection);
    apps->sendAppList(device.connection);
    settle();
    EXPECT_EQ(std::ranges::count(*fakes.log, "apps.entries 0"), 1);
    const protocol::AppList expected{controlFakes.apps->entries.entries, controlFakes.apps->entries.icons};
    EXPECT_EQ(device.nextText(), base::Json::parse(ControlMessage(expected).jsonString().value()));

    // No longer entitled (paused, say) by the time the list is back: nothing is sent.
    apps->sendAppList(device.connection);
    entitled = false;
    settle();
    EXPECT_EQ(std::ranges::count(*fakes.log, "apps.entries 0"), 2);
    listWindows();
    EXPECT_EQ(device.nextText()->at("type"), "windowList");
}

TEST_F(HostAppsTest, LaunchNeedsAViewportAndAnswersAnUnknownApplication) {
    for (auto missing :
         {std::optional<std::pair<int, int>>{}, std::optional{std::pair{0, 800}}, std::optional{std::pair{1280, 0}}}) {
        viewport = missing;
        launch("editor.desktop");
    }
    EXPECT_TRUE(fakes.log->empty());
    viewport = std::pair{1280, 800};
    for (const char* id : {"nothing.desktop", "../evil.desktop"}) {
        launch(id);
        EXPECT_EQ(device.nextText(), launchFailed);
    }
    EXPECT_TRUE(fitted.empty());
}

TEST_F(HostAppsTest, LaunchWaitsEightSecondsForTheWindow) {
    controlFakes.apps->installed = {"editor.desktop"};
    controlFakes.apps->windowAfter = 8;  // shows at the ninth look, 2.8 s in
    launch("editor.desktop");
    wait(3s);
    EXPECT_EQ(controlFakes.apps->polls, 9);
    EXPECT_EQ(fitted, std::vector<std::uint32_t>{77});
    EXPECT_EQ(nextAfterLaunch().at("type"), "windowList");  // fitted: no failure notice

    controlFakes.apps->polls = 0;
    controlFakes.apps->windowAfter = 1000;
    launch("editor.desktop");
    wait(7900ms);
    EXPECT_EQ(controlFakes.apps->polls, 23);
    wait(500ms);
    EXPECT_EQ(controlFakes.apps->polls, 24);
    EXPECT_EQ(device.nextText(), launchFailed);
}

TEST_F(HostAppsTest, ANewSelectionDuringALaunchEndsItSilently) {
    controlFakes.apps->installed = {"editor.desktop"};
    controlFakes.apps->windowAfter = 1000;
    launch("editor.desktop");
    launch("editor.desktop");  // ignored while one runs
    EXPECT_EQ(std::ranges::count(*fakes.log, "apps.launch editor.desktop"), 1);
    ++selection;  // a window picked meanwhile
    wait(9s);
    EXPECT_EQ(nextAfterLaunch().at("type"), "windowList");
    EXPECT_TRUE(fitted.empty());
}

TEST_F(HostAppsTest, WindowListCarriesEachProcessIconOnce) {
    controlFakes.apps->windows = {{1, 10, "Editor", "a"}, {2, 10, "Editor", "b"}, {3, 11, "Shell", ""}};
    controlFakes.apps->icons = {{10, base::Bytes{9}}};
    listWindows();
    const protocol::WindowList expected{{{1, "Editor", "a"}, {2, "Editor", "b"}, {3, "Shell", ""}},
                                        protocol::AppIcons{{"Editor", base::Bytes{9}}}};
    EXPECT_EQ(device.nextText(), base::Json::parse(ControlMessage(expected).jsonString().value()));
    EXPECT_EQ(std::ranges::count(*fakes.log, "apps.icon 10"), 1);

    // Built again for the next request, and kept from a connection that no longer serves a session.
    served = false;
    listWindows();
    EXPECT_EQ(std::ranges::count(*fakes.log, "apps.icon 10"), 2);
    served = true;
    listWindows();
    EXPECT_EQ(device.nextText(), base::Json::parse(ControlMessage(expected).jsonString().value()));
}

// A main thread stopped for shutdown leaves the list unanswered and fails nothing.
TEST_F(HostAppsTest, AWindowListRequestDuringShutdownIsLeftUnanswered) {
    main.stop();
    apps->requestWindowList(device.connection);
    EXPECT_NO_THROW(utility.runUntilIdle());
}

TEST_F(HostAppsTest, AWindowListRequestWhileOneIsBuiltIsDropped) {
    apps->requestWindowList(device.connection);
    apps->requestWindowList(device.connection);
    EXPECT_EQ(utility.pendingCount(), 1u);
    utility.runUntilIdle();
    queue.runUntilIdle();
    apps->requestWindowList(device.connection);  // the first is done: a new one is built
    EXPECT_EQ(utility.pendingCount(), 1u);
}

}  // namespace
}  // namespace orvanta::testing
