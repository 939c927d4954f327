// The real host end to end: the test-host program on a private X display and PulseAudio server,
// driven over loopback as a device drives it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "host/controller/HostController.h"
#include "host/media/AudioTestSupport.h"
#include "protocol/StreamConfig.h"
#include "support/FakeHostDevice.h"
#include "support/H264TestDecoder.h"
#include "support/LoopbackDevice.h"
#include "support/PulseFixture.h"
#include "support/TempDir.h"
#include "support/TestHostProcess.h"
#include "support/ToneSignal.h"
#include "support/X11TestDesktop.h"

namespace orvanta::testing {
namespace {

constexpr std::string_view kDeviceId = "dev-e2e";
constexpr int kFramesWanted = 60;
constexpr double kToneHertz = 440;
constexpr std::size_t kAudioSamplesWanted = 48'000;  // one second, after the first half second
constexpr std::size_t kAudioSettleSamples = 24'000;
constexpr auto kStreamDeadline = std::chrono::seconds(40);

std::string hello(const std::string& token) {
    return base::Json{{"type", "hello"},
                      {"token", token},
                      {"deviceId", kDeviceId},
                      {"idiom", "pad"},
                      {"viewport", {{"width", 640}, {"height", 360}}},
                      {"caps", {{"codecs", {"h264"}}, {"lowPower", false}, {"maxFps", 60}}}}
        .dump();
}

// The close frame's code and reason.
std::optional<std::pair<int, std::string>> closeOf(LoopbackChannel& channel) {
    while (auto frame = channel.next()) {
        if (frame->opcode() != 8 || frame->payload.size() < 2) continue;
        return std::pair<int, std::string>{(frame->payload[0] << 8) | frame->payload[1],
                                           std::string(frame->payload.begin() + 2, frame->payload.end())};
    }
    return std::nullopt;
}

class HostEndToEndTest : public ::testing::Test {
protected:
    // Pairs with the code the host wrote to its debug file; the device token.
    std::string pair() {
        const auto answer = postPair(host->loopbackPort(), pairBody(host->pairCode(), std::string(kDeviceId), "E2E"));
        EXPECT_EQ(answer.status, "200 OK") << host->output();
        return answer.body.value("deviceToken", "");
    }

    // A welcomed control channel.
    std::unique_ptr<LoopbackChannel> welcomed(const std::string& token, base::Json& welcome) {
        auto control = std::make_unique<LoopbackChannel>(host->loopbackPort(), "/v2/control");
        control->send(hello(token));
        auto received = control->nextText("welcome");
        EXPECT_TRUE(received) << host->output();
        if (received) welcome = *received;
        return control;
    }

    // The host shuts down cleanly: exit status 0, so no sanitizer found a fault or a leak.
    void expectCleanExit() {
        EXPECT_EQ(host->terminate(), 0) << host->output();
        EXPECT_EQ(host->output().find("Sanitizer"), std::string::npos) << host->output();
    }

    void startHost(const std::string& display, const std::string& pulseServer) {
        auto started = TestHostProcess::start(ORVANTA_TEST_HOST, home.path(),
                                              {"DISPLAY=" + display, "PULSE_SERVER=" + pulseServer});
        ASSERT_TRUE(started) << started.error();
        host = std::move(*started);
    }

