#include "HostControllerHelloSupport.h"
#include "HostControllerVideoSupport.h"

namespace orvanta::testing {
namespace {

using Probe = host::HostControllerProbe;
using Session = host::HostController::Session;

class HostControllerAudioTest : public HostVideoTest {
protected:
    // A streaming session that asked for audio.
    std::shared_ptr<Session> listeningSession() {
        auto session = streamingSession();
        session->audioRequested = true;
        return session;
    }

    // The decision runs, and the newest audio capture answers its start.
    void startAudio(bool started = true) {
        probe().refreshAudio();
        media().audio()->finishStart(started);
        settle();
    }

    // The running capture fails; the decision then waits `seconds` before a new one starts.
    void failAndExpectRetryAfter(int failure, std::uint64_t seconds) {
        const std::size_t made = media().audioCaptures.size();
        media().audio()->fail("server gone");
        settle();
        EXPECT_TRUE(media().audio()->stopped);
        EXPECT_FALSE(shown().audioSending);
        EXPECT_TRUE(logged("audio capture failed (" + std::to_string(failure) + "): server gone; retry in " +
                           std::to_string(seconds) + "s"));
        advance(std::chrono::seconds(seconds) - std::chrono::microseconds(1));
        probe().refreshAudio();
        EXPECT_EQ(media().audioCaptures.size(), made);
        advance(std::chrono::microseconds(1));
        probe().refreshAudio();
        EXPECT_EQ(media().audioCaptures.size(), made + 1);
    }
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
        {"paused", [](Probe& p, Session&) { p.pausedFlag() = true; }, false},
        {"no session", [](Probe& p, Session&) { p.session().reset(); }, false},
    };
    create();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto session = listeningSession();
        auto p = probe();
        c.arrange(p, *session);
        const std::size_t before = media().audioCaptures.size();
        p.refreshAudio();
        ASSERT_EQ(media().audioCaptures.size(), before + (c.runs ? 1 : 0));
        if (c.runs) {
            EXPECT_EQ(media().audio()->connection, session->video);
        }
        // Once the conditions fail, a running capture stops.
        p.pausedFlag() = true;
        p.refreshAudio();
        EXPECT_EQ(p.audioCapture(), nullptr);
        if (c.runs) {
            EXPECT_TRUE(media().audio()->stopped);
        }
        p.pausedFlag() = false;
    }
}

TEST_F(HostControllerAudioTest, PublishesSendingOnceStartedAndStoppedOnPause) {
    create();
    listeningSession();
    probe().refreshAudio();
    settle();
    EXPECT_FALSE(shown().audioSending);
    media().audio()->finishStart(true);
    settle();
    EXPECT_TRUE(shown().audioSending);
    const int assigned = assignments;
    probe().refreshAudio();  // still wanted, still running: nothing new is published
    settle();
    EXPECT_EQ(assignments, assigned);

    probe().setPaused(true);
    settle();
    EXPECT_TRUE(media().audio()->stopped);
    EXPECT_FALSE(shown().audioSending);
    probe().refreshAudio();
    EXPECT_EQ(media().audioCaptures.size(), 1u);
}

TEST_F(HostControllerAudioTest, FailuresWaitFiveTenThirtyThenSixtySecondsWithoutLimit) {
    create();
    listeningSession();
    startAudio();
    EXPECT_TRUE(shown().audioSending);
    failAndExpectRetryAfter(1, 5);
    failAndExpectRetryAfter(2, 10);
    failAndExpectRetryAfter(3, 30);
    failAndExpectRetryAfter(4, 60);
    failAndExpectRetryAfter(5, 60);
    // A start that runs clears the count: the next failure waits 5 s again.
    media().audio()->finishStart(true);
    settle();
    EXPECT_EQ(probe().audioFailures(), 0);
    EXPECT_TRUE(shown().audioSending);
    failAndExpectRetryAfter(1, 5);
}

TEST_F(HostControllerAudioTest, AnEarlierCapturesFailureOrStartIsIgnored) {
    create();
    auto session = listeningSession();
    probe().refreshAudio();
    auto first = media().audio();
    probe().pausedFlag() = true;
    probe().refreshAudio();
    probe().pausedFlag() = false;
    probe().refreshAudio();
    ASSERT_EQ(media().audioCaptures.size(), 2u);
    first->finishStart(true);
    first->fail("late");
    settle();
    EXPECT_EQ(probe().audioFailures(), 0);
    EXPECT_FALSE(shown().audioSending);
    EXPECT_EQ(probe().audioCapture(), media().audio());
}

TEST_F(HostControllerAudioTest, ClosingTheVideoStopsAudioAndTheNextVideoRestartsItWithTheNextGeneration) {
    startListening();
    auto control = link();
    auto session = authenticatedSession(control);
    session->audioRequested = true;
    session->ticket = "tk-1";
    probe().audioGeneration() = 65535;
    auto first = connectVideo();
    sendAuth(*first, "tk-1");
    ASSERT_TRUE(drive([&] { return session->video != nullptr; }));
    ASSERT_EQ(media().audioCaptures.size(), 1u);
    EXPECT_EQ(media().audio()->generation, 0);  // audio generations wrap through 0
    EXPECT_EQ(media().audio()->connection, session->video);
    finishCapture();
    ASSERT_TRUE(probe().encoder());

    first->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return session->video == nullptr; }));
    EXPECT_TRUE(media().audio()->stopped);
    EXPECT_EQ(probe().audioCapture(), nullptr);

    // Each ticket admits one connection; the device comes back with a fresh one.
    session->ticket = "tk-2";
    session->ticketUsed = false;
    fakes.log->clear();
    auto second = connectVideo();
    sendAuth(*second, "tk-2");
    ASSERT_TRUE(drive([&] { return session->video != nullptr; }));
    EXPECT_EQ(fakes.log->front(), "sender.attach running");
    ASSERT_EQ(media().audioCaptures.size(), 2u);
    EXPECT_EQ(media().audio()->generation, 1);
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
