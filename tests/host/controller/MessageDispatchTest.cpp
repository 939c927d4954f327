// The message dispatch on its own, on virtual time, over real loopback connections: input is a
// fake, and every neighbour records what the dispatch handed it.
#include <gtest/gtest.h>

#include "HostControllerHarness.h"
#include "host/controller/MessageDispatch.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;
using host::ConnectionRoute;
using host::InputResult;
using protocol::ControlMessage;
using Calls = std::vector<std::string>;

std::string encoded(const ControlMessage& message) { return message.jsonString().value(); }

// The executors and connections of the controller's harness; no controller is made.
class MessageDispatchTest : public HostControllerTest {
protected:
    void SetUp() override { make(false); }

    void make(bool debugInput) {
        dispatch = std::make_unique<host::MessageDispatch>(queue.clock(), fakes.input, debugInput);
        auto record = [this](std::string call) { fakes.log->push_back(std::move(call)); };
        dispatch->setNeighbours({
            .session = [this] { return mainSession; },
            .paused = [this] { return paused; },
            .hello = [record](const auto&, const protocol::Hello&) { record("hello"); },
            .unlock = [record](const std::string& password) { record("unlock " + password); },
            .pointerReady = [this] { return pointerReady; },
            .inputAge = [this](std::uint64_t micros) { inputAges.push_back(micros); },
            .ackReceived =
                [this, record](std::uint16_t gen, std::uint32_t seq) {
                    record("ack " + std::to_string(gen) + " " + std::to_string(seq));
                    return firstOfGeneration;
                },
            .firstFrameShown = [record](std::uint16_t gen) { record("shown " + std::to_string(gen)); },
            .setBaseRTT = [this](std::uint64_t micros) { baseRTT = micros; },
            .forceKeyframe = [record] { record("keyframe"); },
            .refreshAudio = [record] { record("audio.refresh"); },
            .aspectFit = [record](const protocol::DisplayAspectFitRequest&, host::HostSession&) { record("aspectFit"); },
            .viewportUpdate = [record](const protocol::ViewportUpdate&, host::HostSession&) { record("viewport"); },
            .fitFrontmost =
                [this, record](const protocol::FitWindowRequest& request) {
                    record("fitFrontmost " + std::to_string(request.viewportWidth));
                    return fitsFrontmost;
                },
            .fitTarget = [record](const protocol::FitWindowTarget&) { record("fitTarget"); },
            .unfit = [record] { record("unfit"); },
            .sendNoWindowState = [record] { record("noWindowState"); },
            .clipboardText =
                [this, record](const protocol::ClipboardText& text) {
                    record("clipboard.text " + text.text);
                    return clipboardResult;
                },
            .clipboardImage = [record](const protocol::ClipboardImage&) { record("clipboard.image"); },
            .windowList = [record](const auto&) { record("windowList"); },
            .launchApp = [record](const std::string& bundleId, const auto&) { record("launch " + bundleId); },
            .appList = [record](const auto&) { record("appList"); },
            .log = [this](std::string_view line) { logs.emplace_back(line); },
        });
    }

    std::shared_ptr<host::HostSession> sessionOn(const LinkedConnection& linked, const std::string& deviceId = "dev-1") {
        auto session = std::make_shared<host::HostSession>(linked.connection, queue.nowMicros());
        session->deviceId = deviceId;
        session->authenticated = true;
        session->viewportWidth = session->viewportHeight = 100;
        return session;
    }
    void receive(const std::string& text, const std::shared_ptr<host::HostSession>& session) {
        dispatch->receiveText(text, session);
        queue.runUntilIdle();
    }

    std::unique_ptr<host::MessageDispatch> dispatch;
    std::shared_ptr<host::HostSession> mainSession;
    bool paused = false;
    bool pointerReady = true;
    bool firstOfGeneration = true;
    bool fitsFrontmost = false;
    InputResult clipboardResult = InputResult::ok;
    std::vector<std::uint64_t> inputAges;
    std::optional<std::uint64_t> baseRTT;
};

// Which state a message needs before anything happens.
enum Need : unsigned { kAuth = 1, kAttached = 2, kUnpaused = 4, kMain = 8, kNotLan = 16 };

