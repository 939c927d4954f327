// The real host end to end: the test-host program on a private X display and PulseAudio server,
// driven over loopback as a device drives it.
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "clipboard/ClipboardSync.h"
#include "host/controller/HostController.h"
#include "host/media/AudioTestSupport.h"
#include "platform/x11/X11WindowSystem.h"
#include "protocol/ControlMessages.h"
#include "protocol/StreamConfig.h"
#include "support/ChildProcess.h"
#include "support/FakeHostDevice.h"
#include "support/H264TestDecoder.h"
#include "support/LoopbackDevice.h"
#include "support/ProcSockets.h"
#include "support/ProgramRun.h"
#include "support/PulseFixture.h"
#include "support/TempDir.h"
#include "support/TestHostProcess.h"
#include "support/ToneSignal.h"
#include "support/X11TestDesktop.h"
#include "support/X11TestWindows.h"

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

std::string hello(const std::string& token) { return padHello(token, std::string(kDeviceId), 640, 360, 60); }

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

// Bright colours only: a picture with a cover in it shows black where they were.
std::uint32_t brightColour(std::uint32_t step) { return 0x808080 | ((step * 0x0F1B27u) & 0x7F7F7F); }

// An application redrawing a window over and over, so that every picture differs.
class Painter {
public:
    Painter(X11TestDesktop& desktop, xcb_window_t window) : desktop_(desktop), window_(window) {
        thread_ = std::thread([this] {
            for (std::uint32_t step = 1; running_; ++step) {
                desktop_.paint(window_, brightColour(step));
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

// What a device makes of the media channel: the stream configuration, each picture of the current
// stream decoded and acknowledged as a client does, and the sound.
class Viewer {
public:
    // `sampleX`, `sampleY`: where in the picture the luma is read.
    Viewer(LoopbackSession& session, int sampleX, int sampleY) : session_(session), x_(sampleX), y_(sampleY) {}

    // Handles the next packet; its header, nothing when the channel ended or went quiet.
    std::optional<protocol::VideoPacketHeader> next() {
        auto packet = session_.nextPacket();
        if (!packet) return std::nullopt;
        const auto header = packet->header();
        decoded = false;
        if (header.type == protocol::PacketType::config) {
            auto decodedConfig = protocol::StreamConfig::decode(*packet);
            EXPECT_TRUE(decodedConfig);
            if (!decodedConfig) return header;
            decoder_ = std::make_unique<H264Decoder>(std::pair(decodedConfig->sps, decodedConfig->pps));
            config = *decodedConfig;
        } else if (header.type == protocol::PacketType::video && decoder_ && header.gen == config->gen) {
            if (const AVFrame* frame = decoder_->decode(packet->payload())) {
                decoded = true;
                ++decodedFrames;
                framesMatchConfig &= frame->width == config->width && frame->height == config->height;
                luma = frame->data[0][static_cast<std::ptrdiff_t>(y_) * frame->linesize[0] + x_];
                keepLumaPlane(*frame);
            }
            session_.ack(header);
        } else if (header.type == protocol::PacketType::audio) {
            ++audioPackets;
            EXPECT_TRUE(audio.decode(base::Bytes(packet->payload().begin(), packet->payload().end())));
        }
        return header;
    }

    // Reads until no picture came for `quiet`; false when the channel ended first.
    bool untilStill(std::chrono::milliseconds quiet) {
        auto last = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - last < quiet) {
            const auto header = next();
            if (!header) return false;
            if (header->type == protocol::PacketType::video) last = std::chrono::steady_clock::now();
        }
        return true;
    }

    // The next video packet's header, read within `limit`.
    std::optional<protocol::VideoPacketHeader> nextPicture(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto header = next();
            if (!header) return std::nullopt;
            if (header->type == protocol::PacketType::video) return header;
        }
        return std::nullopt;
    }

    // The centre of the last picture's pixels darker than `below` in its left half, normalised as
    // the device sends pointer positions; nothing when there are none.
    std::optional<std::pair<double, double>> darkCentreOnTheLeft(int below) const {
        double sumX = 0;
        double sumY = 0;
        std::size_t count = 0;
        for (int y = 0; y < planeHeight_; ++y) {
            for (int x = 0; x < planeWidth_ / 2; ++x) {
                if (plane_[static_cast<std::size_t>(y * planeWidth_ + x)] >= below) continue;
                sumX += x + 0.5;
                sumY += y + 0.5;
                ++count;
            }
        }
        if (count == 0) return std::nullopt;
        const auto n = static_cast<double>(count);
        return std::pair{sumX / n / planeWidth_, sumY / n / planeHeight_};
    }

    std::optional<protocol::StreamConfig> config;
    int decodedFrames = 0;
    bool framesMatchConfig = true;
    bool decoded = false;  // the last packet gave a picture
    int luma = 0;          // at the sample point of the last picture
    AacDecoder audio;
    int audioPackets = 0;

private:
    void keepLumaPlane(const AVFrame& frame) {
        planeWidth_ = frame.width;
        planeHeight_ = frame.height;
        plane_.resize(static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height));
        for (int y = 0; y < frame.height; ++y) {
            std::copy_n(frame.data[0] + static_cast<std::ptrdiff_t>(y) * frame.linesize[0], frame.width,
                        plane_.begin() + static_cast<std::ptrdiff_t>(y) * frame.width);
        }
    }

    LoopbackSession& session_;
    const int x_;
    const int y_;
    std::unique_ptr<H264Decoder> decoder_;
    std::vector<std::uint8_t> plane_;
    int planeWidth_ = 0;
    int planeHeight_ = 0;
};

// A picture darker than this at a bright window shows a cover (video range: black is 16).
constexpr int kCoveredLuma = 60;

// "(x, y, width, height)", as the host's log prints a rectangle.
std::string rectText(const platform::Rect& r) {
    const auto number = [](double value) {
        char text[32];
        const auto [end, error] = std::to_chars(text, text + sizeof text, value);
        return std::string(text, end);
    };
    return "(" + number(r.x) + ", " + number(r.y) + ", " + number(r.width) + ", " + number(r.height) + ")";
}

// A panel along the top of the screen, as desktops have; true once the window manager keeps
// windows below it.
bool addTopPanel(X11TestDesktop& desktop, std::uint16_t width, std::uint16_t height) {
    auto* c = desktop.x->get();
    const xcb_window_t panel = xcb_generate_id(c);
    const std::uint32_t colour = 0x404040;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, panel, desktop.x->root(), 0, 0, width, height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, desktop.x->screen()->root_visual, XCB_CW_BACK_PIXEL, &colour);
    const xcb_atom_t dock = desktop.x->atom("_NET_WM_WINDOW_TYPE_DOCK");
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, panel, desktop.x->atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1,
                        &dock);
    const std::uint32_t strut[] = {0, 0, height, 0, 0, 0, 0, 0, 0, std::uint32_t{width} - 1, 0, 0};
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, panel, desktop.x->atom("_NET_WM_STRUT_PARTIAL"), XCB_ATOM_CARDINAL,
                        32, 12, strut);
    xcb_map_window(c, panel);
    const auto workAreaTop = [&] {
        Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            c, xcb_get_property(c, 0, desktop.x->root(), desktop.x->atom("_NET_WORKAREA"), XCB_ATOM_CARDINAL, 0, 4),
            nullptr));
        if (!reply || xcb_get_property_value_length(reply.get()) < 16) return 0u;
        return static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()))[1];
    };
    for (int i = 0; i < 2000 && workAreaTop() != height; ++i) desktop.sync();
    return workAreaTop() == height;
}

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

