#include "client/session/ConnectionManager.h"

#include <gtest/gtest.h>

#include "SessionTestSupport.h"
#include "protocol/CloseCodes.h"

namespace orvanta::testing {
namespace {

using client::ConnectionManager;
using protocol::ControlMessage;
using State = ConnectionManager::State;
using Kind = client::HostListStore::Kind;
using namespace std::chrono_literals;

protocol::PointerInput pointerCancel(std::uint32_t seq) {
    protocol::PointerInput cancel;
    cancel.seq = seq;
    cancel.action = "cancel";
    return cancel;
}

protocol::KeyInput keyUp(std::uint32_t seq, std::string name) {
    return {seq, std::move(name), false, false, false, false, protocol::KeyInput::Phase::up};
}

TEST(ConnectionManagerValues, StateRawValuesAreTheCaseNames) {
    const std::vector<std::pair<State, std::string_view>> cases = {
        {State::disconnected, "disconnected"},
        {State::connecting, "connecting"},
        {State::connected, "connected"},
        {State::locked, "locked"},
        {State::busy, "busy"},
        {State::controller, "controller"},
        {State::takenOver, "takenOver"},
        {State::recovering, "recovering"},
        {State::decodeError, "decodeError"},
        {State::authFailed, "authFailed"},
        {State::revoked, "revoked"},
    };
    for (const auto& [state, raw] : cases) {
        EXPECT_EQ(ConnectionManager::rawValue(state), raw);
        EXPECT_EQ(ConnectionManager::stateFromRawValue(raw), state);
    }
    EXPECT_EQ(ConnectionManager::stateFromRawValue("Connected"), std::nullopt);
}

TEST(ConnectionManagerValues, InputSequenceSkipsZero) {
    EXPECT_EQ(ConnectionManager::followingInputSeq(0), 1u);
    EXPECT_EQ(ConnectionManager::followingInputSeq(1), 2u);
    EXPECT_EQ(ConnectionManager::followingInputSeq(0xFFFFFFFE), 0xFFFFFFFFu);
    EXPECT_EQ(ConnectionManager::followingInputSeq(0xFFFFFFFF), 1u);
}

TEST_F(SessionTest, EndpointsFollowTheBaseURL) {
    const std::vector<std::pair<std::string, std::string>> accepted = {
        {"  https://host.example:8443/ \n", "wss://host.example:8443/v2/"},
        {"HTTP://10.0.0.2", "ws://10.0.0.2/v2/"},
        {"http://[::1]:9000", "ws://[::1]:9000/v2/"},
    };
    for (const auto& [base, prefix] : accepted) {
        connect(base);
        EXPECT_EQ(control()->url, prefix + "control") << base;
        EXPECT_EQ(video()->url, prefix + "video") << base;
        EXPECT_EQ(control()->options.maxMessageBytes, 4'195'352u);
    }
    for (const std::string base : {"https://host/path", "https://host/?q=1", "https://host/#f", "https://u@host",
                                   "https://u:p@host", "ftp://host", "https://", "not a url"}) {
        auto before = sockets->channels.size();
        connect(base);
        EXPECT_EQ(sockets->channels.size(), before) << base;
        EXPECT_EQ(manager->state(), State::disconnected) << base;
        EXPECT_EQ(manager->lastError(), std::string(ConnectionManager::kBadBaseURLMessage)) << base;
    }
}

TEST_F(SessionTest, MissingCredentialsFailWithoutTouchingTheNetwork) {
    manager->connect(entry(), "", "device", false);
    run();
    EXPECT_EQ(manager->state(), State::authFailed);
    EXPECT_EQ(manager->lastError(), std::string(ConnectionManager::kCredentialsMissingMessage));
    EXPECT_TRUE(sockets->channels.empty());
}

TEST_F(SessionTest, PixelViewportRoundsHalfAwayFromZeroAndIsAtLeastOne) {
    const std::vector<std::tuple<double, double, double, std::int64_t, std::int64_t>> cases = {
        {0.2, 0.2, 2, 1, 1}, {100.25, 50, 2, 201, 100}, {1280, 800, 2, 2560, 1600}, {0, -5, 1, 1, 1}};
    for (const auto& [w, h, scale, pw, ph] : cases) {
        manager->viewportProvider = [=] { return client::ViewportMetrics{{0, 0, w, h}, scale}; };
        EXPECT_EQ(manager->pixelViewport(), (protocol::Viewport{pw, ph})) << w << "x" << h;
    }
}

TEST_F(SessionTest, HandshakeSendsHelloThenAnswersWelcomeWithAuthOnTheMediaChannel) {
    manager->clientKind = "macos-desktop";
    heldKeys = {"a"};
    connect();
    EXPECT_EQ(manager->state(), State::connecting);
    auto firstMessage = received(control()).at(0);
    auto hello = firstMessage.as<protocol::Hello>();
    ASSERT_TRUE(hello);
    EXPECT_EQ(*hello, (protocol::Hello{"token",
                                       "device",
                                       protocol::DeviceIdiom::pad,
                                       {2560, 1600},
                                       protocol::DeviceCaps{{"h264"}, 60, false, "macos-desktop", std::nullopt}}));
    EXPECT_EQ(video()->receiveCalls, 0) << "the media reader starts after the welcome";

    protocol::Welcome offer{"S", "TICKET", protocol::AudioFormat::aacLC48kStereo(), "Studio", std::nullopt};
    heldKeys = {"shift"};
    welcome(offer);
    EXPECT_EQ(received(video()), (std::vector<ControlMessage>{protocol::Auth{"TICKET"}}));
    EXPECT_EQ(manager->state(), State::connected);
    EXPECT_EQ(manager->hostName(), "Studio");
    EXPECT_EQ(established, 1);
    EXPECT_EQ(video()->receiveCalls, 1);
    ASSERT_EQ(audio->offers.size(), 1u);
    EXPECT_EQ(audio->offers[0], protocol::AudioFormat::aacLC48kStereo());
    EXPECT_EQ(hostStore->lastRole(manager->hostEntryId()), "main");
    // Held keys of the connecting phase were handed over while input was not allowed: not sent.
    EXPECT_EQ(received(control()),
              (std::vector<ControlMessage>{*hello, keyUp(1, "shift"), pointerCancel(2),
                                           protocol::DisplayAspectFitRequest{false, 2560, 1600, 1.0}}));
}

TEST_F(SessionTest, SeparateCursorIsRequestedOnlyForAWindowsHostFromTheDesktopClient) {
    const std::vector<std::tuple<bool, Kind, std::optional<std::string>, std::optional<bool>>> cases = {
        {true, Kind::windows, "macos-desktop", true},
        {true, Kind::mac, "macos-desktop", std::nullopt},
        {true, Kind::windows, std::nullopt, std::nullopt},
        {false, Kind::windows, "macos-desktop", std::nullopt},
    };
    for (const auto& [wanted, kind, clientKind, expected] : cases) {
        manager->clientKind = clientKind;
        manager->connect(entry(kind), "token", "device", wanted);
        run();
        EXPECT_EQ(helloCaps().separateCursor, expected);
    }
    manager->clientKind = "macos-desktop";
    manager->connect(entry(Kind::windows), "token", "device", true);
    manager->connect();
    run();
    EXPECT_EQ(helloCaps().separateCursor, std::nullopt);
}

TEST_F(SessionTest, HostMessagesThatBreakTheProtocolFailTheAttempt) {
    const std::vector<std::pair<platform::WebSocketMessage, std::string>> cases = {
        {platform::WebSocketBinary{{1, 2}}, "control でテキスト以外のメッセージを受信しました。"},
        {platform::WebSocketText{"{not json"}, ""},
        {platform::WebSocketText{R"({"type":"ping"})"}, ""},
        {platform::WebSocketText{R"({"type":"welcome","sessionId":"S","videoTicket":"T"})"},
         "予期しない welcome を受信しました。"},
    };
    for (const auto& [message, text] : cases) {
        connectAndWelcome();
        control()->deliver(message);
        run();
        EXPECT_EQ(manager->state(), State::recovering);
        ASSERT_TRUE(manager->lastError());
        if (!text.empty()) {
            EXPECT_EQ(*manager->lastError(), text);
        }
        EXPECT_EQ(control()->cancelledWith, 1001);
        EXPECT_EQ(video()->cancelledWith, 1001);
    }
}

TEST_F(SessionTest, TextOnTheMediaChannelFailsTheAttempt) {
    connectAndWelcome();
    video()->deliverText("hello");
    run();
    EXPECT_EQ(manager->state(), State::recovering);
    EXPECT_EQ(manager->lastError(), "video でバイナリ以外のメッセージを受信しました。");
}

TEST_F(SessionTest, MediaChannelRoutesAudioAndVideo) {
    connectAndWelcome();
    base::Bytes audioPacket{1, 2, 0};
    base::Bytes videoPacket{1, 1, 0};
    base::Bytes stub{7};
    for (const auto& bytes : {audioPacket, videoPacket, stub}) video()->deliver(platform::WebSocketBinary{bytes});
    run();
    EXPECT_EQ(audio->packets, std::vector<base::Bytes>{audioPacket});
    EXPECT_EQ(assemblers.back()->received, (std::vector<base::Bytes>{videoPacket, stub}));
    EXPECT_EQ(manager->state(), State::connected);
}

TEST_F(SessionTest, UnknownMessagesAndNoticeKindsChangeNothing) {
    connectAndWelcome();
    control()->deliverText(R"({"type":"hologram","x":1})");
    hostSays(protocol::Notice{protocol::NoticeKind("sparkle"), "?"});
    EXPECT_EQ(manager->state(), State::connected);
    EXPECT_FALSE(control()->isCancelled());
    EXPECT_EQ(manager->lastError(), std::nullopt);
}

TEST_F(SessionTest, FramesCountOnlyAfterTheWelcome) {
    connect();
    auto assembler = assemblers.back();
    assembler->frame({1, 1, 10});
    run();
    EXPECT_EQ(types(control()), std::vector<std::string>{"hello"});
    EXPECT_EQ(manager->state(), State::connecting);

    welcome();
    fresh();
    assembler->frame({1, 2, 20}, 4242);
    run();
    EXPECT_EQ(fresh(), (std::vector<ControlMessage>{protocol::Ack{1, 2, 20}}));
    EXPECT_EQ(audio->videoPts, std::vector<std::uint64_t>{4242});

    assembler->onNeedKeyframe();
    run();
    EXPECT_EQ(manager->state(), State::recovering);
    EXPECT_EQ(fresh(), std::vector<ControlMessage>{protocol::RequestKeyframe{}});
    assembler->frame({1, 3, 30});
    run();
    EXPECT_EQ(manager->state(), State::connected);
}

// The video surface as the session sees it: records each sample with its delay, accepts or refuses.
struct RecordingDisplay final : client::VideoDisplay {
    bool accepts = true;
    std::vector<std::pair<std::uint32_t, base::Micros>> shown;
    int flushes = 0;

