// The media pipeline as the coordinator wires it, on the wire: a video connection that
// authenticates starts a run through the fakes, and what the run asks of its neighbours reaches
// the session, window fit, the pointer and the published state.
#include "HostControllerVideoSupport.h"

namespace orvanta::testing {
namespace {

using host::DeviceKind;
using Probe = host::HostControllerProbe;
using PointerState = host::HostController::WindowPointerState;
using HostControllerVideoTest = HostVideoTest;

host::WindowFit fittedWindow() {
    host::WindowFit fit;
    fit.viewport = {900, 700};
    fit.scWindow = platform::ShareableWindow{42, {100, 100, 800, 600}};
    return fit;
}

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
    create();
    auto session = authenticatedStream();
    auto capture = media().capture();
    fakes.log->clear();
    videos.back()->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return session->video == nullptr; }));
    EXPECT_EQ(*fakes.log, std::vector<std::string>{"sender.detach"});
    EXPECT_TRUE(capture->isRunning);
    EXPECT_EQ(probe().capture(), capture);
    EXPECT_TRUE(logged("video detached"));
}

TEST_F(HostControllerVideoTest, ARunPublishesItsCaptureFailureAndStatus) {
    create();
    authenticatedStream();
    media().capture()->fail("boom");
    queue.runUntilIdle();
    main.runUntilIdle();
    EXPECT_TRUE(shown().screenCaptureFailed);
    EXPECT_EQ(shown().statusText, "画面取得に失敗: boom");
    advance(std::chrono::seconds(2));
    finishCapture();
    EXPECT_FALSE(shown().screenCaptureFailed);
    EXPECT_EQ(fakes.input->inputMapping.displayID, 1u);
}

TEST_F(HostControllerVideoTest, FailedWindowCaptureEndsTheFitAfterTwoSeconds) {
    create();
    probe().windowFit() = fittedWindow();
    authenticatedStream();
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
    EXPECT_EQ(probe().windowFit(), std::nullopt);
}

// The run of a fitted window stops when its capture fails: held pointer input is released only
// when pointer input was ready, and waits for the next run either way.
TEST_F(HostControllerVideoTest, AStoppedWindowRunReleasesHeldPointerInputOnlyWhenReady) {
    struct Case {
        const char* name;
        PointerState before;
        bool released;
    };
    const std::vector<Case> cases = {
        {"ready", PointerState::ready, true},
        {"awaiting a frame", PointerState::awaitingFrame, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        create();
        probe().windowFit() = fittedWindow();
        authenticatedStream();
        probe().windowPointerState() = c.before;
        fakes.log->clear();
        media().capture()->fail("window closed");
        queue.runUntilIdle();
        EXPECT_EQ(std::ranges::count(*fakes.log, "input.releaseHeldPointerInputs"), c.released ? 1 : 0);
        EXPECT_EQ(probe().windowPointerState(), PointerState::changing);
    }
}

// The first frame of the new run's generation, once acknowledged, gives pointer input back.
TEST_F(HostControllerVideoTest, ANewRunsFirstShownFrameGivesPointerInputBack) {
    create();
    auto session = authenticatedStream();
    probe().windowPointerState() = PointerState::changing;
    media().capture()->fail("boom");
    queue.runUntilIdle();
    advance(std::chrono::seconds(2));
    finishCapture();
    EXPECT_EQ(probe().windowPointerState(), PointerState::awaitingFrame);
    const auto generation = fakes.sender->generations.back();
    EXPECT_EQ(probe().awaitedPointerGen(), generation);
    controller->handleControlText(
        protocol::ControlMessage(protocol::Ack{.gen = generation, .seq = 0}).jsonString().value(), session);
    queue.runUntilIdle();
    EXPECT_EQ(probe().windowPointerState(), PointerState::ready);
}

// A still screen gives no next frame to carry a forced keyframe: the current picture comes again.
TEST_F(HostControllerVideoTest, KeyframeRequestsAndStallRecoveryRepeatTheCurrentPicture) {
    create();
    auto session = authenticatedStream();
    for (const bool fromDevice : {true, false}) {
        SCOPED_TRACE(fromDevice ? "requestKeyframe" : "stall recovery");
        fakes.log->clear();
        if (fromDevice) {
            controller->handleControlText(protocol::ControlMessage(protocol::RequestKeyframe{}).jsonString().value(),
                                          session);
        } else {
            fakes.sender->onForceKeyframe();
        }
        queue.runUntilIdle();
        EXPECT_EQ(*fakes.log, (std::vector<std::string>{"encoder.forceKeyframe", "capture.repeatLastFrame"}));
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
    auto p = probe();
    c.arrange(p);
    authenticatedStream();
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
                                  [](Probe& p) { p.clientAspectFit() = true; }, true, true, false},
                      HighResCase{"OnWithAWindowFitKeepsTheStream", true, true,
                                  [](Probe& p) { p.windowFit() = fittedWindow(); }, true, true, false}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace orvanta::testing
