// The media pipeline through its interface: the video channel over real loopback sockets, and
// runs played through the fake media components and the fake neighbours on virtual time.
#include <thread>

#include "FakePipelineNeighbours.h"
#include "HostControllerVideoSupport.h"

namespace orvanta::testing {
namespace {

using host::CaptureSize;
using host::CaptureStartOptions;
using host::DeviceKind;
using Pointer = FakePipelineNeighbours::Pointer;
using Session = host::HostSession;

host::WindowFit fittedWindow(bool suspended = false, bool capturable = true) {
    host::WindowFit fit;
    fit.viewport = {900, 700};
    if (capturable) fit.scWindow = platform::ShareableWindow{42, {100, 100, 800, 600}};
    fit.suspended = suspended;
    return fit;
}

// Display aspect fit with display 7 selected for capture, on a virtual display that outputs 1280x800.
host::PipelineAspect aspectDisplay(bool captureSelected = true) {
    return {.on = true,
            .scale = 1.5,
            .applicationDisplayID = 7,
            .captureSelected = captureSelected,
            .virtualSize = host::DisplaySize{.pixels = {2560, 1600},
                                             .descriptorPixels = {},
                                             .outputPixels = host::PixelSize{1280, 800}}};
}

class MediaPipelineTest : public HostVideoTest {
protected:
    void TearDown() override {
        neighbours.session.reset();
        pipeline.reset();
        HostVideoTest::TearDown();
    }

    // An authenticated main session of `kind` whose video connection is attached, as the video
    // channel's authentication leaves it (the sender holds the connection too).
    std::shared_ptr<Session> streaming(DeviceKind kind = DeviceKind::iPad) {
        links.push_back(link());
        auto session = std::make_shared<Session>(links.back().connection, queue.nowMicros());
        session->authenticated = true;
        session->deviceKind = kind;
        links.push_back(link());
        session->video = links.back().connection;
        session->ticketUsed = true;
        fakes.sender->attach(session->video, false);
        neighbours.session = session;
        return session;
    }
    // A main session waiting for its video connection's ticket.
    std::shared_ptr<Session> awaitingVideo() {
        links.push_back(link());
        auto session = std::make_shared<Session>(links.back().connection, queue.nowMicros());
        session->authenticated = true;
        session->ticket = "tk-1";
        neighbours.session = session;
        return session;
    }

    std::unique_ptr<RawClient> connect() {
        return connectVideo([this](host::UpgradedSocket socket) { pipeline->acceptVideo(std::move(socket), {}); });
    }
    void start() {
        pipeline->startIfNeeded();
        settle();
    }
    void run() {
        pipeline->startIfNeeded();
        finishCapture();
    }
    // The encoder the pipeline runs, as the sender's stall check is handed it.
    host::HostEncoder* runningEncoder() {
        pipeline->checkStall(queue.nowMicros());
        return fakes.sender->lastEncoder;
    }
    bool logged(std::string_view line) const { return neighbours.logged(line); }