    bool display(std::shared_ptr<const client::VideoSample> sample, base::Micros delay) override {
        shown.emplace_back(sample->seq, delay);
        return accepts;
    }
    void flush() override { ++flushes; }
};

TEST_F(SessionTest, AFrameCountsOnlyOnceTheDisplayTookIt) {
    auto display = std::make_shared<RecordingDisplay>();
    manager->bindVideoDisplay(display);
    int counted = 0;
    manager->onFrame = [&](std::shared_ptr<const client::VideoSample>) { ++counted; };
    connectAndWelcome();
    assemblers.back()->onNeedKeyframe();
    run();
    fresh();
    audio->delayMillis = 100;

    display->accepts = false;
    assemblers.back()->frame({1, 1, 10}, 500);
    run();
    using Shown = std::vector<std::pair<std::uint32_t, base::Micros>>;
    EXPECT_EQ(display->shown, (Shown{{1, 100ms}}));
    EXPECT_TRUE(fresh().empty());
    EXPECT_EQ(manager->state(), State::recovering);
    EXPECT_TRUE(audio->videoPts.empty());
    EXPECT_EQ(counted, 0);

    display->accepts = true;
    assemblers.back()->frame({1, 2, 20}, 600);
    run();
    EXPECT_EQ(fresh(), (std::vector<ControlMessage>{protocol::Ack{1, 2, 20}}));
    EXPECT_EQ(manager->state(), State::connected);
    EXPECT_EQ(audio->videoPts, std::vector<std::uint64_t>{600});
    EXPECT_EQ(counted, 1);

    // The stream's flushes reach the display; its failure makes the stream wait for one keyframe.
    assemblers.back()->onNeedFlush();
    EXPECT_EQ(display->flushes, 1);
    EXPECT_TRUE(manager->videoDisplayFailed());
    EXPECT_FALSE(manager->videoDisplayFailed());
    manager->reconnect();
    run();
    EXPECT_EQ(display->flushes, 2);

    // Unbound, frames count without a display.
    connectAndWelcome();
    manager->unbindVideoDisplay();
    assemblers.back()->frame({1, 3, 30});
    run();
    EXPECT_EQ(display->shown.size(), 2u);
    EXPECT_EQ(counted, 2);
}

TEST_F(SessionTest, StaleCallbacksOfAnEarlierAttemptChangeNothing) {
    connectAndWelcome();
    auto oldAssembler = assemblers.back();
    auto oldControl = control();
    manager->reconnect();
    run();
    EXPECT_EQ(manager->state(), State::recovering);
    EXPECT_EQ(oldAssembler->flushes, 1);
    EXPECT_FALSE(oldAssembler->onFrame);
    oldControl->closeByPeer(4003);
    oldControl->fail({platform::WebSocketError::Kind::connectionLost, "gone", {}});
    run();
    EXPECT_EQ(manager->state(), State::recovering);
    EXPECT_EQ(manager->lastError(), std::nullopt);
    welcome();
    EXPECT_EQ(manager->state(), State::connected);
}

TEST_F(SessionTest, StatesArePublishedOncePerChange) {
    connect();
    manager->reconnect();
    manager->reconnect();
    run();
    EXPECT_EQ(states, (std::vector<State>{State::disconnected, State::connecting, State::recovering}));
}

// ---- The send chain

TEST_F(SessionTest, ControlMessagesLeaveInOrderOneAtATime) {
    connectAndWelcome();
    fresh();
    control()->holdSends = true;
    manager->sendPointer("move", 0.1, 0.2);
    manager->sendKey("a", false, false, false, false);
    EXPECT_TRUE(manager->sendText("hi"));
    run();
    EXPECT_EQ(control()->heldSendCount(), 1u);
    control()->completeHeldSend();
    run();
    EXPECT_EQ(control()->heldSendCount(), 1u);
    control()->completeHeldSend();
    run();
    control()->completeHeldSend();
    run();
    EXPECT_EQ(types(control()).size(), 6u);
    auto messages = fresh();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].as<protocol::PointerInput>()->seq, 2u);
    EXPECT_EQ(*messages[1].as<protocol::KeyInput>(), (protocol::KeyInput{3, "a", false, false, false, false}));
    EXPECT_EQ(*messages[2].as<protocol::TextInput>(), (protocol::TextInput{4, "hi"}));
}

