#include <gtest/gtest.h>

#include "SessionTestSupport.h"
#include "client/session/ConnectionManager.h"

namespace orvanta::testing {
namespace {

using client::ConnectionManager;
using protocol::ControlMessage;
using State = ConnectionManager::State;
using namespace std::chrono_literals;

enum class Session { connecting, welcomed, viewOnly, controller, locked };

class OutboundTest : public SessionTest {
protected:
    void enter(Session session) {
        switch (session) {
            case Session::connecting:
                connect();
                break;
            case Session::welcomed:
                connectAndWelcome();
                break;
            case Session::viewOnly:
                connect();
                welcome({"S", "T", std::nullopt, std::nullopt, true});
                break;
            case Session::controller:
                connect();
                hostSays(protocol::Busy{});
                hostSays(protocol::ControllerJoined{});
                break;
            case Session::locked:
                connectAndWelcome();
                hostSays(protocol::Notice{protocol::NoticeKind::locked});
                break;
        }
        fresh();
    }

    std::vector<std::string> sentTypes() {
        run();
        std::vector<std::string> names;
        for (const auto& message : fresh()) names.emplace_back(message.typeName());
        return names;
    }
};

TEST_F(OutboundTest, EachOperationChecksItsPreconditions) {
    struct Case {
        std::string name;
        std::function<void(ConnectionManager&)> operation;
        std::vector<Session> sendsIn;
        std::vector<std::string> types;
    };
    using enum Session;
    const std::vector<Case> cases = {
        {"keyframe", [](auto& m) { m.sendRequestKeyframe(); }, {welcomed, viewOnly, locked}, {"requestKeyframe"}},
        {"pointer", [](auto& m) { m.sendPointer("move", 0.5, 0.5); }, {welcomed, controller, locked}, {"pointer"}},
        {"key", [](auto& m) { m.sendKey("a", true, false, false, false); }, {welcomed, controller, locked}, {"key"}},
        {"text", [](auto& m) { m.sendText("x"); }, {welcomed, controller, locked}, {"text"}},
        {"window fit", [](auto& m) { m.setWindowFit(true); }, {welcomed, viewOnly, controller, locked}, {"fitWindow"}},
        {"unfit", [](auto& m) { m.setWindowFit(false); }, {welcomed, viewOnly, controller, locked}, {"unfitWindow"}},
        {"fit target",
         [](auto& m) {
             m.fitWindow({9, "App", "Doc"});
         },
         {welcomed, viewOnly, controller, locked},
         {"fitWindowTarget"}},
        {"aspect fit", [](auto& m) { m.setDisplayAspectFit(true); }, {welcomed, locked}, {"displayAspectFit"}},
        {"viewport", [](auto& m) { m.sendViewportUpdate(true); }, {welcomed, viewOnly, locked}, {"viewport"}},
        {"clipboard", [](auto& m) { m.sendClipboardText("copied"); }, {welcomed, controller, locked}, {"clipboard"}},
        {"clipboard image",
         [](auto& m) {
             m.sendClipboardImage(base::Bytes{0x89, 'P'});
         },
         {welcomed, controller, locked},
         {"clipboardImage"}},
        {"lists",
         [](auto& m) { m.requestWindowList(); },
         {welcomed, viewOnly, controller, locked},
         {"windowListRequest", "applist"}},
        {"take over", [](auto& m) { m.takeOver(); }, {}, {"takeOver"}},
        {"unlock", [](auto& m) { m.sendUnlock("pw"); }, {locked}, {"unlock"}},
        {"decode error", [](auto& m) { m.reportDecodeError(); }, {welcomed, viewOnly, locked}, {"requestKeyframe"}},
    };
    for (const auto& c : cases) {
        for (Session session : {connecting, welcomed, viewOnly, controller, locked}) {
            enter(session);
            c.operation(*manager);
            bool sends = std::ranges::find(c.sendsIn, session) != c.sendsIn.end();
            EXPECT_EQ(sentTypes(), sends ? c.types : std::vector<std::string>{})
                << c.name << " in session " << static_cast<int>(session);
        }
    }
}

TEST_F(OutboundTest, FitRequestsCarryThePixelViewport) {
    manager->viewportProvider = [] { return client::ViewportMetrics{{0, 0, 100.25, 50}, 2}; };
    enter(Session::welcomed);
    manager->setWindowFit(true);
    manager->fitWindow({42, "Editor", "main.cpp"});
    run();
    EXPECT_EQ(fresh(), (std::vector<ControlMessage>{protocol::FitWindowRequest{201, 100},
                                                    protocol::FitWindowTarget{42, 201, 100}}));
}

TEST_F(OutboundTest, FitAndLaunchRequestsStopWhenNotAllowed) {
    manager->displayFitRequestsAllowedProvider = [] { return false; };
    enter(Session::welcomed);
    manager->setWindowFit(true);
    manager->fitWindow({1, "A", "B"});
    manager->setDisplayAspectFit(true);
    hostSays(protocol::AppList{{{"com.a", "A", false, false}}});
    EXPECT_FALSE(manager->launchApp({"com.a", "A", false, false}));
    EXPECT_TRUE(sentTypes().empty());
}

TEST_F(OutboundTest, DisplayAspectFitSkipsRepeatsAndClampsTheScale) {
    enter(Session::welcomed);
    settings->set(ConnectionManager::kDisplayAspectScaleKey, 5.0);
    manager->setDisplayAspectFit(true);
    manager->setDisplayAspectFit(true);
    manager->sendDisplayAspectFit(true, true);
    run();
    protocol::DisplayAspectFitRequest expected{true, 2560, 1600, 2.0};
    EXPECT_EQ(fresh(), (std::vector<ControlMessage>{expected, expected}));

    const std::vector<std::pair<double, double>> scales = {
        {0.05, 0.1}, {std::numeric_limits<double>::quiet_NaN(), 1.0}, {0.75, 0.75}};
    for (const auto& [stored, sent] : scales) {
        settings->set(ConnectionManager::kDisplayAspectScaleKey, stored);
        manager->displayAspectScaleDidChange();
        run();
        auto messages = fresh();
        ASSERT_EQ(messages.size(), 1u) << stored;
        EXPECT_EQ(messages[0].as<protocol::DisplayAspectFitRequest>()->scale, sent);
    }
}

TEST_F(OutboundTest, ViewportChangesFollowDisplayAspectFit) {
    double width = 1280;
    manager->viewportProvider = [&] { return client::ViewportMetrics{{0, 0, width, 800}, 2}; };
    settings->set(ConnectionManager::kDisplayAspectFitKey, true);
    enter(Session::welcomed);
    width = 1000;
    manager->viewportDidChange();
    manager->sendViewportUpdate(false);
    EXPECT_EQ(sentTypes(), std::vector<std::string>{"displayAspectFit"});

    settings->set(ConnectionManager::kDisplayAspectFitKey, false);
    manager->viewportDidChange();
    EXPECT_TRUE(sentTypes().empty()) << "the hello and the fit request count as viewport reports";
    width = 900;
    manager->viewportDidChange();
    EXPECT_EQ(sentTypes(), std::vector<std::string>{"viewport"});

    hostSays(protocol::Notice{protocol::NoticeKind::locked});
    width = 800;
    manager->sendDisplayAspectFit(true, false);
    manager->sendViewportUpdate(false);
    EXPECT_EQ(sentTypes(), (std::vector<std::string>{"displayAspectFit", "viewport"}));
}

TEST_F(OutboundTest, ViewportUpdatesNeedAPositiveView) {
    enter(Session::welcomed);
    manager->viewportProvider = [] { return client::ViewportMetrics{{0, 0, 0, 800}, 2}; };
    manager->sendViewportUpdate(true);
    EXPECT_TRUE(sentTypes().empty());
}

TEST_F(OutboundTest, InputNumbersContinueAcrossConnections) {
    enter(Session::welcomed);  // the welcome's pointer cancel took 1
    manager->sendPointer("move", 0.1, 0.1);
    EXPECT_FALSE(manager->sendText(""));
    manager->sendKey("a", false, false, false, false);
    run();
    auto first = fresh();
    EXPECT_EQ(first.at(0).as<protocol::PointerInput>()->seq, 2u);
    EXPECT_EQ(first.at(1).as<protocol::KeyInput>()->seq, 3u);
    manager->reconnect();  // teardown's pointer cancel takes 4
    run();
    welcome();
    EXPECT_EQ(fresh().at(1).as<protocol::PointerInput>()->seq, 5u);
}

TEST_F(OutboundTest, TextNeedsALiveControlChannel) {
    enter(Session::welcomed);
    EXPECT_TRUE(manager->sendText("a"));
    manager->disconnect();
    EXPECT_FALSE(manager->sendText("a"));
}

TEST_F(OutboundTest, ClipboardPayloadsOverTheirLimitAreDroppedWhole) {
    enter(Session::welcomed);
    manager->sendClipboardText(std::string(1'000'000, 'a'));
    manager->sendClipboardText(std::string(1'000'001, 'a'));
    manager->sendClipboardImage(base::Bytes(4'194'304, 1));
    manager->sendClipboardImage(base::Bytes(4'194'305, 1));
    manager->sendClipboardImage(base::Bytes{});
    EXPECT_EQ(sentTypes(), (std::vector<std::string>{"clipboard", "clipboardImage"}));
}

TEST_F(OutboundTest, UnlockNeedsASecureRoute) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"HTTPS://host.example", true}, {"http://localhost:8766", true},
        {"http://[::1]:1", true},       {"http://127.0.0.1", true},
        {"http://192.168.1.2", false},  {"http://host.example", false},
        {"ftp://host.example", false},  {"https://", false},
    };
    for (const auto& [base, allowed] : cases) {
        manager->connect(entry(client::HostListStore::Kind::mac, base), "t", "d", false);
        EXPECT_EQ(manager->canSendUnlock(), allowed) << base;
    }
}