// With the product's defaults the covers are up while a device watches, on a desktop with or
// without a compositing manager. The device sees the desktop as it changes and never a cover,
// decodes every frame after the stream configuration, hears the tone the host plays, and once the
// screen is still gets a keyframe of it as soon as it asks.
class HostOnADesktopTest : public HostEndToEndTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HostOnADesktopTest, StreamsTheChangingDesktopUnderTheCoversWithItsSound) {
    ORVANTA_REQUIRE_X11_DESKTOP(1280, 720, 1920, 1080, true);
    ORVANTA_REQUIRE_PULSE();
    if (GetParam()) {
        ASSERT_TRUE(desktop.server->startCompositingManager());
    }
    auto tone = PulseTonePlayer::start(pulse.server(), pulse.sinkName(), home / "tone.raw", kToneHertz, 0.5f, 60);
    ASSERT_TRUE(tone) << tone.error();
    startHost(desktop.server->display(), {"PULSE_SERVER=" + pulse.server()});
    auto session = LoopbackSession::open(host->loopbackPort(), hello(pair()), true);
    ASSERT_TRUE(session) << session.error() << host->output();
    ASSERT_TRUE((*session)->welcome.contains("audio")) << (*session)->welcome.dump();
    EXPECT_EQ((*session)->welcome["audio"].value("codec", ""), "aac-lc");