TEST_F(SessionTest, AFailedSendIsATransportFailureOfItsAttempt) {
    connectAndWelcome();
    control()->holdSends = true;
    manager->sendRequestKeyframe();
    run();
    control()->completeHeldSend(false);
    run();
    EXPECT_EQ(manager->state(), State::recovering);
}

// ---- Inbound messages

TEST_F(SessionTest, PingIsAnsweredWithTheClientsUptime) {
    connectAndWelcome();
    fresh();
    executor.advance(0us);
    hostSays(protocol::Ping{7, 99});
    const std::vector<ControlMessage> pong = {protocol::Pong{7, 99, executor.nowMicros()}};
    EXPECT_EQ(fresh(), pong);
}

TEST_F(SessionTest, NoticesChangeLockInputAndViewState) {
    connect();
    hostSays(protocol::Notice{protocol::NoticeKind::unlocked});
    EXPECT_EQ(manager->state(), State::connecting);
    hostSays(protocol::Notice{protocol::NoticeKind::locked, "ロック中"});
    EXPECT_EQ(manager->state(), State::locked);
    welcome();
    EXPECT_EQ(manager->state(), State::locked);
    EXPECT_EQ(manager->lockMessage(), "ロック中");
    fresh();
    hostSays(protocol::Notice{protocol::NoticeKind::unlocked});
    EXPECT_EQ(manager->state(), State::connected);
    EXPECT_EQ(manager->lockMessage(), std::nullopt);
    EXPECT_EQ(fresh(), std::vector<ControlMessage>{(protocol::DisplayAspectFitRequest{false, 2560, 1600, 1.0})});

    hostSays(protocol::Notice{protocol::NoticeKind::accessibilityNeeded, "ignored"});
    EXPECT_EQ(manager->inputNotice(), std::string(ConnectionManager::kAccessibilityNeededMessage));
    hostSays(protocol::Notice{protocol::NoticeKind::appLaunchFailed, "起動できません"});
    EXPECT_EQ(manager->inputNotice(), "起動できません");

    heldKeys = {"x"};
    hostSays(protocol::Notice{protocol::NoticeKind::viewOnly});
    EXPECT_TRUE(manager->viewOnly());
    auto messages = fresh();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[0].as<protocol::KeyInput>());
    EXPECT_EQ(messages[1].as<protocol::PointerInput>()->action, "cancel");
    manager->sendPointer("move", 0.5, 0.5);
    run();
    EXPECT_TRUE(fresh().empty());
}

