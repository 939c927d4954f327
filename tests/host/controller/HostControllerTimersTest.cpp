// The housekeeping and cursor timers on virtual time, with sessions over real loopback WebSocket
// connections. The keep-alive's ticks are tested with the session hub.
#include <thread>

#include "HostControllerVideoSupport.h"
#include "support/FakeSessionState.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;

class HostTimersTest : public HostVideoTest {
protected:
    void SetUp() override {
        startListening();
        startedAt = queue.nowMicros();
    }

    std::uint64_t startedAt = 0;
};

// Every timer keeps its own handle once the cursor tick has moved to its repeating timer:
// cancelling them all stops every tick, the display-sleep poll's included.
class HostTimerHandlesTest : public HostControllerTest {};

TEST_F(HostTimerHandlesTest, EachTimerKeepsItsOwnHandle) {
    auto display = std::make_shared<FakeSessionState>();
    controlFakes.displaySleep = display;
    startListening();
    advance(1s);
    for (const auto& timer : probe().timers()) timer.cancel();
    display->asleep = true;
    advance(2s);
    EXPECT_FALSE(probe().paused());
}

TEST_F(HostTimersTest, ChecksStallsEveryQuarterSecondExceptDuringTheArrangementGrace) {
    advance(500ms);
    EXPECT_EQ(fakes.sender->stallChecks, (std::vector<std::uint64_t>{startedAt + 250'000, startedAt + 500'000}));
    probe().arrangementStallGraceUntil() = startedAt + 1'100'000;
    fakes.log->clear();
    advance(750ms);
    EXPECT_EQ(*fakes.log, (std::vector<std::string>{"sender.rebaseStallClock " + std::to_string(startedAt + 1'250'000),
                                                    "sender.checkStall"}));
    EXPECT_TRUE(logged("stall check resumed after display arrangement change"));
    EXPECT_FALSE(probe().arrangementStallGraceUntil());
}

TEST_F(HostTimersTest, BusyQueueRunsOneHousekeepingTickForTheBacklog) {
    advance(250ms);
    queue.async([&] { queue.consume(1s); });
    advance(250ms);
    // Ticks due at 0.5, 0.75, 1.0 and 1.25 s merged into one.
    EXPECT_EQ(fakes.sender->stallChecks.size(), 2u);
}

TEST_F(HostTimersTest, PollsTheLockStateEverySecondAndPausesOnChange) {
    fakes.unlock->locked = true;
    advance(750ms);
    EXPECT_EQ(fakes.unlock->reads, 0);
    advance(250ms);
    EXPECT_EQ(fakes.unlock->reads, 1);
    EXPECT_TRUE(probe().screenLocked());
    EXPECT_TRUE(probe().paused());

    fakes.unlock->locked = std::nullopt;  // unreadable: nothing changes
    advance(1s);
    EXPECT_TRUE(probe().paused());
    fakes.unlock->locked = false;
    advance(1s);
    EXPECT_FALSE(probe().paused());
}

TEST_F(HostTimersTest, StageTwoStallClosesOnlyTheVideoAndTheIdleCaptureStopsAfterFifteenSeconds) {
    auto session = authenticatedStream();
    session->authenticated = false;  // no keep-alive, which would end the silent session
    const auto video = session->video;
    const auto capture = media().capture();
    fakes.log->clear();

    probe().arrangementStallGraceUntil() = queue.nowMicros() + 1;
    fakes.sender->onStage2Stall();
    EXPECT_EQ(session->video, video);
    EXPECT_TRUE(logged("video stall (stage2) ignored: display arrangement change in progress"));
    probe().arrangementStallGraceUntil().reset();

    fakes.sender->onStage2Stall();
    EXPECT_TRUE(closedWith(*videos.back(), 4001, "stalled"));
    EXPECT_FALSE(session->video);
    EXPECT_EQ(probe().videoDetachedAt(), startedAt);
    EXPECT_EQ(std::ranges::count(*fakes.log, "sender.detach"), 1);
    EXPECT_TRUE(capture->isRunning);

    advance(15s);  // the poll at exactly 15 s keeps it
    EXPECT_TRUE(capture->isRunning);
    advance(1s);
    EXPECT_FALSE(capture->isRunning);
    EXPECT_FALSE(probe().capture());
    EXPECT_FALSE(probe().videoDetachedAt());
    EXPECT_TRUE(logged("capture stopped (no video for 15s)"));
    EXPECT_EQ(std::ranges::count(*fakes.log, "encoder.invalidate"), 1);
}