    TempDir home{"e2e"};
    std::unique_ptr<TestHostProcess> host;
};

// An application redrawing a window over and over, so that every picture differs.
class Painter {
public:
    explicit Painter(X11TestDesktop& desktop)
        : desktop_(desktop), window_(desktop.window(100, 100, 600, 400, 0x2060A0)) {
        thread_ = std::thread([this] {
            for (std::uint32_t step = 0; running_; ++step) {
                desktop_.paint(window_, (step * 0x0F1B27u) & 0xFFFFFFu);
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
            }
        });
    }
    ~Painter() {
        running_ = false;
        thread_.join();
    }

private:
    X11TestDesktop& desktop_;
    xcb_window_t window_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// What a device made of the media channel.
struct Received {
    std::optional<protocol::StreamConfig> config;
    int decodedFrames = 0;
    bool framesMatchConfig = true;
    AacDecoder audio;
    int audioPackets = 0;
    bool enough() const {
        return decodedFrames >= kFramesWanted && audio.samples.size() >= kAudioSettleSamples + kAudioSamplesWanted;
    }
};

TEST_F(HostEndToEndTest, PairsWelcomesAndGuardsTheVideoTicket) {
    ORVANTA_REQUIRE_X11_DESKTOP(1280, 720, 1920, 1080);
    ORVANTA_REQUIRE_PULSE();
    startHost(desktop.server->display(), pulse.server());
    ASSERT_TRUE(host);
    EXPECT_NE(host->lanPort(), 0);

    const std::string token = pair();
    ASSERT_FALSE(token.empty());
    // The code is spent: a second pairing with it is refused.
    EXPECT_NE(postPair(host->loopbackPort(), pairBody(host->pairCode(), "dev-other")).status, "200 OK");

    base::Json welcome;
    auto control = welcomed(token, welcome);
    EXPECT_FALSE(welcome.value("sessionId", "").empty());
    const std::string ticket = welcome.value("videoTicket", "");
    ASSERT_FALSE(ticket.empty());

    LoopbackChannel wrong(host->loopbackPort(), "/v2/video");
    wrong.sendJson(base::Json{{"type", "auth"}, {"ticket", ticket + "x"}});
    EXPECT_EQ(closeOf(wrong), (std::pair<int, std::string>{4003, "auth failed"}));

    // A wrong token closes the control channel with 4003 and leaves the session alone.
    LoopbackChannel stranger(host->loopbackPort(), "/v2/control");
    stranger.send(hello("not-a-token"));
    EXPECT_EQ(closeOf(stranger)->first, 4003);

    control->close();
    expectCleanExit();
}

// The device sees the desktop as it changes, decodes every frame after the stream configuration
// and hears the tone the host plays, acknowledging frames as a client does.
TEST_F(HostEndToEndTest, StreamsTheChangingDesktopAndItsSoundToAPairedDevice) {
    ORVANTA_REQUIRE_X11_DESKTOP(1280, 720, 1920, 1080);
    ORVANTA_REQUIRE_PULSE();
    auto tone = PulseTonePlayer::start(pulse.server(), pulse.sinkName(), home / "tone.raw", kToneHertz, 0.5f, 60);
    ASSERT_TRUE(tone) << tone.error();
    // While the blackout covers are up the capture does not see changes beneath them.
    TestHostProcess::storeSetting(home.path(), host::StoredHostSettings::kBlackoutKey, false);
    startHost(desktop.server->display(), pulse.server());
    auto session = LoopbackSession::open(host->loopbackPort(), hello(pair()), true);
    ASSERT_TRUE(session) << session.error() << host->output();
    ASSERT_TRUE((*session)->welcome.contains("audio")) << (*session)->welcome.dump();
    EXPECT_EQ((*session)->welcome["audio"].value("codec", ""), "aac-lc");

    Received received;
    {
        Painter painter(desktop);
        std::unique_ptr<H264Decoder> decoder;
        const auto deadline = std::chrono::steady_clock::now() + kStreamDeadline;
        while (!received.enough() && std::chrono::steady_clock::now() < deadline) {
            auto packet = (*session)->nextPacket();
            ASSERT_TRUE(packet) << "media channel ended\n" << host->output();
            const auto& header = packet->header();
            if (header.type == protocol::PacketType::config) {
                auto config = protocol::StreamConfig::decode(*packet);
                ASSERT_TRUE(config);
                decoder = std::make_unique<H264Decoder>(std::pair(config->sps, config->pps));
                received.config = *config;
            } else if (header.type == protocol::PacketType::video && decoder && header.gen == received.config->gen) {
                if (const AVFrame* frame = decoder->decode(packet->payload())) {
                    ++received.decodedFrames;
                    received.framesMatchConfig &=
                        frame->width == received.config->width && frame->height == received.config->height;
                }
                (*session)->ack(header);
            } else if (header.type == protocol::PacketType::audio) {
                ++received.audioPackets;
                EXPECT_TRUE(received.audio.decode(base::Bytes(packet->payload().begin(), packet->payload().end())));
            }
        }
    }
    ASSERT_TRUE(received.config) << host->output();
    EXPECT_EQ(received.config->codec, "h264");
    EXPECT_GE(received.decodedFrames, kFramesWanted) << host->output();
    EXPECT_TRUE(received.framesMatchConfig);
    ASSERT_GE(received.audio.samples.size(), kAudioSettleSamples + kAudioSamplesWanted)
        << received.audioPackets << " audio packets\n"
        << host->output();
    EXPECT_NEAR(toneHertz(received.audio.samples, kAudioSettleSamples, kAudioSamplesWanted), kToneHertz, 5);
    EXPECT_GT(toneLevel(received.audio.samples, kAudioSettleSamples, kAudioSamplesWanted), 0.1);

    session->reset();
    expectCleanExit();
}

}  // namespace
}  // namespace orvanta::testing
