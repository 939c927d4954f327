#include "FakePipelineNeighbours.h"
#include "HostControllerVideoSupport.h"

#include <atomic>
#include <thread>

namespace orvanta::testing {
namespace {

using HostControllerVideoTest = HostVideoTest;

// The video channel of the media pipeline, with the main session and the coordinator's steps faked.
class VideoChannelTest : public HostVideoTest {
protected:
    void TearDown() override {
        neighbours.session.reset();
        channel.reset();
        sender.attached.reset();
        HostVideoTest::TearDown();
    }
    bool logged(std::string_view line) const { return neighbours.logged(line); }

    std::unique_ptr<RawClient> connect() {
        return connectVideo([this](host::UpgradedSocket socket) { channel->acceptVideo(std::move(socket), {}); });
    }

    FakePipelineNeighbours neighbours;
    std::shared_ptr<FakeHostVideoSender> senderHeld = std::make_shared<FakeHostVideoSender>(neighbours.calls);
    FakeHostVideoSender& sender = *senderHeld;
    std::shared_ptr<host::MediaPipeline> channel =
        neighbours.make(queue, queue.clock(), {.media = nullptr, .encoderQueue = nullptr, .sender = senderHeld});
    std::shared_ptr<Session>& main = neighbours.session;
};

TEST_F(VideoChannelTest, TicketIsAcceptedOnceAndOnlyFromAnAttachedAuthenticatedSession) {
    struct Case {
        const char* name;
        std::function<void(Session&)> arrange;
        std::string ticket;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"right ticket", [](auto&) {}, "tk-1", true},
        {"wrong ticket", [](auto&) {}, "tk-2", false},
        {"prefix of the ticket", [](auto&) {}, "tk-", false},
        {"ticket already used", [](auto& s) { s.ticketUsed = true; }, "tk-1", false},
        {"session not authenticated", [](auto& s) { s.authenticated = false; }, "tk-1", false},
        {"session detached", [](auto& s) { s.detachedAt = 1; }, "tk-1", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        links.push_back(link());
        main = std::make_shared<Session>(links.back().connection, queue.nowMicros());
        main->authenticated = true;
        main->ticket = "tk-1";
        c.arrange(*main);
        sender.attached.reset();
        auto device = connect();
        sendAuth(*device, c.ticket);
        if (c.accepted) {
            ASSERT_TRUE(drive([&] { return main->video != nullptr; }));
            EXPECT_TRUE(main->ticketUsed);
            EXPECT_EQ(channel->pendingVideos(), 0u);
            EXPECT_EQ(sender.attached, main->video);
        } else {
            EXPECT_TRUE(closedWith(*device, 4003, "auth failed"));
            EXPECT_EQ(main->video, nullptr);
            EXPECT_EQ(sender.attached, nullptr);
            EXPECT_TRUE(logged("video auth failed"));
        }
        neighbours.logs.clear();
    }
}

TEST_F(VideoChannelTest, WithoutSessionOrWithGarbageTheChannelIsRefused) {
    auto device = connect();
    sendAuth(*device, "tk-1");
    EXPECT_TRUE(closedWith(*device, 4003, "auth failed"));
    links.push_back(link());
    main = std::make_shared<Session>(links.back().connection, queue.nowMicros());
    main->authenticated = true;
    main->ticket = "tk-1";
    auto garbage = connect();
    garbage->write(textFrame("not json"));
    EXPECT_TRUE(closedWith(*garbage, 4003, "auth failed"));
    EXPECT_TRUE(drive([&] { return channel->pendingVideos() == 0; }));
    EXPECT_EQ(sender.attached, nullptr);
}

TEST_F(VideoChannelTest, SilentConnectionIsClosedAfterTenSecondsOfVirtualTime) {
    auto device = connect();
    advance(std::chrono::milliseconds(9'999));
    EXPECT_EQ(channel->pendingVideos(), 1u);
    advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(closedWith(*device, 4003, "auth timeout"));
    EXPECT_TRUE(drive([&] { return channel->pendingVideos() == 0; }));
}

TEST_F(VideoChannelTest, OnlyTheSessionsOwnConnectionDetachesWhenItCloses) {
    links.push_back(link());
    main = std::make_shared<Session>(links.back().connection, queue.nowMicros());
    main->authenticated = true;
    main->ticket = "tk-1";
    auto stray = connect();
    auto device = connect();
    sendAuth(*device, "tk-1");
    ASSERT_TRUE(drive([&] { return main->video != nullptr; }));
    stray->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return channel->pendingVideos() == 0; }));
    EXPECT_EQ(neighbours.count("sender.detach"), 0);
    device->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return main->video == nullptr; }));
    EXPECT_EQ(neighbours.count("sender.detach"), 1);
}

