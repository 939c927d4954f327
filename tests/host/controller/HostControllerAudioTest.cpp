#include "HostControllerHelloSupport.h"
#include "HostControllerVideoSupport.h"
#include "host/controller/SystemAudio.h"

namespace orvanta::testing {
namespace {

using Probe = host::HostControllerProbe;
using Session = host::HostController::Session;

// The component on virtual time: the coordinator's wish, connection and publishing are fakes.
class SystemAudioTest : public HostControllerTest {
protected:
    void SetUp() override {
        mediaLink = link();
        audio->wanted = [this] { return wanted; };
        audio->connection = [this] { return connection; };
        audio->publishSending = [this](bool sending) { published.push_back(sending); };
        audio->log = [this](std::string_view line) { logs.emplace_back(line); };
    }
    void TearDown() override {
        audio.reset();
        mediaLink = {};
        HostControllerTest::TearDown();
    }

    FakeHostMedia& media() { return *fakes.media; }
    void settle() { queue.runUntilIdle(); }

    // The running capture fails; refreshes then wait `seconds` before a new one starts.
    void failAndExpectRetryAfter(int failure, std::uint64_t seconds) {
        const std::size_t made = media().audioCaptures.size();
        media().audio()->fail("server gone");
        settle();
        EXPECT_TRUE(media().audio()->stopped);
        EXPECT_EQ(published.back(), false);
        EXPECT_TRUE(logged("audio capture failed (" + std::to_string(failure) + "): server gone; retry in " +
                           std::to_string(seconds) + "s"));
        queue.advance(std::chrono::seconds(seconds) - std::chrono::microseconds(1));
        audio->refresh();
        EXPECT_EQ(media().audioCaptures.size(), made);
        queue.advance(std::chrono::microseconds(1));
        audio->refresh();
        EXPECT_EQ(media().audioCaptures.size(), made + 1);
    }