    FakePipelineNeighbours neighbours{.calls = fakes.log};
    std::shared_ptr<host::MediaPipeline> pipeline = neighbours.make(
        queue, queue.clock(), {.media = fakes.media, .encoderQueue = &fakes.media->encoderQueue, .sender = fakes.sender});
};

// The video channel.

TEST_F(MediaPipelineTest, TicketIsAcceptedOnceAndOnlyFromAnAttachedAuthenticatedSession) {
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
        auto main = awaitingVideo();
        c.arrange(*main);
        fakes.sender->attached.reset();
        auto device = connect();
        sendAuth(*device, c.ticket);
        if (c.accepted) {
            ASSERT_TRUE(drive([&] { return main->video != nullptr; }));
            EXPECT_TRUE(main->ticketUsed);
            EXPECT_EQ(pipeline->pendingVideos(), 0u);
            EXPECT_EQ(fakes.sender->attached, main->video);
            EXPECT_TRUE(logged("video attached"));
        } else {
            EXPECT_TRUE(closedWith(*device, 4003, "auth failed"));
            EXPECT_EQ(main->video, nullptr);
            EXPECT_EQ(fakes.sender->attached, nullptr);
            EXPECT_TRUE(logged("video auth failed"));
        }
        neighbours.logs.clear();
    }
}

TEST_F(MediaPipelineTest, WithoutSessionOrWithGarbageTheChannelIsRefused) {
    auto device = connect();
    sendAuth(*device, "tk-1");
    EXPECT_TRUE(closedWith(*device, 4003, "auth failed"));
    awaitingVideo();
    auto garbage = connect();
    garbage->write(textFrame("not json"));
    EXPECT_TRUE(closedWith(*garbage, 4003, "auth failed"));
    EXPECT_TRUE(drive([&] { return pipeline->pendingVideos() == 0; }));
    EXPECT_EQ(fakes.sender->attached, nullptr);
}

TEST_F(MediaPipelineTest, SilentConnectionIsClosedAfterTenSecondsOfVirtualTime) {
    auto device = connect();
    advance(std::chrono::milliseconds(9'999));
    EXPECT_EQ(pipeline->pendingVideos(), 1u);
    advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(closedWith(*device, 4003, "auth timeout"));
    EXPECT_TRUE(drive([&] { return pipeline->pendingVideos() == 0; }));
}

// The sender takes the connection, the run starts, then audio follows the video.
TEST_F(MediaPipelineTest, AnAttachedConnectionGoesToTheSenderThenStartsARunThenAudio) {
    auto main = awaitingVideo();
    auto device = connect();
    sendAuth(*device, "tk-1");
    ASSERT_TRUE(drive([&] { return main->video != nullptr; }));
    EXPECT_EQ(*fakes.log, (std::vector<std::string>{"sender.attach", "capture.start", "audio.refresh"}));

    // A second connection, while the run's encoder runs, tells the sender the pipeline is running.
    finishCapture();
    main->ticketUsed = false;
    auto again = connect();
    sendAuth(*again, "tk-1");
    ASSERT_TRUE(drive([&] { return neighbours.count("sender.attach running") == 1; }));
}

TEST_F(MediaPipelineTest, OnlyTheSessionsOwnConnectionDetachesWhenItCloses) {
    auto main = awaitingVideo();
    auto stray = connect();
    auto device = connect();
    sendAuth(*device, "tk-1");
    ASSERT_TRUE(drive([&] { return main->video != nullptr; }));
    stray->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return pipeline->pendingVideos() == 0; }));
    EXPECT_EQ(neighbours.count("sender.detach"), 0);
    device->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return main->video == nullptr; }));
    EXPECT_EQ(neighbours.count("sender.detach"), 1);
    EXPECT_TRUE(logged("video detached"));
}

// Without video the run goes on for fifteen seconds, counted from the close (the housekeeping
// that asks runs every 250 ms); a new connection keeps it.
TEST_F(MediaPipelineTest, ARunLeftWithoutVideoStopsAfterFifteenSeconds) {
    auto main = awaitingVideo();
    auto device = connect();
    sendAuth(*device, "tk-1");
    ASSERT_TRUE(drive([&] { return main->video != nullptr; }));
    finishCapture();
    auto capture = media().capture();
    fakes.log->clear();
    device->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return main->video == nullptr; }));
    EXPECT_EQ(*fakes.log, (std::vector<std::string>{"sender.detach", "audio.refresh"}));
    advance(std::chrono::seconds(15));
    pipeline->stopIfIdle();
    EXPECT_TRUE(capture->isRunning);
    advance(std::chrono::microseconds(1));
    pipeline->stopIfIdle();
    EXPECT_FALSE(capture->isRunning);
    EXPECT_EQ(pipeline->capture(), nullptr);
    EXPECT_TRUE(logged("capture stopped (no video for 15s)"));
    EXPECT_EQ(neighbours.count("encoder.invalidate"), 1);

    // The idle time is forgotten once stopped, and when the session lets its video go for good.
    links.push_back(link());
    main->video = links.back().connection;
    run();
    advance(std::chrono::seconds(20));
    pipeline->stopIfIdle();
    EXPECT_TRUE(media().capture()->isRunning);
    pipeline->closeStalledVideo();
    pipeline->cancelIdleStop();
    advance(std::chrono::seconds(20));
    pipeline->stopIfIdle();
    EXPECT_TRUE(media().capture()->isRunning);
}