// On the wire: the coordinator attaches the sender, and the pipeline outlives the video connection.
TEST_F(HostControllerVideoTest, AnAuthenticatedConnectionAttachesTheSender) {
    startListening();
    auto control = link();
    auto session = authenticatedSession(control);
    session->ticket = "tk-1";
    auto device = connectVideo();
    sendAuth(*device, "tk-1");
    ASSERT_TRUE(drive([&] { return session->video != nullptr; }));
    EXPECT_EQ(fakes.sender->attached, session->video);
    EXPECT_TRUE(logged("video attached"));
}

TEST_F(HostControllerVideoTest, ClosingTheAttachedVideoDetachesTheSenderAndKeepsThePipeline) {
    startListening();
    auto control = link();
    auto session = authenticatedSession(control);
    session->ticket = "tk-1";
    auto capture = std::make_shared<FakeHostCapture>(fakes.log);
    probe().capture() = capture;
    auto device = connectVideo();
    sendAuth(*device, "tk-1");
    ASSERT_TRUE(drive([&] { return session->video != nullptr; }));
    fakes.log->clear();
    device->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return session->video == nullptr; }));
    EXPECT_EQ(*fakes.log, std::vector<std::string>{"sender.detach"});
    EXPECT_EQ(probe().videoDetachedAt(), queue.nowMicros());
    EXPECT_EQ(probe().capture(), capture);
    EXPECT_TRUE(logged("video detached"));
}

}  // namespace
}  // namespace orvanta::testing