TEST_F(SessionTest, WindowStateAndListsArePublished) {
    connectAndWelcome();
    hostSays(protocol::WindowState{true, "Editor"});
    EXPECT_TRUE(manager->windowFitActive());
    EXPECT_EQ(manager->windowAppName(), "Editor");
    hostSays(protocol::WindowState{false, "Editor"});
    EXPECT_EQ(manager->windowAppName(), std::nullopt);

    hostSays(protocol::AppList{{{"com.a", "A", false, false}}, protocol::AppIcons{{"com.a", {1}}}});
    EXPECT_EQ(manager->appListIcons().size(), 1u);
    hostSays(protocol::AppList{{{"com.b", "B", true, true}}});
    EXPECT_TRUE(manager->appListIcons().empty());
    EXPECT_EQ(manager->appList().at(0).bundleId, "com.b");
}

TEST_F(SessionTest, BusyWaitsForTheUsersChoiceOrRejoinsAsController) {
    connect();
    hostSays(protocol::Busy{});
    EXPECT_EQ(manager->state(), State::busy);
    EXPECT_FALSE(control()->isCancelled());
    EXPECT_EQ(types(control()), std::vector<std::string>{"hello"});

    hostStore->setLastRole("controller", manager->hostEntryId());
    manager->reconnect();
    run();
    hostSays(protocol::Busy{});
    EXPECT_EQ(types(control()), (std::vector<std::string>{"hello", "joinController"}));
    hostSays(protocol::ControllerJoined{});
    EXPECT_EQ(manager->state(), State::controller);
    EXPECT_EQ(established, 1);
    EXPECT_EQ(types(control()), (std::vector<std::string>{"hello", "joinController", "pointer"}));

    manager->promoteToMain();
    run();
    EXPECT_EQ(manager->state(), State::connecting);
    hostSays(protocol::Busy{});
    hostSays(protocol::Busy{});
    EXPECT_EQ(types(control()), (std::vector<std::string>{"hello", "takeOver", "joinController"}));
}

