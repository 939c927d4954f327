#include <gtest/gtest.h>

#include "HostControllerHarness.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;
using host::ConnectionRoute;
using host::InputResult;
using protocol::ControlMessage;

std::string encoded(const ControlMessage& message) { return message.jsonString().value(); }

const std::string kPngBase64 =
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAAAAAA6fptVAAAACklEQVR4nGNgAAAAAgABSK+kcQAAAABJRU5ErkJggg==";

class HostDispatchTest : public HostControllerTest {
protected:
    void SetUp() override { create(); }

    void receive(const std::string& text, const std::shared_ptr<host::HostController::Session>& session) {
        controller->handleControlText(text, session);
        while (main.runUntilIdle() + queue.runUntilIdle() != 0) {
        }
    }

    bool happened(std::string_view effect) const {
        return logged(effect) || std::ranges::find(*fakes.log, effect) != fakes.log->end();
    }
};

// The debug environment writes a line per input.
class HostDebugInputDispatchTest : public HostDispatchTest {
protected:
    void SetUp() override {
        environment["ZQ2_DEBUG_INPUT"] = "1";
        create();
    }
};

// Which state a message needs before anything happens.
enum Need : unsigned { kAuth = 1, kAttached = 2, kUnpaused = 4, kMain = 8, kNotLan = 16 };

TEST_F(HostDispatchTest, EachMessageActsOnlyInTheStatesItNeeds) {
    struct Row {
        std::string text;
        unsigned needs;
        std::string effect;
    };
    const std::vector<Row> rows = {
        {encoded(protocol::PointerInput{.seq = 1, .action = "move", .x = 0.5, .y = 0.5}), kAuth | kAttached | kUnpaused,
         "input.pointer move dev-1"},
        {encoded(protocol::KeyInput{.seq = 2, .name = "a"}), kAuth | kAttached | kUnpaused, "input.key a dev-1"},
        {encoded(protocol::TextInput{.seq = 3, .value = "hi"}), kAuth | kUnpaused, "input.text hi dev-1"},
        {encoded(protocol::ClipboardText{"abc"}), kAuth | kUnpaused, "pasteboard.text 3"},
        {encoded(protocol::ClipboardImage{kPngBase64}), kAuth | kUnpaused, "pasteboard.png 67"},
        // Not refused while paused, but the pause has stopped the run: no encoder takes it.
        {encoded(protocol::RequestKeyframe{}), kAuth | kUnpaused, "encoder.forceKeyframe"},
        {encoded(protocol::Ack{.gen = 1, .seq = 7}), kAuth, "sender.ack 1 7"},
        {encoded(protocol::AudioRequest{true}), kAuth | kMain, "audio requested: true"},
        {encoded(protocol::FitWindowRequest{0, 0}), kAuth | kUnpaused, "window fit: no frontmost target"},
        {encoded(protocol::LaunchAppRequest{"editor.desktop"}), kAuth | kAttached | kUnpaused,
         "apps.launch editor.desktop"},
        {R"({"type":"applist"})", kAuth | kAttached | kUnpaused, "apps.entries 0"},
    };
    struct State {
        std::string name;
        unsigned fails;  // the one need this state breaks, 0 for none
    };
    // The pause stops the run whose encoder the keyframe request reaches: it comes last.
    const std::vector<State> states = {{"ready", 0},      {"unauthenticated", kAuth}, {"detached", kAttached},
                                       {"not main", kMain}, {"lan", kNotLan},         {"paused", kUnpaused}};
    probe().encoder() = std::make_shared<FakeHostEncoder>(fakes.log);
    for (const auto& state : states) {
        for (const auto& row : rows) {
            SCOPED_TRACE(state.name + ": " + row.text);
            LinkedConnection device = link();
            auto session = authenticatedSession(device);
            session->viewportWidth = session->viewportHeight = 100;
            session->authenticated = state.fails != kAuth;
            if (state.fails == kAttached) session->detachedAt = 0;
            if (state.fails == kNotLan) session->route = ConnectionRoute::lan;
            lockScreen(state.fails == kUnpaused);
            LinkedConnection other = link();
            if (state.fails == kMain) {
                auto holder = authenticatedSession(other, "dev-9");
                holder->viewportWidth = holder->viewportHeight = 100;
            }
            fakes.log->clear();
            logs.clear();
            receive(row.text, session);
            EXPECT_EQ(happened(row.effect), (row.needs & state.fails) == 0);
            EXPECT_FALSE(device.connection->isClosing());
        }
    }
}