namespace orvanta::testing {
namespace {

using host::CaptureSize;
using host::CaptureStartOptions;
using host::DeviceKind;
using Probe = host::HostControllerProbe;
using Session = host::HostController::Session;
using PointerState = host::HostController::WindowPointerState;

host::WindowFit fittedWindow(bool suspended = false, bool capturable = true) {
    host::WindowFit fit;
    fit.viewport = {900, 700};
    if (capturable) fit.scWindow = platform::ShareableWindow{42, {100, 100, 800, 600}};
    fit.suspended = suspended;
    return fit;
}

// Display aspect fit with display 7 selected for capture, on a virtual display that outputs 1280x800.
void selectAspectDisplay(Probe& probe, bool captureSelected = true) {
    probe.clientAspectFitFlag() = true;
    probe.clientAspectScaleValue() = 1.5;
    probe.aspectApplicationSlot() = std::make_shared<host::AspectDisplayApplication>(7);
    probe.aspectApplicationSlot()->captureSelected = captureSelected;
    probe.virtualDisplaySlot() = std::make_shared<host::VirtualDisplay>(
        7,
        host::DisplaySize{.pixels = {2560, 1600}, .descriptorPixels = {}, .outputPixels = host::PixelSize{1280, 800}},
        host::DisplayOrigin{});
}

struct SourceCase {
    std::string name;
    DeviceKind kind = DeviceKind::iPad;
    std::function<void(Probe&, Session&)> arrange;
    bool starts = true;
    // Applied to the physical display's options: scale 1, nothing else asked for.
    std::function<void(CaptureStartOptions&)> expected = [](CaptureStartOptions&) {};
};

void PrintTo(const SourceCase& c, std::ostream* os) { *os << c.name; }

class PipelineSourceTest : public HostVideoTest, public ::testing::WithParamInterface<SourceCase> {};

TEST_P(PipelineSourceTest, StartsOnlyWhenAllowedWithTheChosenSource) {
    const auto& c = GetParam();
    create();
    auto session = streamingSession(c.kind);
    auto p = probe();
    c.arrange(p, *session);
    p.startPipelineIfNeeded();
    if (!c.starts) {
        EXPECT_TRUE(media().captures.empty());
        return;
    }
    ASSERT_EQ(media().captures.size(), 1u);
    CaptureStartOptions expected{.window = std::nullopt,
                                 .windowScale = 1,
                                 .viewport = std::nullopt,
                                 .displayID = p.physicalDisplayToCapture(),
                                 .aspectOutput = std::nullopt,
                                 .minimum = std::nullopt};
    c.expected(expected);
    EXPECT_EQ(media().capture()->options, expected);
    EXPECT_EQ(media().capture()->kind, c.kind);
    EXPECT_EQ(p.capture(), media().capture());
}

auto noop = [](Probe&, Session&) {};

INSTANTIATE_TEST_SUITE_P(
    Video, PipelineSourceTest,
    ::testing::Values(
        SourceCase{"NoVideo", DeviceKind::iPad, [](Probe&, Session& s) { s.video.reset(); }, false},
        SourceCase{"Paused", DeviceKind::iPad, [](Probe& p, Session&) { p.pausedFlag() = true; }, false},
        SourceCase{"CaptureRunning", DeviceKind::iPad,
                   [](Probe& p, Session&) {
                       p.capture() = std::make_shared<FakeHostCapture>(std::make_shared<std::vector<std::string>>());
                   },
                   false},
        SourceCase{"VirtualDisplayBeingCreated", DeviceKind::iPad,
                   [](Probe& p, Session&) { p.virtualDisplayPendingFlag() = true; }, false},
        SourceCase{"DisplayBeingRestored", DeviceKind::iPad,
                   [](Probe& p, Session&) { p.displayRestorePendingFlag() = true; }, false},
        SourceCase{"WindowFitPending", DeviceKind::iPad,
                   [](Probe& p, Session&) { p.pendingFitSlot() = host::PendingFit{}; }, false},
        SourceCase{"WindowFitSuspended", DeviceKind::iPad,
                   [](Probe& p, Session&) { p.windowFitSlot() = fittedWindow(true); }, false},
        SourceCase{"WindowFitWithoutCapturableWindow", DeviceKind::iPad,
                   [](Probe& p, Session&) { p.windowFitSlot() = fittedWindow(false, false); }, false},
        SourceCase{"PhysicalDisplay", DeviceKind::iPad, noop},
        SourceCase{"SessionViewport", DeviceKind::iPad,
                   [](Probe&, Session& s) {
                       s.viewportWidth = 1280;
                       s.viewportHeight = 800;
                   },
                   true,
                   [](CaptureStartOptions& o) {
                       o.viewport = CaptureSize{1280, 800};
                   }},
        SourceCase{"ViewportWithoutHeight", DeviceKind::iPad, [](Probe&, Session& s) { s.viewportWidth = 1280; }},
        SourceCase{"HighResolutionOnATablet", DeviceKind::iPad, [](Probe& p, Session&) { p.highResMode() = true; },
                   true, [](CaptureStartOptions& o) { o.usePixelSize = true; }},
        SourceCase{"HighResolutionOnAnIPhone", DeviceKind::iPhone, [](Probe& p, Session&) { p.highResMode() = true; }},
        SourceCase{"HighResolutionOnAnAndroidPhone", DeviceKind::android,
                   [](Probe& p, Session& s) {
                       p.highResMode() = true;
                       s.hasPhoneIdiom = true;
                   }},
        SourceCase{"HighResolutionOnAnAndroidTablet", DeviceKind::android,
                   [](Probe& p, Session&) { p.highResMode() = true; }, true,
                   [](CaptureStartOptions& o) { o.usePixelSize = true; }},
        SourceCase{"FittedWindowAtTheFitsViewport", DeviceKind::iPad,
                   [](Probe& p, Session& s) {
                       s.viewportWidth = 1280;
                       s.viewportHeight = 800;
                       p.windowFitSlot() = fittedWindow();
                   },
                   true,
                   [](CaptureStartOptions& o) {
                       o.window = fittedWindow().scWindow;
                       o.viewport = CaptureSize{900, 700};
                   }},
        SourceCase{"DisplayAspectDisplay", DeviceKind::iPad, [](Probe& p, Session&) { selectAspectDisplay(p); }, true,
                   [](CaptureStartOptions& o) {
                       o = {.window = std::nullopt,
                            .windowScale = 1.5,
                            .viewport = std::nullopt,
                            .displayID = 7,
                            .requireDisplay = true,
                            .usePixelSize = true,
                            .aspectOutput = CaptureSize{1280, 800},
                            .minimum = std::nullopt};
                   }},
        SourceCase{"DisplayAspectDisplayNotYetSelected", DeviceKind::iPad,
                   [](Probe& p, Session&) { selectAspectDisplay(p, false); }, true,
                   [](CaptureStartOptions& o) { o.windowScale = 1.5; }},
        SourceCase{"WindowFitOverDisplayAspectFit", DeviceKind::iPad,
                   [](Probe& p, Session&) {
                       selectAspectDisplay(p);
                       p.windowFitSlot() = fittedWindow();
                   },
                   true,
                   [](CaptureStartOptions& o) {
                       o.windowScale = 1.5;
                       o.window = fittedWindow().scWindow;
                       o.viewport = CaptureSize{900, 700};
                   }},
        SourceCase{"WindowsClientsScreenAsMinimum", DeviceKind::windows,
                   [](Probe&, Session& s) {
                       s.windowsScreenPixels = std::pair{2560, 1440};
                   },
                   true,
                   [](CaptureStartOptions& o) {
                       o.minimum = CaptureSize{2560, 1440};
                   }}),
    [](const auto& test) { return test.param.name; });

TEST_F(HostControllerVideoTest, ARunWiresCaptureEncoderAndSender) {
    create();
    auto session = streamingSession(DeviceKind::windows);
    session->windowsScreenPixels = std::pair{3840, 2160};
    media().captureWidth = 1920;
    media().captureHeight = 1080;
    media().captureDisplayID = 5;
    probe().startPipelineIfNeeded();
    auto capture = media().capture();
    capture->contentRect = platform::ScreenRect{0, 0.125, 1, 0.75};
    capture->finishStart(true);
    queue.runUntilIdle();

    EXPECT_EQ(fakes.sender->generations, std::vector<std::uint16_t>{1});
    EXPECT_TRUE(logged("capture: physical display active id=5"));
    EXPECT_EQ(fakes.input->inputMapping.displayID, 5u);
    EXPECT_EQ(fakes.input->inputMapping.displayContentRect, (platform::DisplayRect{0, 0.125, 1, 0.75}));
    auto encoder = media().encoder();
    ASSERT_TRUE(encoder);
    EXPECT_EQ(encoder->width(), 1920);
    EXPECT_EQ(encoder->height(), 1080);
    // The start blocks, so it waits for the encoder queue, never the controller's.
    EXPECT_EQ(std::ranges::count(*fakes.log, "encoder.start"), 0);
    EXPECT_EQ(probe().encoder(), nullptr);

    media().encoderQueue.runUntilIdle();
    queue.runUntilIdle();
    EXPECT_EQ(probe().encoder(), encoder);
    ASSERT_EQ(media().cursors.size(), 1u);
    EXPECT_EQ(media().cursors[0]->generation, 1);
    EXPECT_EQ(probe().windowsCursor(), media().cursors[0]);
    EXPECT_EQ(fakes.sender->captureStarts, std::vector<std::uint64_t>{queue.nowMicros()});
    EXPECT_TRUE(logged("pipeline started gen=1"));

    capture->onFrame(nullptr, 777);
    EXPECT_EQ(encoder->encoded, std::vector<std::uint64_t>{777});

    encoder->onParameters({1, 2}, {3});
    EXPECT_TRUE(fakes.sender->configs.empty());
    queue.runUntilIdle();
    const protocol::StreamConfig config{
        .gen = 1, .codec = "h264", .width = 1920, .height = 1080, .fpsCap = 60, .sps = {1, 2}, .pps = {3}};
    EXPECT_EQ(fakes.sender->configs, std::vector{config});
    EXPECT_TRUE(
        logged("windows video gen=1 screenPixels=3840x2160px virtual=none stream=1920x1080px limited by "
               "3840x4096px / H.264 34560 macroblocks"));

    // From the encoder's own thread the frame is with the sender before the call returns.
    const std::uint64_t pts = queue.nowMicros() - 5'000;
    std::atomic<bool> returned = false;
    std::size_t sentOnReturn = 0;
    std::thread encoderThread([&] {
        encoder->onEncoded({9}, true, pts);
        sentOnReturn = fakes.sender->frames.size();
        returned = true;
    });
    EXPECT_TRUE(queue.runUntil([&] { return returned.load(); }));
    encoderThread.join();
    EXPECT_EQ(sentOnReturn, 1u);
    EXPECT_EQ(fakes.sender->frames, (std::vector<FakeHostVideoSender::Frame>{{true, pts}}));
    EXPECT_EQ(probe().maxFrameAge(), 5'000u);
    fakes.sender->countsAsSent = false;
    encoder->onEncoded({9}, false, pts - 50'000);
    EXPECT_EQ(probe().maxFrameAge(), 5'000u);
}

TEST_F(HostControllerVideoTest, CompletionsOfAnEarlierRunAreIgnored) {
    create();
    streamingSession();
    probe().startPipelineIfNeeded();
    auto first = media().capture();
    probe().stopPipeline();
    probe().startPipelineIfNeeded();
    auto second = media().capture();

    first->finishStart(true);
    first->fail("late");
    settle();
    EXPECT_TRUE(fakes.sender->generations.empty());
    EXPECT_TRUE(media().encoders.empty());
    EXPECT_TRUE(logged("capture error: late"));
    EXPECT_FALSE(shown().screenCaptureFailed);
    advance(std::chrono::seconds(10));
    EXPECT_EQ(media().captures.size(), 2u);

    // An encoder whose start answers after its run ended is invalidated, not kept.
    second->finishStart(true);
    queue.runUntilIdle();
    auto orphan = media().encoder();
    probe().stopPipeline();
    probe().startPipelineIfNeeded();
    settle();
    EXPECT_TRUE(orphan->invalidated);
    EXPECT_EQ(probe().encoder(), nullptr);

    finishCapture();
    auto replaced = media().encoder();
    ASSERT_EQ(probe().encoder(), replaced);
    probe().stopPipeline();
    run();
    replaced->onParameters({1}, {2});
    replaced->onEncoded({3}, true, 1);
    settle();
    EXPECT_TRUE(fakes.sender->configs.empty());
    EXPECT_TRUE(fakes.sender->frames.empty());
}

TEST_F(HostControllerVideoTest, GenerationsWrapFrom65535ToOneNeverZero) {
    create();
    streamingSession();
    probe().genCounter() = 65534;
    for (int n = 0; n < 3; ++n) {
        run();
        probe().stopPipeline();
    }
    EXPECT_EQ(fakes.sender->generations, (std::vector<std::uint16_t>{65535, 1, 2}));
}

TEST_F(HostControllerVideoTest, CaptureErrorsRetryTwiceTwoSecondsApartAndAStartResetsTheCount) {
    create();
    streamingSession();
    probe().startPipelineIfNeeded();
    auto failAndRetry = [&](std::size_t captures, int retry) {
        media().capture()->fail("boom");
        queue.runUntilIdle();
        main.runUntilIdle();
        EXPECT_TRUE(shown().screenCaptureFailed);
        EXPECT_EQ(shown().statusText, "画面取得に失敗: boom");
        advance(std::chrono::milliseconds(1'999));
        EXPECT_EQ(media().captures.size(), captures);
        advance(std::chrono::milliseconds(1));
        EXPECT_TRUE(logged("capture error retry " + std::to_string(retry)));
        EXPECT_EQ(media().captures.size(), captures + 1);
        EXPECT_FALSE(media().captures[captures - 1]->isRunning);
    };
    failAndRetry(1, 1);
    failAndRetry(2, 2);
    finishCapture();
    EXPECT_FALSE(shown().screenCaptureFailed);
    EXPECT_EQ(probe().captureErrorRetries(), 0);

    failAndRetry(3, 1);
    failAndRetry(4, 2);
    auto last = media().capture();
    last->fail("boom");
    advance(std::chrono::seconds(30));
    EXPECT_EQ(media().captures.size(), 5u);
    EXPECT_EQ(probe().capture(), last);
}

TEST_F(HostControllerVideoTest, RetriesOnlyForAnAttachedUnpausedSession) {
    struct Case {
        const char* name;
        std::function<void(Probe&, Session&)> meanwhile;
    };
    const std::vector<Case> cases = {
        {"video closed", [](Probe&, Session& s) { s.video.reset(); }},
        {"paused", [](Probe& p, Session&) { p.pausedFlag() = true; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        create();
        auto session = streamingSession();
        auto p = probe();
        for (const bool encoderFails : {false, true}) {
            media().captures.clear();
            media().encoderStarts = {!encoderFails};
            p.startPipelineIfNeeded();
            if (encoderFails)
                finishCapture();
            else
                media().capture()->fail("boom");
            queue.runUntilIdle();
            c.meanwhile(p, *session);
            advance(std::chrono::seconds(10));
            EXPECT_FALSE(logged("capture error retry 1"));
            EXPECT_FALSE(logged("encoder start retry 1"));
            EXPECT_EQ(p.capture(), media().capture());
            p.stopPipeline();
            p.pausedFlag() = false;
            session = streamingSession();
        }
    }
}

TEST_F(HostControllerVideoTest, EncoderStartFailuresRetryTwiceThenKeepTheFailedEncoder) {
    create();
    streamingSession();
    media().encoderStarts = {false, false, false};
    run();
    for (int retry = 1; retry <= 2; ++retry) {
        EXPECT_EQ(shown().statusText, "符号化の開始に失敗しました");
        EXPECT_EQ(probe().encoderStartFailures(), retry);
        advance(std::chrono::milliseconds(1'999));
        EXPECT_FALSE(logged("encoder start retry " + std::to_string(retry)));
        advance(std::chrono::milliseconds(1));
        EXPECT_TRUE(logged("encoder start retry " + std::to_string(retry)));
        EXPECT_TRUE(media().encoders.back()->invalidated);
        finishCapture();
    }
    advance(std::chrono::seconds(30));
    EXPECT_EQ(media().captures.size(), 3u);
    EXPECT_EQ(std::ranges::count(logs, "encoder start failed"), 3);
    EXPECT_EQ(probe().encoder(), media().encoders.back());
    EXPECT_FALSE(media().encoders.back()->invalidated);
    EXPECT_FALSE(logged("pipeline started gen=3"));
}

TEST_F(HostControllerVideoTest, AspectDisplayCaptureIsMarkedActiveAndAFailureWaitsForTheSweep) {
    create();
    streamingSession();
    auto p = probe();
    selectAspectDisplay(p);
    media().captureDisplayID = 7;
    run();
    EXPECT_TRUE(logged("capture: virtual display active id=7"));
    EXPECT_EQ(p.activeAspectCaptureID(), 7u);

    media().capture()->fail("gone");
    queue.runUntilIdle();
    EXPECT_TRUE(logged("display aspect fit: capture failed id=7, retry on next sweep: gone"));
    EXPECT_EQ(p.capture(), nullptr);
    EXPECT_EQ(p.activeAspectCaptureID(), std::nullopt);
    advance(std::chrono::seconds(10));
    EXPECT_EQ(media().captures.size(), 1u);
}

TEST_F(HostControllerVideoTest, FailedWindowCaptureEndsTheFitAfterTwoSeconds) {
    create();
    auto session = streamingSession();
    probe().windowFitSlot() = fittedWindow();
    run();
    media().capture()->fail("window closed");
    queue.runUntilIdle();
    EXPECT_EQ(probe().capture(), nullptr);
    auto state = std::async(std::launch::async, [&] { return links[0].nextText("windowState"); });
    advance(std::chrono::milliseconds(1'999));
    EXPECT_EQ(state.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(media().captures.size(), 1u);  // the window is not captured again
    advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(drive([&] { return state.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(state.get().value().value("active", true), false);
}

TEST_F(HostControllerVideoTest, StopEndsTheRunInOrderAndKeepsTheDisplay) {
    create();
    streamingSession(DeviceKind::windows);
    probe().windowFitSlot() = fittedWindow();
    media().captureDisplayID = 5;
    probe().startPipelineIfNeeded();
    media().capture()->contentRect = platform::ScreenRect{0, 0, 1, 1};
    media().capture()->geometry = host::WindowCaptureGeometry{};
    finishCapture();
    ASSERT_TRUE(probe().windowsCursor());
    ASSERT_TRUE(probe().pipelineWindowGeometry());
    probe().activeAspectCaptureID() = 9;
    fakes.log->clear();

    probe().stopPipeline();
    EXPECT_EQ(*fakes.log,
              (std::vector<std::string>{"input.releaseHeldPointerInputs", "capture.stop", "encoder.invalidate"}));
    EXPECT_EQ(probe().capture(), nullptr);
    EXPECT_EQ(probe().encoder(), nullptr);
    EXPECT_EQ(probe().windowsCursor(), nullptr);
    EXPECT_EQ(probe().pipelineWindowGeometry(), std::nullopt);
    EXPECT_EQ(probe().activeAspectCaptureID(), std::nullopt);
    EXPECT_EQ(fakes.input->inputMapping.displayContentRect, std::nullopt);
    EXPECT_EQ(fakes.input->inputMapping.displayID, 5u);
    EXPECT_EQ(probe().windowPointerState(), PointerState::changing);
}

TEST_F(HostControllerVideoTest, StopReleasesHeldPointerInputOnlyForAReadyFittedWindow) {
    struct Case {
        const char* name;
        std::optional<host::WindowFit> fit;
        PointerState before;
        bool released;
        PointerState after;
    };
    const std::vector<Case> cases = {
        {"fit, ready", fittedWindow(), PointerState::ready, true, PointerState::changing},
        {"fit, awaiting a frame", fittedWindow(), PointerState::awaitingFrame, false, PointerState::changing},
        {"suspended fit, ready", fittedWindow(true), PointerState::ready, false, PointerState::ready},
        {"no fit, ready", std::nullopt, PointerState::ready, false, PointerState::ready},
        {"no fit, awaiting a frame", std::nullopt, PointerState::awaitingFrame, false, PointerState::changing},
    };
    create();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        probe().windowFitSlot() = c.fit;
        probe().windowPointerState() = c.before;
        fakes.log->clear();
        probe().stopPipeline();
        EXPECT_EQ(std::ranges::count(*fakes.log, "input.releaseHeldPointerInputs"), c.released ? 1 : 0);
        EXPECT_EQ(probe().windowPointerState(), c.after);
    }
}

TEST_F(HostControllerVideoTest, NewRunAwaitsItsFirstFrameBeforePointerInput) {
    create();
    streamingSession();
    probe().windowPointerState() = PointerState::changing;
    probe().genCounter() = 40;
    run();
    EXPECT_EQ(probe().windowPointerState(), PointerState::awaitingFrame);
    EXPECT_EQ(probe().awaitedPointerGen(), 41);
}

// A still screen gives no next frame to carry a forced keyframe: the current picture comes again.
TEST_F(HostControllerVideoTest, KeyframeRequestsAndStallRecoveryRepeatTheCurrentPicture) {
    create();
    auto session = streamingSession();
    for (const bool fromDevice : {true, false}) {
        SCOPED_TRACE(fromDevice ? "requestKeyframe" : "stall recovery");
        run();
        fakes.log->clear();
        if (fromDevice) {
            controller->handleControlText(protocol::ControlMessage(protocol::RequestKeyframe{}).jsonString().value(),
                                          session);
        } else {
            fakes.sender->onForceKeyframe();
        }
        queue.runUntilIdle();
        EXPECT_EQ(*fakes.log, (std::vector<std::string>{"encoder.forceKeyframe", "capture.repeatLastFrame"}));
        probe().stopPipeline();
    }
}

struct HighResCase {
    std::string name;
    bool available;
    bool on;
    std::function<void(Probe&)> arrange;
    bool shown;
    std::optional<bool> stored;
    bool restarted;
};

void PrintTo(const HighResCase& c, std::ostream* os) { *os << c.name; }

class HighResolutionTest : public HostVideoTest, public ::testing::WithParamInterface<HighResCase> {};

TEST_P(HighResolutionTest, SwitchIsShownStoredAndApplied) {
    const auto& c = GetParam();
    fakes.virtualDisplaysAvailable = c.available;
    create();
    streamingSession();
    auto p = probe();
    c.arrange(p);
    run();
    controller->setHighRes(c.on);
    main.runUntilIdle();
    queue.runUntilIdle();
    EXPECT_EQ(shown().highResEnabled, c.shown);
    EXPECT_EQ(settings->boolean(host::StoredHostSettings::kHighResKey), c.stored);
    EXPECT_EQ(p.highResOn(), c.shown);
    EXPECT_EQ(logged("high-res mode: on"), c.shown);
    ASSERT_EQ(media().captures.size(), c.restarted ? 2u : 1u);
    if (c.restarted) {
        EXPECT_TRUE(media().capture()->options->usePixelSize);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Video, HighResolutionTest,
    ::testing::Values(HighResCase{"UnavailableChangesNothing", false, true, [](Probe&) {}, false, std::nullopt, false},
                      HighResCase{"UnavailableOffIsStored", false, false, [](Probe&) {}, false, false, false},
                      HighResCase{"OnRestartsTheStream", true, true, [](Probe&) {}, true, true, true},
                      HighResCase{"OnWithDisplayAspectFitKeepsTheStream", true, true,
                                  [](Probe& p) { p.clientAspectFitFlag() = true; }, true, true, false},
                      HighResCase{"OnWithAWindowFitKeepsTheStream", true, true,
                                  [](Probe& p) { p.windowFitSlot() = fittedWindow(); }, true, true, false}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace orvanta::testing