TEST_F(MediaPipelineTest, AStalledVideoIsClosedAndTheRunKept) {
    auto session = streaming();
    run();
    fakes.log->clear();
    pipeline->closeStalledVideo();
    EXPECT_TRUE(logged("video stalled (stage2): closing video"));
    EXPECT_EQ(session->video, nullptr);
    EXPECT_EQ(*fakes.log, (std::vector<std::string>{"sender.detach", "audio.refresh"}));
    EXPECT_EQ(links.back().nextClose(), (std::pair<int, std::string>{4001, "stalled"}));
    EXPECT_TRUE(media().capture()->isRunning);
    advance(std::chrono::seconds(16));
    pipeline->stopIfIdle();
    EXPECT_FALSE(media().capture()->isRunning);

    // Without video there is nothing to close.
    fakes.log->clear();
    neighbours.logs.clear();
    pipeline->closeStalledVideo();
    EXPECT_TRUE(fakes.log->empty());
    EXPECT_TRUE(neighbours.logs.empty());
}

// Where a run starts, and what it captures.

struct SourceCase {
    std::string name;
    DeviceKind kind = DeviceKind::iPad;
    std::function<void(FakePipelineNeighbours&, Session&, host::MediaPipeline&)> arrange;
    bool starts = true;
    // Applied to the physical display's options: scale 1, nothing else asked for.
    std::function<void(CaptureStartOptions&)> expected = [](CaptureStartOptions&) {};
};

void PrintTo(const SourceCase& c, std::ostream* os) { *os << c.name; }

class PipelineSourceTest : public MediaPipelineTest, public ::testing::WithParamInterface<SourceCase> {};

TEST_P(PipelineSourceTest, StartsOnlyWhenAllowedWithTheChosenSource) {
    const auto& c = GetParam();
    auto session = streaming(c.kind);
    neighbours.physicalDisplay = 3;
    c.arrange(neighbours, *session, *pipeline);
    const auto before = media().captures.size();
    pipeline->startIfNeeded();
    if (!c.starts) {
        EXPECT_EQ(media().captures.size(), before);
        return;
    }
    ASSERT_EQ(media().captures.size(), 1u);
    CaptureStartOptions expected{.window = std::nullopt,
                                 .windowScale = 1,
                                 .viewport = std::nullopt,
                                 .displayID = 3,
                                 .aspectOutput = std::nullopt,
                                 .minimum = std::nullopt};
    c.expected(expected);
    EXPECT_EQ(media().capture()->options, expected);
    EXPECT_EQ(media().capture()->kind, c.kind);
    EXPECT_EQ(pipeline->capture(), media().capture());
}

auto noop = [](FakePipelineNeighbours&, Session&, host::MediaPipeline&) {};
using N = FakePipelineNeighbours;
using P = host::MediaPipeline;