    LinkedConnection mediaLink;
    std::shared_ptr<host::WebSocketConnection>& connection = mediaLink.connection;
    bool wanted = true;
    std::vector<bool> published;
    std::shared_ptr<host::SystemAudio> audio = std::make_shared<host::SystemAudio>(queue, queue.clock(), fakes.media);
};

TEST_F(SystemAudioTest, ARunStartsOnTheMediaConnectionAndStopsWhenNoLongerWanted) {
    audio->refresh();
    ASSERT_EQ(media().audioCaptures.size(), 1u);
    EXPECT_EQ(media().audio()->connection, connection);
    EXPECT_TRUE(published.empty());
    media().audio()->finishStart(true);
    settle();
    EXPECT_EQ(published, std::vector<bool>{true});
    audio->refresh();  // still wanted, still running: nothing new
    EXPECT_EQ(media().audioCaptures.size(), 1u);
    EXPECT_EQ(published, std::vector<bool>{true});

    wanted = false;
    audio->refresh();
    EXPECT_TRUE(media().audio()->stopped);
    EXPECT_EQ(published, (std::vector<bool>{true, false}));
    audio->refresh();
    EXPECT_EQ(media().audioCaptures.size(), 1u);
    EXPECT_EQ(published.size(), 2u);
}

TEST_F(SystemAudioTest, NothingStartsWithoutAMediaConnectionOrMedia) {
    connection = nullptr;
    audio->refresh();
    EXPECT_TRUE(media().audioCaptures.empty());
    auto without = std::make_shared<host::SystemAudio>(queue, queue.clock(), nullptr);
    without->wanted = [] { return true; };
    without->connection = [this] { return mediaLink.connection; };
    without->refresh();
    EXPECT_TRUE(media().audioCaptures.empty());
}

TEST_F(SystemAudioTest, FailuresWaitFiveTenThirtyThenSixtySecondsWithoutLimit) {
    audio->refresh();
    media().audio()->finishStart(true);
    settle();
    failAndExpectRetryAfter(1, 5);
    failAndExpectRetryAfter(2, 10);
    failAndExpectRetryAfter(3, 30);
    failAndExpectRetryAfter(4, 60);
    failAndExpectRetryAfter(5, 60);
    // A start that runs clears the count: the next failure waits 5 s again.
    media().audio()->finishStart(true);
    settle();
    EXPECT_EQ(published.back(), true);
    failAndExpectRetryAfter(1, 5);
}

TEST_F(SystemAudioTest, ANewSessionForgetsTheBackOff) {
    audio->refresh();
    media().audio()->fail("server gone");
    settle();
    audio->refresh();
    EXPECT_EQ(media().audioCaptures.size(), 1u);
    audio->forgetFailures();
    audio->refresh();
    ASSERT_EQ(media().audioCaptures.size(), 2u);
    media().audio()->fail("server gone");
    settle();
    EXPECT_TRUE(logged("audio capture failed (1): server gone; retry in 5s"));
}

TEST_F(SystemAudioTest, AnEarlierCapturesFailureOrStartIsIgnored) {
    audio->refresh();
    auto first = media().audio();
    wanted = false;
    audio->refresh();
    wanted = true;
    audio->refresh();
    ASSERT_EQ(media().audioCaptures.size(), 2u);
    first->finishStart(true);
    first->fail("late");
    settle();
    EXPECT_EQ(published, std::vector<bool>{false});  // the stop's, nothing of the late answers
    EXPECT_FALSE(logged("audio capture failed (1): late; retry in 5s"));
    EXPECT_FALSE(media().audio()->stopped);
    // The current run's failure is its first.
    media().audio()->fail("server gone");
    settle();
    EXPECT_TRUE(logged("audio capture failed (1): server gone; retry in 5s"));
}

TEST_F(SystemAudioTest, GenerationsWrapThroughZero) {
    for (int run = 0; run < 65'536; ++run) {
        wanted = true;
        audio->refresh();
        wanted = false;
        audio->refresh();
    }
    wanted = true;
    audio->refresh();
    EXPECT_EQ(media().audioCaptures[0]->generation, 1);
    EXPECT_EQ(media().audioCaptures[65'534]->generation, 65'535);
    EXPECT_EQ(media().audioCaptures[65'535]->generation, 0);
    EXPECT_EQ(media().audio()->generation, 1);
}

TEST(SystemAudioOfferTest, OffersAudioToEveryKindThatPlaysIt) {
    using host::DeviceKind;
    for (const auto kind : {DeviceKind::iPad, DeviceKind::iPhone, DeviceKind::mac, DeviceKind::windows, DeviceKind::android}) {
        EXPECT_EQ(host::SystemAudio::offer(kind), protocol::AudioFormat::aacLC48kStereo());
    }
    EXPECT_EQ(host::SystemAudio::offer(DeviceKind::other), std::nullopt);
}

// The coordinator's side, on the wire: what audio is wanted for, and where it is sent.
class HostControllerAudioTest : public HostVideoTest {
protected:
    // A streaming session that asked for audio.
    std::shared_ptr<Session> listeningSession() {
        auto session = streamingSession();
        session->audioRequested = true;
        return session;
    }
    // The next housekeeping tick refreshes audio.
    void refresh() { probe().housekeepingTick(); }
};

TEST_F(HostControllerAudioTest, RunsOnlyWhileEveryConditionHolds) {
    struct Case {
        const char* name;
        std::function<void(Probe&, Session&)> arrange;
        bool runs;
    };
    const std::vector<Case> cases = {
        {"all hold", [](Probe&, Session&) {}, true},
        {"not requested", [](Probe&, Session& s) { s.audioRequested = false; }, false},
        {"not authenticated", [](Probe&, Session& s) { s.authenticated = false; }, false},
        {"detached", [](Probe&, Session& s) { s.detachedAt = 1; }, false},
        {"no video connection", [](Probe&, Session& s) { s.video.reset(); }, false},
        {"sender without connection", [this](Probe&, Session&) { fakes.sender->detach(); }, false},
        {"paused", [this](Probe&, Session&) { lockScreen(true); }, false},
        {"no session", [](Probe& p, Session&) { p.session().reset(); }, false},
    };
    create();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto session = listeningSession();
        auto p = probe();
        c.arrange(p, *session);
        const std::size_t before = media().audioCaptures.size();
        refresh();
        ASSERT_EQ(media().audioCaptures.size(), before + (c.runs ? 1 : 0));
        if (c.runs) {
            EXPECT_EQ(media().audio()->connection, session->video);
        }
        // Once the conditions fail, a running capture stops.
        lockScreen(true);
        refresh();
        if (c.runs) {
            EXPECT_TRUE(media().audio()->stopped);
        }
        lockScreen(false);
    }
}

TEST_F(HostControllerAudioTest, PublishesSendingOnceStartedAndStoppedOnPause) {
    create();
    listeningSession();
    refresh();
    settle();
    EXPECT_FALSE(shown().audioSending);
    media().audio()->finishStart(true);
    settle();
    EXPECT_TRUE(shown().audioSending);
    const int assigned = assignments;
    refresh();  // still wanted, still running: nothing new is published
    settle();
    EXPECT_EQ(assignments, assigned);

    lockScreen(true);
    settle();
    EXPECT_TRUE(media().audio()->stopped);
    EXPECT_FALSE(shown().audioSending);
    refresh();
    EXPECT_EQ(media().audioCaptures.size(), 1u);
}

TEST_F(HostControllerAudioTest, ClosingTheVideoStopsAudioAndTheNextVideoRestartsItWithTheNextGeneration) {
    startListening();
    auto control = link();
    auto session = authenticatedSession(control);
    session->audioRequested = true;
    session->ticket = "tk-1";
    auto first = connectVideo();
    sendAuth(*first, "tk-1");
    ASSERT_TRUE(drive([&] { return session->video != nullptr; }));
    ASSERT_EQ(media().audioCaptures.size(), 1u);
    EXPECT_EQ(media().audio()->generation, 1);
    EXPECT_EQ(media().audio()->connection, session->video);
    finishCapture();
    ASSERT_TRUE(media().encoder());

    first->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return session->video == nullptr; }));
    EXPECT_TRUE(media().audio()->stopped);