// The controller peer acts on the main session's desktop, under its own identifier.
TEST_F(HostDispatchTest, ControllerPeerActsOnlyWhileTheMainSessionAllowsIt) {
    struct Row {
        std::string text;
        unsigned needs;
        std::string effect;
    };
    const std::vector<Row> rows = {
        {encoded(protocol::PointerInput{.seq = 1, .action = "move"}), kAuth | kAttached | kUnpaused,
         "input.pointer move dev-2"},
        {encoded(protocol::KeyInput{.seq = 2, .name = "a"}), kAuth | kAttached | kUnpaused, "input.key a dev-2"},
        {encoded(protocol::TextInput{.seq = 3, .value = "hi"}), kAuth | kAttached | kUnpaused,
         "input.text hi dev-2"},
        {encoded(protocol::ClipboardText{"abc"}), kAuth | kAttached | kUnpaused, "pasteboard.text 3"},
        {encoded(protocol::FitWindowRequest{0, 0}), kAuth | kUnpaused, "window fit: no frontmost target"},
        {encoded(protocol::LaunchAppRequest{"editor.desktop"}), kAuth | kAttached | kUnpaused,
         "apps.launch editor.desktop"},
        {R"({"type":"applist"})", kAuth | kAttached | kUnpaused, "apps.entries 0"},
        {encoded(protocol::AudioRequest{true}), kAuth | kAttached | kUnpaused | kMain, "audio requested: true"},
    };
    const std::vector<std::pair<std::string, unsigned>> states = {
        {"ready", 0}, {"unauthenticated", kAuth}, {"detached", kAttached}, {"paused", kUnpaused}};
    for (const auto& [name, fails] : states) {
        for (const auto& row : rows) {
            SCOPED_TRACE(name + ": " + row.text);
            LinkedConnection device = link();
            auto session = authenticatedSession(device);
            session->viewportWidth = session->viewportHeight = 100;
            session->authenticated = fails != kAuth;
            if (fails == kAttached) session->detachedAt = 0;
            lockScreen(fails == kUnpaused);
            LinkedConnection peerLink = link();
            auto peer = controllerSession(peerLink);
            fakes.log->clear();
            logs.clear();
            probe().handleControllerText(row.text, peer);
            while (main.runUntilIdle() + queue.runUntilIdle() != 0) {
            }
            // Audio belongs to the main session: the peer's request is never acted on.
            EXPECT_EQ(happened(row.effect), (row.needs & fails) == 0 && !(row.needs & kMain));
            EXPECT_FALSE(peerLink.connection->isClosing());
        }
    }
}

TEST_F(HostDispatchTest, TypesOnlyAHostSendsCloseTheConnectionInAnyState) {
    const std::vector<ControlMessage> hostOnly = {protocol::Welcome{"s", "t"},
                                                  protocol::Auth{"t"},
                                                  protocol::Ping{1, 2},
                                                  protocol::Notice{protocol::NoticeKind::viewOnly},
                                                  protocol::ErrorMessage{1, "m"},
                                                  protocol::CursorPosition{},
                                                  protocol::WindowState{},
                                                  protocol::WindowList{},
                                                  protocol::AppList{},
                                                  protocol::Busy{},
                                                  protocol::TakeOver{},
                                                  protocol::JoinController{},
                                                  protocol::ControllerJoined{}};
    for (const auto& message : hostOnly) {
        for (bool authenticated : {true, false}) {
            SCOPED_TRACE(encoded(message));
            LinkedConnection device = link();
            auto session = authenticatedSession(device);
            session->authenticated = authenticated;
            receive(encoded(message), session);
            EXPECT_EQ(device.nextClose(), (std::pair<int, std::string>{4002, "unexpected message"}));
        }
    }
}