INSTANTIATE_TEST_SUITE_P(
    Video, PipelineSourceTest,
    ::testing::Values(
        SourceCase{"NoSession", DeviceKind::iPad, [](N& n, Session&, P&) { n.session.reset(); }, false},
        SourceCase{"NoVideo", DeviceKind::iPad, [](N&, Session& s, P&) { s.video.reset(); }, false},
        SourceCase{"Paused", DeviceKind::iPad, [](N& n, Session&, P&) { n.paused = true; }, false},
        SourceCase{"CaptureRunning", DeviceKind::iPad, [](N&, Session&, P& p) { p.startIfNeeded(); }, false},
        SourceCase{"VirtualDisplayBeingCreated", DeviceKind::iPad, [](N& n, Session&, P&) { n.aspect.creating = true; },
                   false},
        SourceCase{"DisplayBeingRestored", DeviceKind::iPad, [](N& n, Session&, P&) { n.aspect.restoring = true; },
                   false},
        SourceCase{"WindowFitPending", DeviceKind::iPad, [](N& n, Session&, P&) { n.fitPending = true; }, false},
        SourceCase{"WindowFitSuspended", DeviceKind::iPad, [](N& n, Session&, P&) { n.fit = fittedWindow(true); },
                   false},
        SourceCase{"WindowFitWithoutCapturableWindow", DeviceKind::iPad,
                   [](N& n, Session&, P&) { n.fit = fittedWindow(false, false); }, false},
        SourceCase{"PhysicalDisplay", DeviceKind::iPad, noop},
        SourceCase{"SessionViewport", DeviceKind::iPad,
                   [](N&, Session& s, P&) {
                       s.viewportWidth = 1280;
                       s.viewportHeight = 800;
                   },
                   true, [](CaptureStartOptions& o) { o.viewport = CaptureSize{1280, 800}; }},
        SourceCase{"ViewportWithoutHeight", DeviceKind::iPad, [](N&, Session& s, P&) { s.viewportWidth = 1280; }},
        SourceCase{"HighResolutionOnATablet", DeviceKind::iPad, [](N& n, Session&, P&) { n.highRes = true; }, true,
                   [](CaptureStartOptions& o) { o.usePixelSize = true; }},
        SourceCase{"HighResolutionOnAnIPhone", DeviceKind::iPhone, [](N& n, Session&, P&) { n.highRes = true; }},
        SourceCase{"HighResolutionOnAnAndroidPhone", DeviceKind::android,
                   [](N& n, Session& s, P&) {
                       n.highRes = true;
                       s.hasPhoneIdiom = true;
                   }},
        SourceCase{"HighResolutionOnAnAndroidTablet", DeviceKind::android, [](N& n, Session&, P&) { n.highRes = true; },
                   true, [](CaptureStartOptions& o) { o.usePixelSize = true; }},
        SourceCase{"FittedWindowAtTheFitsViewport", DeviceKind::iPad,
                   [](N& n, Session& s, P&) {
                       s.viewportWidth = 1280;
                       s.viewportHeight = 800;
                       n.fit = fittedWindow();
                   },
                   true,
                   [](CaptureStartOptions& o) {
                       o.window = fittedWindow().scWindow;
                       o.viewport = CaptureSize{900, 700};
                   }},
        SourceCase{"DisplayAspectDisplay", DeviceKind::iPad, [](N& n, Session&, P&) { n.aspect = aspectDisplay(); },
                   true,
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
                   [](N& n, Session&, P&) { n.aspect = aspectDisplay(false); }, true,
                   [](CaptureStartOptions& o) { o.windowScale = 1.5; }},
        SourceCase{"WindowFitOverDisplayAspectFit", DeviceKind::iPad,
                   [](N& n, Session&, P&) {
                       n.aspect = aspectDisplay();
                       n.fit = fittedWindow();
                   },
                   true,
                   [](CaptureStartOptions& o) {
                       o.windowScale = 1.5;
                       o.window = fittedWindow().scWindow;
                       o.viewport = CaptureSize{900, 700};
                   }},
        SourceCase{"WindowsClientsScreenAsMinimum", DeviceKind::windows,
                   [](N&, Session& s, P&) { s.windowsScreenPixels = std::pair{2560, 1440}; }, true,
                   [](CaptureStartOptions& o) { o.minimum = CaptureSize{2560, 1440}; }}),
    [](const auto& test) { return test.param.name; });

TEST_F(MediaPipelineTest, WithoutMediaOrEncoderQueueNoRunStarts) {
    for (const bool withMedia : {false, true}) {
        SCOPED_TRACE(withMedia ? "no encoder queue" : "no media");
        auto bare = neighbours.make(queue, queue.clock(),
                                    {.media = withMedia ? fakes.media : nullptr, .encoderQueue = nullptr,
                                     .sender = fakes.sender});
        streaming();
        bare->startIfNeeded();
        EXPECT_TRUE(media().captures.empty());
    }
}

// A run's steps.