    // The window spans (100, 100)-(700, 500) of the desktop; the 640x360 picture shows it halved.
    const xcb_window_t window = desktop.window(100, 100, 600, 400, brightColour(0));
    Viewer viewer(**session, 200, 150);
    std::set<int> shades;
    int covered = 0;
    {
        Painter painter(desktop, window);
        const auto deadline = std::chrono::steady_clock::now() + kStreamDeadline;
        while ((viewer.decodedFrames < kFramesWanted ||
                viewer.audio.samples.size() < kAudioSettleSamples + kAudioSamplesWanted) &&
               std::chrono::steady_clock::now() < deadline) {
            ASSERT_TRUE(viewer.next()) << "media channel ended\n" << host->output();
            if (!viewer.decoded) continue;
            shades.insert(viewer.luma);
            covered += viewer.luma < kCoveredLuma ? 1 : 0;
        }
    }
    ASSERT_TRUE(viewer.config) << host->output();
    EXPECT_EQ(viewer.config->codec, "h264");
    EXPECT_GE(viewer.decodedFrames, kFramesWanted) << host->output();
    EXPECT_TRUE(viewer.framesMatchConfig);
    EXPECT_EQ(covered, 0) << "pictures with a cover in them";
    EXPECT_GE(shades.size(), 10u) << "the picture follows the window's changes";
    ASSERT_GE(viewer.audio.samples.size(), kAudioSettleSamples + kAudioSamplesWanted)
        << viewer.audioPackets << " audio packets\n"
        << host->output();
    EXPECT_NEAR(toneHertz(viewer.audio.samples, kAudioSettleSamples, kAudioSamplesWanted), kToneHertz, 5);
    EXPECT_GT(toneLevel(viewer.audio.samples, kAudioSettleSamples, kAudioSamplesWanted), 0.1);

    // A still screen sends nothing; a keyframe request brings a keyframe of it all the same.
    ASSERT_TRUE(viewer.untilStill(std::chrono::milliseconds(500))) << host->output();
    (*session)->send(protocol::ControlMessage(protocol::RequestKeyframe{}).jsonString().value());
    const auto answer = viewer.nextPicture(std::chrono::seconds(2));
    ASSERT_TRUE(answer) << "no picture answers the keyframe request\n" << host->output();
    EXPECT_TRUE(answer->flags.contains(protocol::PacketFlags::keyframe));
    EXPECT_TRUE(viewer.decoded);
    EXPECT_GE(viewer.luma, kCoveredLuma);

    session->reset();
    expectCleanExit();
}

INSTANTIATE_TEST_SUITE_P(Desktops, HostOnADesktopTest, ::testing::Bool(), [](const auto& test) {
    return test.param ? "WithACompositingManager" : "WithoutACompositingManager";
});