TEST_F(HostDispatchTest, HelloIsRefusedTwiceAndWithAWrongToken) {
    LinkedConnection device = link();
    auto session = authenticatedSession(device);
    protocol::Hello record;
    record.token = "t";
    record.deviceId = "dev-1";
    const auto hello = encoded(record);
    receive(hello, session);
    EXPECT_EQ(device.nextClose(), (std::pair<int, std::string>{4002, "duplicate hello"}));

    LinkedConnection stranger = link();
    auto unknown = authenticatedSession(stranger);
    unknown->authenticated = false;
    receive(hello, unknown);
    EXPECT_EQ(stranger.nextText(), (base::Json{{"type", "error"}, {"code", 4003}, {"message", "認証に失敗しました"}}));
    EXPECT_EQ(stranger.nextClose(), (std::pair<int, std::string>{4003, "auth failed"}));
    EXPECT_TRUE(logged("control auth failed"));
    EXPECT_FALSE(unknown->authenticated);
}

// The dispatch's own rules are MessageDispatchTest's; here the coordinator's pointer state.
TEST_F(HostDispatchTest, PointerWaitsForTheAwaitedFrameExceptCancel) {
    LinkedConnection device = link();
    auto session = authenticatedSession(device);
    probe().windowPointerState() = host::HostController::WindowPointerState::awaitingFrame;
    probe().awaitedPointerGen() = 4;
    probe().lastCursorSent() = std::pair{0.1, 0.2};
    receive(encoded(protocol::PointerInput{.seq = 1, .action = "move"}), session);
    receive(encoded(protocol::PointerInput{.seq = 2, .action = "cancel"}), session);
    EXPECT_EQ(*fakes.log, std::vector<std::string>{"input.pointer cancel dev-1"});

    fakes.sender->firstOfGeneration = false;
    receive(encoded(protocol::Ack{.gen = 4, .seq = 1}), session);
    fakes.sender->firstOfGeneration = true;
    receive(encoded(protocol::Ack{.gen = 3, .seq = 2}), session);
    EXPECT_EQ(probe().windowPointerState(), host::HostController::WindowPointerState::awaitingFrame);
    receive(encoded(protocol::Ack{.gen = 4, .seq = 3}), session);
    EXPECT_EQ(probe().windowPointerState(), host::HostController::WindowPointerState::ready);
    EXPECT_FALSE(probe().lastCursorSent());
    receive(encoded(protocol::PointerInput{.seq = 3, .action = "move"}), session);
    EXPECT_EQ(fakes.log->back(), "input.pointer move dev-1");
}

// What a device chooses reaches the log as one bounded field of one line.
TEST_F(HostDebugInputDispatchTest, DeviceTextCannotForgeOrFloodLogLines) {
    LinkedConnection device = link();
    auto session = authenticatedSession(device, "dev\n12:00:00.000 revoked dev-2");
    receive(encoded(protocol::PointerInput{.seq = 1, .action = "move\n12:00:00.000 paired device evil"}), session);
    receive(encoded(protocol::PointerInput{.seq = 2, .action = std::string(1'000'000, 'x')}), session);
    probe().detachSession();
    ASSERT_GE(logs.size(), 3u);
    for (const auto& line : logs) {
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_LT(line.size(), 400u) << line.substr(0, 400);
    }
    EXPECT_TRUE(logged("input pointer move\\u{A}12:00:00.000 paired device evil seq=1 -> ok"));
    EXPECT_TRUE(logged("session detached: waiting for dev\\u{A}12:00:00.000 revoked dev-2 to return"));
}

TEST_F(HostDispatchTest, AudioReevaluatesEvenUnchangedAndLogsOnlyChanges) {
    LinkedConnection device = link();
    auto session = authenticatedSession(device);
    receive(encoded(protocol::AudioRequest{false}), session);
    EXPECT_TRUE(logs.empty());
    receive(encoded(protocol::AudioRequest{true}), session);
    EXPECT_EQ(logs, std::vector<std::string>{"audio requested: true"});
    EXPECT_TRUE(session->audioRequested);
}

TEST_F(HostDispatchTest, FitAndUnfitAnswerAnInactiveWindowState) {
    LinkedConnection device = link();
    auto session = authenticatedSession(device);
    receive(encoded(protocol::FitWindowRequest{1280, 800}), session);
    receive(encoded(protocol::UnfitWindow{}), session);
    EXPECT_EQ(device.nextText(), (base::Json{{"type", "windowState"}, {"active", false}}));
    EXPECT_EQ(device.nextText(), (base::Json{{"type", "windowState"}, {"active", false}}));
}

}  // namespace
}  // namespace orvanta::testing