TEST_F(MediaPipelineTest, ARunWiresCaptureEncoderAndSender) {
    auto session = streaming(DeviceKind::windows);
    session->windowsScreenPixels = std::pair{3840, 2160};
    media().captureWidth = 1920;
    media().captureHeight = 1080;
    media().captureDisplayID = 5;
    pipeline->startIfNeeded();
    auto capture = media().capture();
    capture->contentRect = platform::ScreenRect{0, 0.125, 1, 0.75};
    capture->finishStart(true);
    queue.runUntilIdle();

    EXPECT_EQ(neighbours.captureFailed, false);
    EXPECT_EQ(fakes.sender->generations, std::vector<std::uint16_t>{1});
    EXPECT_TRUE(logged("capture: physical display active id=5"));
    EXPECT_EQ(neighbours.mapping.displayID, 5u);
    EXPECT_EQ(neighbours.mapping.displayContentRect, (platform::DisplayRect{0, 0.125, 1, 0.75}));
    auto encoder = media().encoder();
    ASSERT_TRUE(encoder);
    EXPECT_EQ(encoder->width(), 1920);
    EXPECT_EQ(encoder->height(), 1080);
    // The start blocks, so it waits for the encoder queue, never the host queue.
    EXPECT_EQ(neighbours.count("encoder.start"), 0);
    EXPECT_EQ(runningEncoder(), nullptr);

    media().encoderQueue.runUntilIdle();
    queue.runUntilIdle();
    EXPECT_EQ(runningEncoder(), encoder.get());
    ASSERT_EQ(media().cursors.size(), 1u);
    EXPECT_EQ(media().cursors[0]->generation, 1);
    pipeline->sendWindowsCursor({0.5, 0.5, true}, 7, *session->control);
    EXPECT_EQ(media().cursors[0]->sent.size(), 1u);
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
    std::size_t sentOnReturn = 0;
    std::thread encoderThread([&] {
        encoder->onEncoded({9}, true, pts);
        sentOnReturn = fakes.sender->frames.size();
    });
    EXPECT_TRUE(queue.runUntil([&] { return !fakes.sender->frames.empty(); }));
    encoderThread.join();
    EXPECT_EQ(sentOnReturn, 1u);
    EXPECT_EQ(fakes.sender->frames, (std::vector<FakeHostVideoSender::Frame>{{true, pts}}));
    // The oldest frame counts; a frame the sender dropped does not, and the age starts over once read.
    encoder->onEncoded({9}, false, pts + 4'000);
    EXPECT_EQ(pipeline->takeMaxFrameAge(), 5'000u);
    fakes.sender->countsAsSent = false;
    encoder->onEncoded({9}, false, pts - 50'000);
    EXPECT_EQ(pipeline->takeMaxFrameAge(), 0u);
}

TEST_F(MediaPipelineTest, TheWindowsLineNamesTheVirtualDisplayAndIsLimitedOnlyBelowTheScreen) {
    auto session = streaming(DeviceKind::windows);
    session->windowsScreenPixels = std::pair{1920, 1080};
    neighbours.aspect.virtualSize = host::DisplaySize{.pixels = {2560, 1440}};
    media().captureWidth = 1920;
    media().captureHeight = 1080;
    run();
    media().encoder()->onParameters({1}, {2});
    queue.runUntilIdle();
    EXPECT_TRUE(logged("windows video gen=1 screenPixels=1920x1080px virtual=2560x1440px stream=1920x1080px"));
}

TEST_F(MediaPipelineTest, CompletionsOfAnEarlierRunAreIgnored) {
    streaming();
    pipeline->startIfNeeded();
    auto first = media().capture();
    pipeline->stop();
    pipeline->startIfNeeded();
    auto second = media().capture();

    first->finishStart(true);
    first->fail("late");
    settle();
    EXPECT_TRUE(fakes.sender->generations.empty());
    EXPECT_TRUE(media().encoders.empty());
    EXPECT_TRUE(logged("capture error: late"));
    EXPECT_EQ(neighbours.captureFailed, std::nullopt);
    advance(std::chrono::seconds(10));
    EXPECT_EQ(media().captures.size(), 2u);

    // An encoder whose start answers after its run ended is invalidated, not kept.
    second->finishStart(true);
    queue.runUntilIdle();
    auto orphan = media().encoder();
    pipeline->stop();
    pipeline->startIfNeeded();
    settle();
    EXPECT_TRUE(orphan->invalidated);
    EXPECT_EQ(runningEncoder(), nullptr);

    finishCapture();
    auto replaced = media().encoder();
    ASSERT_EQ(runningEncoder(), replaced.get());
    pipeline->stop();
    run();
    replaced->onParameters({1}, {2});
    replaced->onEncoded({3}, true, 1);
    settle();
    EXPECT_TRUE(fakes.sender->configs.empty());
    EXPECT_TRUE(fakes.sender->frames.empty());
}

TEST_F(MediaPipelineTest, GenerationsWrapFrom65535ToOneNeverZero) {
    streaming();
    for (int n = 0; n < 65'537; ++n) {
        pipeline->startIfNeeded();
        media().capture()->finishStart(true);
        queue.runUntilIdle();
        pipeline->stop();
        media().encoderQueue.runUntilIdle();
        queue.runUntilIdle();
        media().captures.clear();
        media().encoders.clear();
        fakes.log->clear();
    }
    const auto& generations = fakes.sender->generations;
    ASSERT_EQ(generations.size(), 65'537u);
    EXPECT_EQ(generations.front(), 1);
    EXPECT_EQ(std::vector(generations.end() - 3, generations.end()), (std::vector<std::uint16_t>{65535, 1, 2}));
    EXPECT_EQ(std::ranges::count(generations, 0), 0);
}

TEST_F(MediaPipelineTest, CaptureErrorsRetryTwiceTwoSecondsApartAndAStartResetsTheCount) {
    streaming();
    pipeline->startIfNeeded();
    auto failAndRetry = [&](std::size_t captures, int retry, long times) {
        media().capture()->fail("boom");
        queue.runUntilIdle();
        EXPECT_EQ(neighbours.captureFailed, true);
        EXPECT_EQ(neighbours.status, "画面取得に失敗: boom");
        advance(std::chrono::milliseconds(1'999));
        EXPECT_EQ(media().captures.size(), captures);
        advance(std::chrono::milliseconds(1));
        EXPECT_EQ(neighbours.logCount("capture error retry " + std::to_string(retry)), times);
        EXPECT_EQ(media().captures.size(), captures + 1);
        EXPECT_FALSE(media().captures[captures - 1]->isRunning);
    };
    failAndRetry(1, 1, 1);
    failAndRetry(2, 2, 1);
    finishCapture();
    EXPECT_EQ(neighbours.captureFailed, false);

    // The count starts over: two retries again.
    failAndRetry(3, 1, 2);
    failAndRetry(4, 2, 2);
    auto last = media().capture();
    last->fail("boom");
    advance(std::chrono::seconds(30));
    EXPECT_EQ(media().captures.size(), 5u);
    EXPECT_EQ(pipeline->capture(), last);
}

TEST_F(MediaPipelineTest, RetriesOnlyForAnAttachedUnpausedSession) {
    struct Case {
        const char* name;
        std::function<void(FakePipelineNeighbours&, Session&)> meanwhile;
    };
    const std::vector<Case> cases = {
        {"video closed", [](auto&, Session& s) { s.video.reset(); }},
        {"paused", [](auto& n, Session&) { n.paused = true; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto session = streaming();
        for (const bool encoderFails : {false, true}) {
            media().captures.clear();
            media().encoderStarts = {!encoderFails};
            pipeline->startIfNeeded();
            if (encoderFails)
                finishCapture();
            else
                media().capture()->fail("boom");
            queue.runUntilIdle();
            c.meanwhile(neighbours, *session);
            advance(std::chrono::seconds(10));
            EXPECT_FALSE(logged("capture error retry 1"));
            EXPECT_FALSE(logged("encoder start retry 1"));
            EXPECT_EQ(pipeline->capture(), media().capture());
            pipeline->stop();
            neighbours.paused = false;
            session = streaming();
        }
    }
}

TEST_F(MediaPipelineTest, EncoderStartFailuresRetryTwiceThenKeepTheFailedEncoder) {
    streaming();
    media().encoderStarts = {false, false, false};
    run();
    for (int retry = 1; retry <= 2; ++retry) {
        EXPECT_EQ(neighbours.status, "符号化の開始に失敗しました");
        EXPECT_EQ(neighbours.logCount("encoder start failed"), retry);
        advance(std::chrono::milliseconds(1'999));
        EXPECT_FALSE(logged("encoder start retry " + std::to_string(retry)));
        advance(std::chrono::milliseconds(1));
        EXPECT_TRUE(logged("encoder start retry " + std::to_string(retry)));
        EXPECT_TRUE(media().encoders.back()->invalidated);
        finishCapture();
    }
    advance(std::chrono::seconds(30));
    EXPECT_EQ(media().captures.size(), 3u);
    EXPECT_EQ(neighbours.logCount("encoder start failed"), 3);
    EXPECT_EQ(runningEncoder(), media().encoders.back().get());
    EXPECT_FALSE(media().encoders.back()->invalidated);
    EXPECT_FALSE(logged("pipeline started gen=3"));
}

TEST_F(MediaPipelineTest, AspectDisplayCaptureIsMarkedActiveAndAFailureWaitsForTheSweep) {
    streaming();
    neighbours.aspect = aspectDisplay();
    media().captureDisplayID = 7;
    run();
    EXPECT_TRUE(logged("capture: virtual display active id=7"));
    EXPECT_EQ(pipeline->aspectCaptureID(), 7u);
    EXPECT_EQ(neighbours.count("windows.migrate"), 1);

    media().capture()->fail("gone");
    queue.runUntilIdle();
    EXPECT_TRUE(logged("display aspect fit: capture failed id=7, retry on next sweep: gone"));
    EXPECT_EQ(pipeline->capture(), nullptr);
    EXPECT_EQ(pipeline->aspectCaptureID(), std::nullopt);
    advance(std::chrono::seconds(10));
    EXPECT_EQ(media().captures.size(), 1u);
}

TEST_F(MediaPipelineTest, AFailedWindowCaptureGivesTheFitUpAfterTwoSecondsUnlessSomethingNewCame) {
    struct Case {
        const char* name;
        std::function<void(FakePipelineNeighbours&, host::MediaPipeline&)> meanwhile;
        bool givenUp;
        std::size_t newCaptures = 0;
    };
    const std::vector<Case> cases = {
        {"nothing", [](auto&, auto&) {}, true},
        {"a newer fit request", [](auto& n, auto&) { ++n.fitGeneration; }, false},
        {"the fit suspended", [](auto& n, auto&) { n.fit->suspended = true; }, false},
        {"the fit ended", [](auto& n, auto&) { n.fit.reset(); }, false},
        {"a new capture", [](auto&, auto& p) { p.startIfNeeded(); }, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        streaming();
        neighbours.fit = fittedWindow();
        run();
        const auto captures = media().captures.size();
        media().capture()->fail("window closed");
        queue.runUntilIdle();
        EXPECT_EQ(pipeline->capture(), nullptr);
        advance(std::chrono::milliseconds(1'999));
        EXPECT_EQ(neighbours.count("fit.giveUp"), 0);
        c.meanwhile(neighbours, *pipeline);
        advance(std::chrono::milliseconds(1));
        EXPECT_EQ(neighbours.count("fit.giveUp"), c.givenUp ? 1 : 0);
        EXPECT_EQ(media().captures.size(), captures + c.newCaptures);  // the window is not captured again
        pipeline->stop();
        fakes.log->clear();
    }
}

TEST_F(MediaPipelineTest, StopEndsTheRunInOrderAndKeepsTheDisplay) {
    auto session = streaming(DeviceKind::windows);
    neighbours.fit = fittedWindow();
    neighbours.aspect.applicationDisplayID = 5;
    media().captureDisplayID = 5;
    pipeline->startIfNeeded();
    media().capture()->contentRect = platform::ScreenRect{0, 0, 1, 1};
    media().capture()->geometry = host::WindowCaptureGeometry{};
    finishCapture();
    ASSERT_EQ(media().cursors.size(), 1u);
    ASSERT_TRUE(pipeline->windowGeometry());
    ASSERT_EQ(pipeline->aspectCaptureID(), 5u);
    neighbours.pointer = Pointer::ready;
    fakes.log->clear();

    pipeline->stop();
    EXPECT_EQ(*fakes.log, (std::vector<std::string>{"pointer.change from ready", "capture.stop", "encoder.invalidate"}));
    EXPECT_EQ(pipeline->capture(), nullptr);
    EXPECT_EQ(runningEncoder(), nullptr);
    pipeline->sendWindowsCursor({0.5, 0.5, true}, 7, *session->control);
    EXPECT_TRUE(media().cursors[0]->sent.empty());
    EXPECT_EQ(pipeline->windowGeometry(), std::nullopt);
    EXPECT_EQ(pipeline->aspectCaptureID(), std::nullopt);
    EXPECT_EQ(neighbours.mapping.displayContentRect, std::nullopt);
    EXPECT_EQ(neighbours.mapping.displayID, 5u);
    EXPECT_EQ(neighbours.pointer, Pointer::changing);
}

// A stopped run changes pointer input's meaning for a fitted window, and keeps it changing while
// it waited for a frame.
TEST_F(MediaPipelineTest, StopChangesThePointerOnlyForAFittedWindowOrWhileItWaits) {
    struct Case {
        const char* name;
        std::optional<host::WindowFit> fit;
        Pointer before;
        std::vector<std::string> calls;
        Pointer after;
    };
    const std::vector<Case> cases = {
        {"fit, ready", fittedWindow(), Pointer::ready, {"pointer.change from ready"}, Pointer::changing},
        {"fit, awaiting a frame", fittedWindow(), Pointer::awaitingFrame, {"pointer.change"}, Pointer::changing},
        {"suspended fit, ready", fittedWindow(true), Pointer::ready, {}, Pointer::ready},
        {"no fit, ready", std::nullopt, Pointer::ready, {}, Pointer::ready},
        {"no fit, awaiting a frame", std::nullopt, Pointer::awaitingFrame, {"pointer.change"}, Pointer::changing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        neighbours.fit = c.fit;
        neighbours.pointer = c.before;
        fakes.log->clear();
        pipeline->stop();
        EXPECT_EQ(*fakes.log, c.calls);
        EXPECT_EQ(neighbours.pointer, c.after);
    }
}

TEST_F(MediaPipelineTest, NewRunAwaitsItsFirstFrameBeforePointerInputUnlessAFitOrDisplayIsComing) {
    struct Case {
        const char* name;
        Pointer before;
        std::function<void(FakePipelineNeighbours&)> arrange;
        bool awaits;
    };
    const std::vector<Case> cases = {
        {"changing", Pointer::changing, [](auto&) {}, true},
        {"ready", Pointer::ready, [](auto&) {}, false},
        {"changing, fit pending", Pointer::changing, [](auto& n) { n.fitPending = true; }, false},
        {"changing, display being made", Pointer::changing, [](auto& n) { n.aspect.creating = true; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        streaming();
        neighbours.pointer = c.before;
        pipeline->startIfNeeded();
        c.arrange(neighbours);
        finishCapture();
        if (c.awaits) {
            EXPECT_EQ(neighbours.pointer, Pointer::awaitingFrame);
            EXPECT_EQ(neighbours.awaitedGeneration, fakes.sender->generations.back());
        } else {
            EXPECT_EQ(neighbours.awaitedGeneration, std::nullopt);
        }
        pipeline->stop();
        neighbours.fitPending = false;
        neighbours.aspect.creating = false;
        neighbours.awaitedGeneration.reset();
    }
}

// A still screen gives no next frame to carry a forced keyframe: the current picture comes again.
TEST_F(MediaPipelineTest, AForcedKeyframeRepeatsTheCurrentPictureOnlyWhileAnEncoderRuns) {
    streaming();
    pipeline->forceKeyframe();
    pipeline->startIfNeeded();
    settle();
    pipeline->forceKeyframe();
    EXPECT_EQ(neighbours.count("encoder.forceKeyframe"), 0);
    finishCapture();
    fakes.log->clear();
    pipeline->forceKeyframe();
    EXPECT_EQ(*fakes.log, (std::vector<std::string>{"encoder.forceKeyframe", "capture.repeatLastFrame"}));
}

TEST_F(MediaPipelineTest, HopsAfterTheOwnerIsGoneDoNothing) {
    streaming();
    auto owner = std::make_shared<int>(0);
    pipeline->setLifetime(owner);
    pipeline->startIfNeeded();
    owner.reset();
    finishCapture();
    EXPECT_TRUE(fakes.sender->generations.empty());
    EXPECT_TRUE(media().encoders.empty());
}

}  // namespace
}  // namespace orvanta::testing