TEST_F(OutboundTest, UnlockPasswordsMustHaveAnAcceptableLength) {
    enter(Session::locked);
    hostSays(protocol::Notice{protocol::NoticeKind::locked, "locked"});
    EXPECT_FALSE(manager->sendUnlock(""));
    EXPECT_FALSE(manager->sendUnlock(std::string(257, 'p')));
    EXPECT_EQ(manager->lockMessage(), "locked");
    EXPECT_TRUE(manager->sendUnlock(std::string(256, 'p')));
    EXPECT_EQ(manager->lockMessage(), std::nullopt);
}

TEST_F(OutboundTest, LaunchNeedsAnIdleAppFromTheCurrentList) {
    enter(Session::welcomed);
    protocol::AppListEntry idle{"com.idle", "Idle", false, false};
    protocol::AppListEntry running{"com.run", "Run", true, true};
    hostSays(protocol::AppList{{idle, running}});
    EXPECT_FALSE(manager->launchApp(running));
    EXPECT_FALSE(manager->launchApp({"com.idle", "Idle", false, true}));
    EXPECT_TRUE(manager->launchApp(idle));
    run();
    EXPECT_EQ(fresh().back(), ControlMessage(protocol::LaunchAppRequest{"com.idle"}));
}

TEST_F(OutboundTest, WindowListTimesOutAfterTenSeconds) {
    enter(Session::welcomed);
    manager->requestWindowList();
    EXPECT_EQ(manager->windowListState(), ConnectionManager::WindowListState::loading);
    executor.advance(9999ms);
    EXPECT_EQ(manager->windowListState(), ConnectionManager::WindowListState::loading);
    executor.advance(1ms);
    EXPECT_EQ(manager->windowListState(), ConnectionManager::WindowListState::failed);

    manager->requestWindowList();
    executor.advance(5s);
    manager->requestWindowList();
    hostSays(protocol::WindowList{{{1, "A", "a"}}, protocol::AppIcons{{"A", {1}}}});
    executor.advance(20s);
    EXPECT_EQ(manager->windowListState(), ConnectionManager::WindowListState::loaded);
    EXPECT_EQ(manager->windowList().size(), 1u);
    hostSays(protocol::WindowList{{}});
    EXPECT_EQ(manager->windowAppIcons().size(), 1u) << "a list without icons keeps the previous ones";
}

TEST_F(OutboundTest, PromoteToMainReconnectsAndTakesOver) {
    enter(Session::welcomed);
    manager->promoteToMain();
    EXPECT_EQ(attempts(), 1u);
    enter(Session::controller);
    EXPECT_TRUE(manager->keyboardInputGeneration());
    manager->promoteToMain();
    run();
    EXPECT_EQ(manager->state(), State::connecting);
    EXPECT_FALSE(manager->keyboardInputGeneration());
    hostSays(protocol::Busy{});
    EXPECT_EQ(sentTypes(), (std::vector<std::string>{"hello", "takeOver"}));
}

TEST_F(OutboundTest, DecodeErrorFlushesAndAsksForAKeyframe) {
    enter(Session::welcomed);
    manager->reportDecodeError();
    EXPECT_EQ(manager->state(), State::decodeError);
    EXPECT_EQ(assemblers.back()->flushes, 1);
    assemblers.back()->frame({1, 1, 1});
    run();
    EXPECT_EQ(manager->state(), State::connected);
}

}  // namespace
}  // namespace orvanta::testing