    // Each ticket admits one connection; the device comes back with a fresh one.
    session->ticket = "tk-2";
    session->ticketUsed = false;
    fakes.log->clear();
    auto second = connectVideo();
    sendAuth(*second, "tk-2");
    ASSERT_TRUE(drive([&] { return session->video != nullptr; }));
    EXPECT_EQ(fakes.log->front(), "sender.attach running");
    ASSERT_EQ(media().audioCaptures.size(), 2u);
    EXPECT_EQ(media().audio()->generation, 2);
    EXPECT_FALSE(media().audio()->stopped);
    EXPECT_EQ(media().audio()->connection, session->video);
    EXPECT_EQ(media().captures.size(), 1u);  // the running pipeline serves the new connection
}

class HostAudioOfferTest : public HostHelloTest {
protected:
    std::optional<protocol::AudioFormat> welcomeAudio(const std::optional<std::string>& client) {
        protocol::Hello hello{tokenA, "dev-a", protocol::DeviceIdiom::pad, {1024, 768}, {.codecs = {"h264"}}};
        hello.caps.client = client;
        auto device = open(protocol::ControlMessage(hello).jsonString().value());
        auto welcome = await([&] { return device->nextText("welcome"); });
        endCurrentSession();
        if (!welcome) {
            ADD_FAILURE() << "no welcome";
            return std::nullopt;
        }
        auto decoded = protocol::ControlMessage::decode(welcome->dump());
        return decoded && decoded->as<protocol::Welcome>() ? decoded->as<protocol::Welcome>()->audio : std::nullopt;
    }
};

TEST_F(HostAudioOfferTest, WelcomeOffersAudioToClientsThatPlayIt) {
    const std::vector<std::pair<std::optional<std::string>, bool>> cases = {
        {std::nullopt, true}, {"macos-desktop", true},  {"windows-desktop", true},
        {"android", true},    {"linux-desktop", false}, {"", false},
    };
    for (const auto& [client, offered] : cases) {
        SCOPED_TRACE(client.value_or("no client"));
        const auto audio = welcomeAudio(client);
        EXPECT_EQ(audio, offered ? std::optional(protocol::AudioFormat::aacLC48kStereo()) : std::nullopt);
    }
}

}  // namespace
}  // namespace orvanta::testing