// An application's window fitted to the device under the covers: the device sees the window's
// changes, and pointer input sent right after the fit lands on the window where the fit put it.
TEST_F(HostEndToEndTest, AFittedWindowStreamsUnderTheCoversAndTakesPointerInputWhereItNowIs) {
    ORVANTA_REQUIRE_X11_DESKTOP(1280, 720, 1920, 1080, true);
    ORVANTA_REQUIRE_PULSE();
    // Below a panel the window is fitted on the screen itself, under its cover.
    ASSERT_TRUE(addTopPanel(desktop, 1280, 24));
    auto windows = X11TestWindows::open(desktop.server->display());
    auto system = platform::x11::X11WindowSystem::open(desktop.server->display());
    ASSERT_TRUE(windows && system);
    TestWindowSpec spec;
    spec.title = "fitted";
    spec.pid = ::getpid();
    spec.width = 400;
    spec.height = 300;
    const xcb_window_t window = (*windows)->create(spec);
    ASSERT_TRUE((*windows)->waitManaged(window));
    // A dark mark the application draws inside its window, away from where the viewer samples.
    auto* c = desktop.x->get();
    const xcb_window_t mark = xcb_generate_id(c);
    const std::uint32_t black = 0;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, mark, window, 60, 80, 40, 40, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      desktop.x->screen()->root_visual, XCB_CW_BACK_PIXEL, &black);
    xcb_map_window(c, mark);
    desktop.sync();
    const auto frameOf = [&] { return (*system)->windowDescription(window).value().bounds.value(); };
    // What the application draws: the window without the window manager's decorations.
    const auto clientArea = [&] {
        Reply<xcb_get_geometry_reply_t> size(xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
        Reply<xcb_translate_coordinates_reply_t> origin(
            xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, desktop.x->root(), 0, 0), nullptr));
        return platform::Rect{static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
                              static_cast<double>(size->width), static_cast<double>(size->height)};
    };
    const auto before = frameOf();
    ASSERT_NE(before, clientArea()) << "the window manager decorates the window";
    xcb_warp_pointer(desktop.x->get(), XCB_NONE, desktop.x->root(), 0, 0, 0, 0, 5, 5);
    desktop.sync();

    startHost(desktop.server->display(), {"PULSE_SERVER=" + pulse.server()});
    auto session = LoopbackSession::open(host->loopbackPort(), hello(pair()), false);
    ASSERT_TRUE(session) << session.error() << host->output();
    Viewer viewer(**session, 300, 160);  // beside the pointer the move puts at the centre
    while (!viewer.decoded) ASSERT_TRUE(viewer.next()) << host->output();
    const auto desktopGen = viewer.config->gen;

    Painter painter(desktop, window);
    (*session)->send(protocol::ControlMessage(protocol::FitWindowTarget{window, 640, 360}).jsonString().value());
    const auto deadline = std::chrono::steady_clock::now() + kStreamDeadline;
    while (!viewer.decoded || viewer.config->gen == desktopGen) {
        ASSERT_TRUE(viewer.next() && std::chrono::steady_clock::now() < deadline) << "no picture of the fitted window\n"
                                                                                  << host->output();
    }
    (*session)->send(protocol::ControlMessage(protocol::PointerInput{.seq = 1, .action = "move", .x = 0.5, .y = 0.5})
                         .jsonString()
                         .value());
    // Where the pointer is, in the coordinates of `relativeTo`.
    const auto pointer = [&](xcb_window_t relativeTo) {
        Reply<xcb_query_pointer_reply_t> reply(xcb_query_pointer_reply(c, xcb_query_pointer(c, relativeTo), nullptr));
        return reply ? std::pair<int, int>{reply->win_x, reply->win_y} : std::pair<int, int>{};
    };
    const auto onScreen = [&] { return pointer(desktop.x->root()); };
    for (int i = 0; i < 2000 && onScreen() == std::pair{5, 5}; ++i) desktop.sync();
    const auto after = frameOf();
    ASSERT_GT(std::abs(after.midX() - before.midX()) + std::abs(after.midY() - before.midY()), 50)
        << "the fit moves the window";
    // The picture shows what the application draws, and input lands on what the picture shows.
    const auto shown = clientArea();
    const auto [px, py] = onScreen();
    EXPECT_NEAR(px, shown.midX(), 1) << host->output();
    EXPECT_NEAR(py, shown.midY(), 1);
    // Where input lands comes from the area the capture planned with, whichever of the fit's
    // steps happens to come first.
    EXPECT_NE(host->output().find("window capture: id=" + std::to_string(window) + " scale=1 frame=" + rectText(shown)),
              std::string::npos)
        << host->output();

    std::set<int> shades;
    int covered = 0;
    for (int frames = 0; frames < 30;) {
        ASSERT_TRUE(viewer.next()) << host->output();
        if (!viewer.decoded) continue;
        ++frames;
        shades.insert(viewer.luma);
        covered += viewer.luma < kCoveredLuma ? 1 : 0;
    }
    EXPECT_EQ(covered, 0);
    EXPECT_GE(shades.size(), 10u) << "the fitted window's changes reach the device";
    EXPECT_EQ(desktop.pixels(640, 360, 1, 1), std::vector<std::uint32_t>{0}) << "the screen itself is covered";

    // A device pointing at the mark it sees reaches the mark's middle on the window.
    const auto seen = viewer.darkCentreOnTheLeft(kCoveredLuma);  // the pointer is drawn in the middle
    ASSERT_TRUE(seen) << "the picture shows the window's mark";
    (*session)->send(protocol::ControlMessage(
                         protocol::PointerInput{.seq = 2, .action = "move", .x = seen->first, .y = seen->second})
                         .jsonString()
                         .value());
    for (int i = 0; i < 2000 && onScreen() == std::pair{px, py}; ++i) desktop.sync();
    const auto [mx, my] = pointer(mark);
    EXPECT_NEAR(mx, 20, 2) << "seen at " << seen->first << ", " << seen->second << "\n" << host->output();
    EXPECT_NEAR(my, 20, 2);

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