TEST_F(HostTimersTest, WithoutACaptureTheVideoDetachTimeStays) {
    lockScreen(true);  // paused: the video starts no run
    links.push_back(link());
    auto session = authenticatedSession(links.back());
    session->ticket = "tk-1";
    auto device = connectVideo();
    sendAuth(*device, "tk-1");
    ASSERT_TRUE(drive([&] { return session->video != nullptr; }));
    session->authenticated = false;  // no keep-alive, which would end the silent session
    device->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return session->video == nullptr; }));
    ASSERT_FALSE(probe().capture());
    EXPECT_EQ(probe().videoDetachedAt(), startedAt);
    advance(20s);
    EXPECT_EQ(probe().videoDetachedAt(), startedAt);
}

TEST_F(HostTimersTest, ForcedKeyframesHopToTheQueue) {
    authenticatedStream();
    fakes.log->clear();
    std::thread other([&] { fakes.sender->onForceKeyframe(); });
    other.join();
    EXPECT_TRUE(fakes.log->empty());
    ASSERT_TRUE(drive([&] { return !fakes.log->empty(); }));
    EXPECT_EQ(*fakes.log, (std::vector<std::string>{"encoder.forceKeyframe", "capture.repeatLastFrame"}));
}

TEST_F(HostTimersTest, CursorMovesOfHalfAThousandthAreSent) {
    LinkedConnection device = link();
    controllerSession(device);
    fakes.input->cursor = {0, 0, true};
    advance(100ms);
    EXPECT_EQ(*device.nextText(), (base::Json{{"type", "cursor"}, {"x", 0.0}, {"y", 0.0}}));
    fakes.input->cursor = {0.0004, 0.0004, false};
    advance(100ms);
    fakes.input->cursor = {0.0005, 0.0004, true};
    advance(100ms);
    // The next message is the 0.0005 move: the 0.0004 one sent nothing.
    EXPECT_EQ(*device.nextText(), (base::Json{{"type", "cursor"}, {"x", 0.0005}, {"y", 0.0004}}));
}

TEST_F(HostTimersTest, CursorIsReadOnlyWhenSomeoneTakesPart) {
    LinkedConnection device = link();
    auto session = authenticatedSession(device);
    session->authenticated = false;  // no controller either
    advance(200ms);
    EXPECT_EQ(fakes.input->cursorReads, 0);

    session->authenticated = true;
    probe().windowPointerState() = host::HostController::WindowPointerState::changing;
    advance(200ms);
    EXPECT_EQ(fakes.input->cursorReads, 0);
    probe().windowPointerState() = host::HostController::WindowPointerState::ready;
    advance(100ms);
    EXPECT_GT(fakes.input->cursorReads, 0);
    EXPECT_EQ(device.nextText()->at("type"), "cursor");
}

TEST_F(HostTimersTest, WindowsDeviceGetsTheCursorStreamAndTheControllerThePlainMessage) {
    authenticatedStream(host::DeviceKind::windows);
    LinkedConnection& windowsControl = links.front();
    ASSERT_EQ(media().cursors.size(), 1u);  // the run draws no pointer: the stream carries it
    const auto stream = media().cursors.back();
    LinkedConnection controllerDevice = link();
    controllerSession(controllerDevice);
    fakes.input->cursor = {0.25, 0.75, true};
    advance(100ms);
    ASSERT_EQ(stream->sent.size(), 1u);
    EXPECT_EQ(stream->sent[0].first, fakes.input->cursor);
    EXPECT_EQ(stream->sent[0].second, startedAt + 100'000);
    EXPECT_EQ(*controllerDevice.nextText(), (base::Json{{"type", "cursor"}, {"x", 0.25}, {"y", 0.75}}));
    // Pings are the Windows device's first text: no cursor message went to it.
    advance(900ms);
    EXPECT_EQ(windowsControl.nextText()->at("type"), "ping");
}

TEST_F(HostTimersTest, WritesTheLatencyLineEveryTenSecondsWhileASessionExists) {
    authenticatedStream()->authenticated = false;  // any state counts
    probe().maxInputAge() = 7;
    media().encoder()->onEncoded({9}, false, queue.nowMicros() - 9);  // sent 9 µs after its capture
    queue.runUntilIdle();
    advance(10'100ms);
    // The first tick's gap counts from the timers' creation.
    EXPECT_EQ(std::ranges::count_if(logs, [](const auto& line) { return line.starts_with("longuse"); }), 1);
    EXPECT_TRUE(logged("longuse max_us pointer=7 capture_to_send=9 host_tick_gap=100000"));

    probe().session().reset();
    probe().maxInputAge() = 5;
    advance(10s);
    EXPECT_EQ(std::ranges::count_if(logs, [](const auto& line) { return line.starts_with("longuse"); }), 1);
    EXPECT_EQ(probe().maxInputAge(), 0u);
}

}  // namespace
}  // namespace orvanta::testing
