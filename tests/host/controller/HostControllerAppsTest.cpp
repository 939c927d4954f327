#include <gtest/gtest.h>

#include "HostControllerHarness.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;
using protocol::ControlMessage;

class HostAppsTest : public HostControllerTest {
protected:
    void SetUp() override {
        create();
        session = authenticatedSession(device);
        session->viewportWidth = 1280;
        session->viewportHeight = 800;
    }

    void receive(const ControlMessage& message, const std::shared_ptr<host::HostController::Session>& from) {
        controller->handleControlText(message.jsonString().value(), from);
        settle();
    }
    void settle() {
        drive([&] { return queue.runUntilIdle() + main.runUntilIdle() + utility.runUntilIdle() == 0; });
    }
    // Virtual time in steps of the window poll, with every hop run between them.
    void wait(std::chrono::microseconds total) {
        for (auto passed = 0us; passed < total; passed += 50ms) {
            queue.advance(50ms);
            main.advance(50ms);
            settle();
        }
    }
    // The next text the device gets, after a window list request that marks where the replies end.
    base::Json nextAfterLaunch() {
        receive(protocol::WindowListRequest{}, session);
        return *device.nextText();
    }

    LinkedConnection device = link();
    std::shared_ptr<host::HostController::Session> session;
    const base::Json launchFailed{
        {"type", "notice"}, {"kind", "appLaunchFailed"}, {"message", "アプリのウィンドウを開けませんでした"}};
};

TEST_F(HostAppsTest, AppListAnswersEachConnectionOnceWhileEntitled) {
    controlFakes.apps->entries.entries = {{"editor.desktop", "Editor", true, true}};
    controlFakes.apps->entries.icons = {{"editor.desktop", base::Bytes{1, 2}}};
    controller->handleControlText(R"({"type":"applist"})", session);
    controller->handleControlText(R"({"type":"applist"})", session);
    settle();
    EXPECT_EQ(std::ranges::count(*fakes.log, "apps.entries 0"), 1);
    const protocol::AppList expected{controlFakes.apps->entries.entries, controlFakes.apps->entries.icons};
    EXPECT_EQ(device.nextText(), base::Json::parse(ControlMessage(expected).jsonString().value()));

    // Paused by the time the list is back: nothing is sent.
    controller->handleControlText(R"({"type":"applist"})", session);
    probe().pausedFlag() = true;
    settle();
    EXPECT_EQ(std::ranges::count(*fakes.log, "apps.entries 0"), 2);
    probe().pausedFlag() = false;
    receive(protocol::WindowListRequest{}, session);
    EXPECT_EQ(device.nextText()->at("type"), "windowList");
}

TEST_F(HostAppsTest, LaunchNeedsAViewportAndAnswersAnUnknownApplication) {
    session->viewportWidth = 0;
    receive(protocol::LaunchAppRequest{"editor.desktop"}, session);
    EXPECT_TRUE(fakes.log->empty());
    session->viewportWidth = 1280;
    for (const char* id : {"nothing.desktop", "../evil.desktop"}) {
        receive(protocol::LaunchAppRequest{id}, session);
        EXPECT_EQ(device.nextText(), launchFailed);
    }
}

TEST_F(HostAppsTest, LaunchWaitsEightSecondsForTheWindow) {
    controlFakes.apps->installed = {"editor.desktop"};
    controlFakes.apps->windowAfter = 8;  // shows at the ninth look, 2.8 s in
    receive(protocol::LaunchAppRequest{"editor.desktop"}, session);
    wait(3s);
    EXPECT_EQ(controlFakes.apps->polls, 9);
    EXPECT_EQ(nextAfterLaunch().at("type"), "windowList");  // fitted: no failure notice

    controlFakes.apps->polls = 0;
    controlFakes.apps->windowAfter = 1000;
    receive(protocol::LaunchAppRequest{"editor.desktop"}, session);
    wait(7900ms);
    EXPECT_EQ(controlFakes.apps->polls, 23);
    wait(500ms);
    EXPECT_EQ(controlFakes.apps->polls, 24);
    EXPECT_EQ(device.nextText(), launchFailed);
}

TEST_F(HostAppsTest, ANewSelectionDuringALaunchEndsItSilently) {
    controlFakes.apps->installed = {"editor.desktop"};
    controlFakes.apps->windowAfter = 1000;
    receive(protocol::LaunchAppRequest{"editor.desktop"}, session);
    receive(protocol::LaunchAppRequest{"editor.desktop"}, session);  // ignored while one runs
    EXPECT_EQ(std::ranges::count(*fakes.log, "apps.launch editor.desktop"), 1);
    ++probe().selectionGeneration();  // a window picked meanwhile
    wait(9s);
    EXPECT_EQ(nextAfterLaunch().at("type"), "windowList");
}

TEST_F(HostAppsTest, WindowListCarriesEachProcessIconOnce) {
    controlFakes.apps->windows = {{1, 10, "Editor", "a"}, {2, 10, "Editor", "b"}, {3, 11, "Shell", ""}};
    controlFakes.apps->icons = {{10, base::Bytes{9}}};
    receive(protocol::WindowListRequest{}, session);
    const protocol::WindowList expected{{{1, "Editor", "a"}, {2, "Editor", "b"}, {3, "Shell", ""}},
                                        protocol::AppIcons{{"Editor", base::Bytes{9}}}};
    EXPECT_EQ(device.nextText(), base::Json::parse(ControlMessage(expected).jsonString().value()));
    EXPECT_EQ(std::ranges::count(*fakes.log, "apps.icon 10"), 1);
    EXPECT_FALSE(probe().windowListInFlight());
}

}  // namespace
}  // namespace orvanta::testing