TEST_F(SessionTest, CursorIsPublishedAlwaysAndTheSeparateCursorOnlyAfterTheWelcome) {
    manager->clientKind = "macos-desktop";
    manager->connect(entry(Kind::windows), "token", "device", true);
    run();
    protocol::CursorPosition::Shape arrow{"iVBO", 16, 16, 1, 1};
    protocol::CursorPosition early{0.5, 0.5, 1, true, arrow};
    hostSays(early);
    EXPECT_EQ(manager->cursor(), early);
    assemblers.back()->config(1, 1920, 1080);
    EXPECT_EQ(manager->visibleCursorShape(), std::nullopt);
    EXPECT_EQ(manager->streamSize(), (client::StreamSize{1920, 1080}));

    welcome();
    hostSays(protocol::CursorPosition{0.1, 0.1, 1, true, arrow});
    EXPECT_EQ(manager->visibleCursorShape(), arrow);
    hostSays(protocol::CursorPosition{0.1, 0.1, 2, true, std::nullopt});
    EXPECT_EQ(manager->visibleCursorShape(), arrow) << "generation 2 waits for its configuration";
    assemblers.back()->config(2, 1280, 720);
    EXPECT_EQ(manager->visibleCursorShape(), std::nullopt) << "visible, but no image for generation 2 yet";
    manager->disconnect();
    EXPECT_EQ(manager->cursor(), std::nullopt);
}

