// The real host end to end: the test-host program on a private X display and PulseAudio server,
// driven over loopback as a device drives it.
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "host/controller/HostController.h"
#include "host/media/AudioTestSupport.h"
#include "protocol/StreamConfig.h"
#include "support/ChildProcess.h"
#include "support/FakeHostDevice.h"
#include "support/H264TestDecoder.h"
#include "support/LoopbackDevice.h"
#include "support/ProcSockets.h"
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
constexpr std::string_view kViewerId = "orvanta-viewer.desktop";
constexpr auto kLaunchAnswerWait = std::chrono::seconds(15);  // what a device waits for "launchapp"

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

    void startHost(const std::string& display, std::vector<std::string> environment) {
        environment.push_back("DISPLAY=" + display);
        auto started = TestHostProcess::start(ORVANTA_TEST_HOST, home.path(), std::move(environment));
        ASSERT_TRUE(started) << started.error();
        host = std::move(*started);
    }

    TempDir home{"e2e"};
    std::unique_ptr<TestHostProcess> host;
};

// An installed application as its package leaves it: a desktop entry naming a theme icon, which
// the hicolor theme has at 48 pixels. Its program is a plain X client: no _NET_WM_PID, no icon
// pixels of its own.
void installViewer(const std::filesystem::path& share) {
    std::filesystem::create_directories(share / "applications");
    std::ofstream(share / "applications" / kViewerId)
        << "[Desktop Entry]\nType=Application\nName=Viewer\nExec=xmessage -geometry 400x300 viewer\n"
           "Icon=orvanta-viewer\nStartupWMClass=Xmessage\n";
    const auto theme = share / "icons/hicolor";
    std::filesystem::create_directories(theme / "48x48/apps");
    std::ofstream(theme / "index.theme")
        << "[Icon Theme]\nName=Hicolor\nDirectories=48x48/apps\n\n[48x48/apps]\nSize=48\nType=Threshold\n";
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = image.height = 48;
    image.format = PNG_FORMAT_RGBA;
    const std::vector<std::uint32_t> green(48 * 48, 0xFF00C000);
    png_image_write_to_file(&image, (theme / "48x48/apps/orvanta-viewer.png").c_str(), 0, green.data(), 0, nullptr);
}

// The child of `parent` running `command`; 0 when there is none.
pid_t childRunning(pid_t parent, std::string_view command) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        if (!std::getline(stat, text)) continue;
        const auto open = text.find('(');
        const auto close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        long parentOf = 0;
        char state = 0;
        std::sscanf(text.c_str() + close + 2, "%c %ld", &state, &parentOf);
        if (parentOf == parent && text.substr(open + 1, close - open - 1) == command) return std::stoi(text);
    }
    return 0;
}

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
    startHost(desktop.server->display(), {"PULSE_SERVER=" + pulse.server()});
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
    startHost(desktop.server->display(), {"PULSE_SERVER=" + pulse.server()});
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

// What a device sees on a plain desktop where no virtual display can be made (Xvfb's RandR maximum
// is its size): the installed application with its icon, its launch fitted in time, its window
// listed with that icon; and what the host started holds none of its sockets and is reaped.
TEST_F(HostEndToEndTest, ListsLaunchesAndFitsAnApplicationOnAPlainDesktop) {
    ORVANTA_REQUIRE_X11_DESKTOP(1280, 720, 1280, 720, true);
    const auto share = home / "share";
    installViewer(share);
    startHost(desktop.server->display(), {"XDG_DATA_DIRS=" + share.string()});
    ASSERT_TRUE(host);
    base::Json welcome;
    auto control = welcomed(pair(), welcome);

    control->sendJson({{"type", "applist"}});
    const auto apps = control->nextText("applist");
    ASSERT_TRUE(apps) << host->output();
    EXPECT_TRUE(apps->value("appIcons", base::Json::object()).contains(kViewerId)) << apps->dump();

    const auto asked = std::chrono::steady_clock::now();
    control->sendJson({{"type", "launchapp"}, {"bundleId", kViewerId}});
    const auto state = control->nextText("windowState");
    ASSERT_TRUE(state) << host->output();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, kLaunchAnswerWait);
    EXPECT_EQ(*state, (base::Json{{"type", "windowState"}, {"active", true}, {"appName", "Xmessage"}}));

    control->sendJson({{"type", "windowListRequest"}});
    const auto windows = control->nextText("windowList");
    ASSERT_TRUE(windows) << host->output();
    EXPECT_TRUE(std::ranges::any_of(windows->at("entries"), [](const base::Json& entry) {
        return entry.value("appName", "") == "Xmessage";
    })) << windows->dump();
    EXPECT_TRUE(windows->value("appIcons", base::Json::object()).contains("Xmessage")) << windows->dump();

    const pid_t viewer = childRunning(host->pid(), "xmessage");
    ASSERT_GT(viewer, 0);
    for (const auto port : {host->loopbackPort(), host->lanPort()}) {
        EXPECT_TRUE(socketDescriptors(std::to_string(viewer), tcpSocketInodes(port)).empty()) << port;
    }
    ::kill(viewer, SIGTERM);
    EXPECT_TRUE(processGoneWithin(viewer, std::chrono::seconds(10)));  // the host reaped it

    control->close();
    expectCleanExit();
}

}  // namespace
}  // namespace orvanta::testing