// A device that drops its connections leaves its session waiting for it to come back; the host
// still shuts down cleanly, its captures gone before it.
TEST_F(HostEndToEndTest, ShutsDownCleanlyWhileADetachedSessionWaits) {
    ORVANTA_REQUIRE_X11_DESKTOP(1280, 720, 1920, 1080, true);
    startHost(desktop.server->display(), {});
    auto session = LoopbackSession::open(host->loopbackPort(), hello(pair()), false);
    ASSERT_TRUE(session) << session.error() << host->output();
    Viewer viewer(**session, 10, 10);
    while (!viewer.decoded) ASSERT_TRUE(viewer.next()) << host->output();
    session->reset();
    const auto detached = [&] { return host->output().find("session detached") != std::string::npos; };
    ASSERT_TRUE(waitUntil(detached, std::chrono::seconds(10), std::chrono::milliseconds(20))) << host->output();
    expectCleanExit();
}

// The X clipboard of `display` as another application sees it: its text, or nothing.
std::optional<std::string> xClipboard(const std::string& display) {
    const std::string command = "DISPLAY=" + display + " xclip -selection clipboard -o 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    return ::pclose(pipe) == 0 ? std::optional(text) : std::nullopt;
}

// Another application of the display copies `text` (xclip keeps serving it in the background).
bool copyOnDesktop(const std::string& display, const std::string& text) {
    const std::string command = "DISPLAY=" + display + " xclip -selection clipboard -i >/dev/null 2>&1";
    FILE* pipe = ::popen(command.c_str(), "w");
    if (!pipe) return false;
    std::fwrite(text.data(), 1, text.size(), pipe);
    return ::pclose(pipe) == 0;
}

bool xClipboardBecomes(const std::string& display, const std::string& text) {
    return waitUntil([&] { return xClipboard(display) == text; }, std::chrono::seconds(10));
}

// With clipboard sync switched on in the stored settings, the host offers the clipboard channel
// and keeps the display's clipboard in step with it both ways; a session's clipboard messages
// reach the display's clipboard too.
TEST_F(HostEndToEndTest, KeepsTheDisplaysClipboardInStepWithTheChannelAndTheSession) {
    ORVANTA_REQUIRE_X11_DESKTOP(1280, 720, 1280, 720, true);
    const std::string display = desktop.server->display();
    TestHostProcess::storeSetting(home.path(), clipboard::ClipboardSync::kEnabledKey, true);
    startHost(display, {});
    ASSERT_TRUE(host);
    const std::string token = pair();
    EXPECT_EQ(request(host->loopbackPort(), "GET", "/v2/capabilities").body, (base::Json{{"clipboard", true}}));

    LoopbackChannel channel(host->loopbackPort(), "/v2/control");
    channel.sendJson({{"type", "hello"}, {"purpose", "clipboard"}, {"deviceId", kDeviceId}, {"token", token}});
    ASSERT_TRUE(channel.nextText("welcome")) << host->output();
    ASSERT_TRUE(channel.nextText("clipboardState")) << host->output();

    channel.sendJson({{"type", "clipboard"}, {"origin", "device-origin"}, {"seq", 1}, {"text", "from the device"}});
    EXPECT_TRUE(xClipboardBecomes(display, "from the device")) << host->output();

    ASSERT_TRUE(copyOnDesktop(display, "from the desktop"));
    const auto copied = channel.nextText("clipboard");
    ASSERT_TRUE(copied) << host->output();
    EXPECT_EQ(copied->value("text", ""), "from the desktop");
    EXPECT_EQ(copied->value("seq", 0), 1);
    EXPECT_NE(copied->value("origin", ""), "device-origin");

    base::Json welcome;
    auto control = welcomed(token, welcome);
    control->send(protocol::ControlMessage(protocol::ClipboardText{"from the session"}).jsonString().value());
    EXPECT_TRUE(xClipboardBecomes(display, "from the session")) << host->output();

    control->close();
    channel.close();
    expectCleanExit();
}

}  // namespace
}  // namespace orvanta::testing