// ---- Teardown and the drain

TEST_F(SessionTest, DisconnectDrainsKeyReleasesThenThePointerCancelBeforeClosing) {
    connectAndWelcome();
    manager->sendKey("a", false, false, false, false, protocol::KeyInput::Phase::down);
    fresh();
    heldKeys = {"a", "b"};
    auto oldControl = control();
    auto oldVideo = video();
    manager->disconnect();
    EXPECT_EQ(manager->state(), State::disconnected);
    EXPECT_FALSE(oldControl->isCancelled());
    run();
    auto after = fresh();
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[1], ControlMessage(keyUp(3, "a")));
    EXPECT_EQ(after[2], ControlMessage(keyUp(4, "b")));
    EXPECT_EQ(after[3], ControlMessage(pointerCancel(5)));
    EXPECT_EQ(oldControl->cancelledWith, 1001);
    EXPECT_EQ(oldVideo->cancelledWith, 1001);
    executor.advance(1s);
    EXPECT_EQ(attempts(), 1u);
}

TEST_F(SessionTest, DisconnectWithoutKeyPhasesSendsOnlyThePointerCancel) {
    connectAndWelcome();
    fresh();
    manager->sendPointer("move", 0.3, 0.3);
    manager->disconnect();
    run();
    auto after = fresh();
    ASSERT_EQ(after.size(), 1u) << "messages queued before the teardown are dropped";
    EXPECT_EQ(after[0], ControlMessage(pointerCancel(3)));
    EXPECT_EQ(control()->cancelledWith, 1001);
}

TEST_F(SessionTest, DrainWatchdogClosesTheOldChannelsAfter500ms) {
    connectAndWelcome();
    manager->sendKey("a", false, false, false, false, protocol::KeyInput::Phase::down);
    control()->holdSends = true;
    run();
    auto oldControl = control();
    manager->disconnect();
    run();
    executor.advance(499ms);
    EXPECT_FALSE(oldControl->isCancelled());
    executor.advance(1ms);
    EXPECT_EQ(oldControl->cancelledWith, 1001);
    EXPECT_EQ(video()->cancelledWith, 1001);
}

TEST_F(SessionTest, TeardownWithoutInputClosesAtOnce) {
    connect();
    manager->disconnect();
    EXPECT_EQ(control()->cancelledWith, 1001);
    EXPECT_EQ(video()->cancelledWith, 1001);
    EXPECT_EQ(assemblers.back()->flushes, 1);
    EXPECT_EQ(audio->ends, 2);
}

// ---- Server errors and the retry policy

TEST_F(SessionTest, TerminalServerErrorsEndTheSession) {
    const std::vector<std::pair<std::int64_t, State>> cases = {
        {4003, State::authFailed}, {4004, State::busy}, {4005, State::revoked}, {4006, State::disconnected}};
    for (const auto& [code, state] : cases) {
        connectAndWelcome();
        auto before = attempts();
        hostSays(protocol::ErrorMessage{code, "message " + std::to_string(code)});
        EXPECT_EQ(manager->state(), state) << code;
        EXPECT_EQ(manager->lastError(), "message " + std::to_string(code));
        EXPECT_EQ(control()->cancelledWith, 1001);
        executor.advance(120s);
        EXPECT_EQ(attempts(), before) << code;
    }
}