TEST_F(MessageDispatchTest, EachMessageGoesToItsConcernOnlyInTheStatesItNeeds) {
    struct Row {
        std::string text;
        unsigned needs;
        std::string effect;
    };
    const std::vector<Row> rows = {
        {encoded(protocol::PointerInput{.seq = 1, .action = "move"}), kAuth | kAttached | kUnpaused,
         "input.pointer move dev-1"},
        {encoded(protocol::KeyInput{.seq = 2, .name = "a"}), kAuth | kAttached | kUnpaused, "input.key a dev-1"},
        {encoded(protocol::TextInput{.seq = 3, .value = "hi"}), kAuth | kUnpaused, "input.text hi dev-1"},
        {encoded(protocol::ClipboardText{"abc"}), kAuth | kUnpaused, "clipboard.text abc"},
        {encoded(protocol::RequestKeyframe{}), kAuth, "keyframe"},
        {encoded(protocol::Ack{.gen = 1, .seq = 7}), kAuth, "ack 1 7"},
        {encoded(protocol::AudioRequest{true}), kAuth | kMain, "audio.refresh"},
        {encoded(protocol::UnlockRequest{"pw"}), kAuth | kAttached | kMain | kNotLan, "unlock pw"},
        {encoded(protocol::DisplayAspectFitRequest{}), kAuth, "aspectFit"},
        {encoded(protocol::ViewportUpdate{}), kAuth, "viewport"},
        {encoded(protocol::FitWindowRequest{1, 1}), kAuth | kUnpaused, "fitFrontmost 1"},
        {encoded(protocol::FitWindowTarget{}), kAuth | kUnpaused, "fitTarget"},
        {encoded(protocol::UnfitWindow{}), kAuth | kUnpaused, "unfit"},
        {encoded(protocol::WindowListRequest{}), kAuth | kUnpaused, "windowList"},
        {encoded(protocol::LaunchAppRequest{"editor.desktop"}), kAuth | kAttached | kUnpaused, "launch editor.desktop"},
        {R"({"type":"applist"})", kAuth | kAttached | kUnpaused, "appList"},
    };
    const std::vector<std::pair<std::string, unsigned>> states = {
        {"ready", 0},          {"unauthenticated", kAuth}, {"detached", kAttached},
        {"paused", kUnpaused}, {"not main", kMain},        {"lan", kNotLan}};
    for (const auto& [name, fails] : states) {
        for (const auto& row : rows) {
            SCOPED_TRACE(name + ": " + row.text);
            LinkedConnection device = link();
            auto session = sessionOn(device);
            session->authenticated = fails != kAuth;
            if (fails == kAttached) session->detachedAt = 0;
            if (fails == kNotLan) session->route = ConnectionRoute::lan;
            paused = fails == kUnpaused;
            LinkedConnection other = link();
            mainSession = fails == kMain ? sessionOn(other, "dev-9") : session;
            fakes.log->clear();
            receive(row.text, session);
            EXPECT_EQ(std::ranges::count(*fakes.log, row.effect) == 1, (row.needs & fails) == 0);
            EXPECT_FALSE(device.connection->isClosing());
        }
    }
}

TEST_F(MessageDispatchTest, TheSecondDeviceActsOnlyOnTheLiveMainSessionsDesktop) {
    struct Row {
        std::string text;
        unsigned needs;  // of the main session
        std::string effect;
    };
    const std::vector<Row> rows = {
        {encoded(protocol::PointerInput{.seq = 1, .action = "move"}), kAuth | kAttached | kUnpaused,
         "input.pointer move dev-2"},
        {encoded(protocol::TextInput{.seq = 3, .value = "hi"}), kAuth | kAttached | kUnpaused, "input.text hi dev-2"},
        {encoded(protocol::ClipboardImage{"AAAA"}), kAuth | kAttached | kUnpaused, "clipboard.image"},
        {encoded(protocol::FitWindowRequest{0, 0}), kAuth | kUnpaused, "fitFrontmost 100"},  // the main viewport's
        {encoded(protocol::FitWindowTarget{}), kAuth | kUnpaused, "fitTarget"},
        {encoded(protocol::UnfitWindow{}), kUnpaused, "unfit"},
        {encoded(protocol::WindowListRequest{}), kUnpaused, "windowList"},
        {R"({"type":"applist"})", kAuth | kAttached | kUnpaused, "appList"},
        {encoded(protocol::UnlockRequest{"pw"}), kMain, "unlock pw"},  // never the second device's
    };
    const std::vector<std::pair<std::string, unsigned>> states = {
        {"ready", 0}, {"unauthenticated", kAuth}, {"detached", kAttached}, {"paused", kUnpaused}};
    for (const auto& [name, fails] : states) {
        for (const auto& row : rows) {
            SCOPED_TRACE(name + ": " + row.text);
            LinkedConnection device = link();
            mainSession = sessionOn(device);
            mainSession->authenticated = fails != kAuth;
            if (fails == kAttached) mainSession->detachedAt = 0;
            paused = fails == kUnpaused;
            LinkedConnection peerLink = link();
            auto peer = std::make_shared<host::ControllerSession>(
                host::ControllerSession{peerLink.connection, "dev-2", ConnectionRoute::lan, queue.nowMicros(), 0});
            fakes.log->clear();
            dispatch->receiveFromController(ControlMessage::decode(row.text).value(), peer);
            EXPECT_EQ(std::ranges::count(*fakes.log, row.effect) == 1, (row.needs & fails) == 0 && !(row.needs & kMain));
        }
    }
}

TEST_F(MessageDispatchTest, UndecodableMessagesAreLoggedOnceASecondAndKeepTheConnection) {
    LinkedConnection device = link();
    mainSession = sessionOn(device);
    queue.advance(2s);
    for (const char* text : {"{", R"({"type":"teleport"})", R"({"type":"key"})"}) receive(text, mainSession);
    EXPECT_EQ(std::ranges::count(logs, "control: ignoring undecodable message"), 1);
    queue.advance(1s);
    dispatch->undecodable();  // as the hub reports a frame it could not read
    EXPECT_EQ(std::ranges::count(logs, "control: ignoring undecodable message"), 1);
    queue.advance(1us);
    receive("[]", mainSession);
    EXPECT_EQ(std::ranges::count(logs, "control: ignoring undecodable message"), 2);
    EXPECT_FALSE(device.connection->isClosing());
}