TEST_F(SessionTest, OtherServerErrorsAreRetried) {
    connectAndWelcome();
    hostSays(protocol::ErrorMessage{4001, "stalled"});
    EXPECT_EQ(manager->state(), State::recovering);
    EXPECT_EQ(manager->lastError(), "stalled");
    executor.advance(1s);
    EXPECT_EQ(attempts(), 2u);
}

TEST_F(SessionTest, ControlCloseCodesDecideBetweenStoppingAndRetrying) {
    connectAndWelcome();
    control()->closeByPeer(4006);
    run();
    EXPECT_EQ(manager->state(), State::disconnected);
    EXPECT_EQ(manager->lastError(), std::string(protocol::kNotBroadcastingMessage));

    for (std::uint16_t code : {4003, 4004, 4005, 1006}) {
        connectAndWelcome();
        control()->closeByPeer(code);
        run();
        EXPECT_EQ(manager->state(), State::recovering) << code;
    }
}

TEST_F(SessionTest, ANeverAnsweringHostIsTriedFourTimes) {
    connect();
    std::vector<std::uint64_t> waits;
    for (int failure = 0; failure < 4; ++failure) {
        control()->fail({platform::WebSocketError::Kind::unreachable, "refused", {}});
        run();
        if (failure < 3) {
            EXPECT_EQ(manager->state(), State::recovering);
            EXPECT_EQ(manager->lastError(), "host unreachable: refused");
        }
        auto start = executor.nowMicros();
        auto count = attempts();
        while (attempts() == count && executor.nowMicros() - start < 120'000'000) executor.advance(100ms);
        if (attempts() != count) waits.push_back((executor.nowMicros() - start) / 1000);
    }
    EXPECT_EQ(waits, (std::vector<std::uint64_t>{1000, 2000, 4000}));
    EXPECT_EQ(manager->state(), State::disconnected);
    EXPECT_EQ(manager->lastError(), std::string(ConnectionManager::kGiveUpMessage));
}

TEST_F(SessionTest, AnsweredHostIsRetriedWithBackOffWithoutLimit) {
    connectAndWelcome();
    std::vector<std::uint64_t> waits;
    for (int failure = 0; failure < 8; ++failure) {
        control()->fail({platform::WebSocketError::Kind::connectionLost, "reset", {}});
        run();
        auto start = executor.nowMicros();
        auto count = attempts();
        while (attempts() == count) executor.advance(500ms);
        waits.push_back((executor.nowMicros() - start) / 1'000'000);
        EXPECT_EQ(manager->state(), State::recovering);
    }
    EXPECT_EQ(waits, (std::vector<std::uint64_t>{1, 2, 4, 8, 16, 30, 30, 30}));

    welcome();
    assemblers.back()->frame({1, 1, 1});
    run();
    control()->fail({platform::WebSocketError::Kind::connectionLost, "reset", {}});
    run();
    auto count = attempts();
    executor.advance(1s);
    EXPECT_EQ(attempts(), count + 1) << "a delivered frame restarts the back-off";
}

TEST_F(SessionTest, NothingReconnectsAfterTakeOverOrDisconnect) {
    connectAndWelcome();
    auto oldControl = control();
    hostSays(protocol::Notice{protocol::NoticeKind::takenOver});
    EXPECT_EQ(manager->state(), State::takenOver);
    oldControl->fail({platform::WebSocketError::Kind::connectionLost, "", {}});
    executor.advance(60s);
    EXPECT_EQ(attempts(), 1u);

    connect();
    control()->fail({platform::WebSocketError::Kind::connectionLost, "", {}});
    run();
    manager->disconnect();
    executor.advance(60s);
    EXPECT_EQ(attempts(), 2u);
    EXPECT_EQ(manager->state(), State::disconnected);
    EXPECT_EQ(manager->lastError(), std::nullopt);
}

TEST_F(SessionTest, ReleasedManagerClosesItsChannelsAndIgnoresLateCompletions) {
    connectAndWelcome();
    manager->sendPointer("move", 0.1, 0.1);
    auto channel = control();
    manager.reset();
    EXPECT_EQ(channel->cancelledWith, 1001);
    channel->deliverText(R"({"type":"ping","id":1,"t":2})");
    executor.advance(60s);
}

}  // namespace
}  // namespace orvanta::testing