TEST_F(MessageDispatchTest, PongsKeepTwentyRoundTripsAndTheSmallestAsBase) {
    LinkedConnection device = link();
    mainSession = sessionOn(device);
    queue.advance(100s);
    const std::uint64_t at = queue.nowMicros();
    auto pong = [&](std::uint64_t rtt) { receive(encoded(protocol::Pong{.t = at - rtt}), mainSession); };
    for (std::uint64_t rtt = 500; rtt <= 520; ++rtt) pong(rtt);
    ASSERT_EQ(mainSession->rttSamples.size(), 20u);
    EXPECT_EQ(mainSession->rttSamples.front(), 501u);
    EXPECT_EQ(baseRTT, 1'000u);  // never below a millisecond

    pong(2'000);
    EXPECT_EQ(mainSession->rttSamples.front(), 502u);
    for (auto& sample : mainSession->rttSamples) sample = 3'000;
    pong(60'000'000);                                     // too slow to count
    receive(encoded(protocol::Pong{.t = at + 1}), mainSession);  // from the future
    EXPECT_EQ(baseRTT, 1'000u);
    EXPECT_EQ(mainSession->rttSamples, std::vector<std::uint64_t>(20, 3'000));
    EXPECT_EQ(mainSession->lastPongAt, at);
    pong(59'999'999);
    EXPECT_EQ(baseRTT, 3'000u);
}

TEST_F(MessageDispatchTest, PointerWaitsForAStillPictureExceptCancelAndAcksReportTheFirstFrame) {
    LinkedConnection device = link();
    mainSession = sessionOn(device);
    pointerReady = false;
    receive(encoded(protocol::PointerInput{.seq = 1, .action = "move"}), mainSession);
    receive(encoded(protocol::PointerInput{.seq = 2, .action = "cancel"}), mainSession);
    EXPECT_EQ(*fakes.log, Calls{"input.pointer cancel dev-1"});
    EXPECT_EQ(inputAges.size(), 1u);

    fakes.log->clear();
    firstOfGeneration = false;
    receive(encoded(protocol::Ack{.gen = 4, .seq = 1}), mainSession);
    firstOfGeneration = true;
    receive(encoded(protocol::Ack{.gen = 4, .seq = 2}), mainSession);
    EXPECT_EQ(*fakes.log, (Calls{"ack 4 1", "ack 4 2", "shown 4"}));
}

TEST_F(MessageDispatchTest, MissingAccessibilityIsNoticedOncePerSession) {
    make(true);
    LinkedConnection device = link();
    mainSession = sessionOn(device);
    fakes.input->result = InputResult::needsAccessibility;
    receive(encoded(protocol::KeyInput{.seq = 5, .name = "a"}), mainSession);
    receive(encoded(protocol::TextInput{.seq = 6, .value = "日本"}), mainSession);
    clipboardResult = InputResult::needsAccessibility;
    receive(encoded(protocol::ClipboardText{"abc"}), mainSession);
    EXPECT_EQ(device.nextText(), (base::Json{{"type", "notice"}, {"kind", "accessibilityNeeded"}}));
    EXPECT_EQ(std::ranges::count(logs, "input rejected: accessibility not granted"), 1);
    EXPECT_TRUE(logged("input key seq=5 -> needsAccessibility"));
    EXPECT_TRUE(logged("input text len=2 seq=6 -> needsAccessibility"));

    dispatch->sessionStarted();
    dispatch->inputResult(InputResult::needsAccessibility);
    EXPECT_EQ(std::ranges::count(logs, "input rejected: accessibility not granted"), 2);
}

TEST_F(MessageDispatchTest, WithoutInputNothingIsInjected) {
    dispatch = std::make_unique<host::MessageDispatch>(queue.clock(), nullptr, true);
    dispatch->setNeighbours({.session = [this] { return mainSession; }, .paused = [] { return false; }});
    LinkedConnection device = link();
    mainSession = sessionOn(device);
    receive(encoded(protocol::KeyInput{.seq = 5, .name = "a"}), mainSession);
    EXPECT_TRUE(fakes.log->empty());
    EXPECT_FALSE(device.connection->isClosing());
}

TEST_F(MessageDispatchTest, AnUnlocksPasswordIsWipedOnceHandled) {
    LinkedConnection device = link();
    mainSession = sessionOn(device);
    ControlMessage message(protocol::UnlockRequest{"pw"});
    dispatch->receive(message, mainSession);
    EXPECT_EQ(*fakes.log, Calls{"unlock pw"});
    EXPECT_EQ(message.as<protocol::UnlockRequest>()->password, std::string(2, '\0'));
}

}  // namespace
}  // namespace orvanta::testing
