#include "host/media/VideoSender.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/FakeVideoConnection.h"
#include "support/ManualExecutor.h"

namespace orvanta::host {
namespace {

using protocol::PacketFlags;
using protocol::PacketType;
using testing::FakeBitRateControl;
using testing::FakeVideoConnection;

const PacketFlags kKey = PacketFlags::keyframe;
const PacketFlags kKeyAfterDrop{PacketFlags::keyframe, PacketFlags::discontinuity};

class VideoSenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        sender.onForceKeyframe = [this] { ++forcedKeyframes; };
        sender.onStage2Stall = [this] { ++stage2Stalls; };
        sender.setGeneration(7);
        sender.attach(connection, true);
    }

    std::uint64_t now() const { return clock.uptimeMicros(); }
    void advanceMs(std::int64_t ms) { clock.advance(std::chrono::milliseconds(ms)); }
    void frame(bool isKey) { sender.sendFrame(base::Bytes{0, 0, 0, 1, 0x65}, isKey, now()); }
    std::vector<PacketFlags> sentFlags() const {
        std::vector<PacketFlags> flags;
        for (const auto& h : connection->headers())
            if (h.type == PacketType::video) flags.push_back(h.flags);
        return flags;
    }
    bool logged(std::string_view line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }

    testing::ManualClock clock{5'000'000};
    std::vector<std::string> lines;
    VideoSender sender{clock, [this](std::string_view line) { lines.emplace_back(line); }};
    std::shared_ptr<FakeVideoConnection> connection = std::make_shared<FakeVideoConnection>();
    int forcedKeyframes = 0;
    int stage2Stalls = 0;
};

TEST_F(VideoSenderTest, ConfigGoesFirstAndSharesTheSequence) {
    protocol::StreamConfig config{
        .gen = 7, .codec = "h264", .width = 64, .height = 48, .fpsCap = 60, .sps = {0x67, 1}, .pps = {0x68, 2}};
    sender.setConfig(config);
    frame(true);
    frame(false);
    auto headers = connection->headers();
    ASSERT_EQ(headers.size(), 3u);
    EXPECT_EQ(headers[0].type, PacketType::config);
    EXPECT_EQ(headers[1].seq, headers[0].seq + 1);
    EXPECT_EQ(headers[1].flags, kKey);
    EXPECT_EQ(headers[2].flags, PacketFlags{});
    for (const auto& h : headers) EXPECT_EQ(h.gen, 7);

    auto next = std::make_shared<FakeVideoConnection>();
    sender.attach(next, true);
    ASSERT_EQ(next->sent.size(), 1u);
    EXPECT_EQ(next->sent[0], connection->sent[0]) << "a new connection starts with the stored configuration";
    EXPECT_TRUE(sender.unacked().empty());
}

TEST_F(VideoSenderTest, AcknowledgementsAreCumulativeAndGuarded) {
    for (int i = 0; i < 12; ++i) frame(i == 0);  // seq 1...12
    sender.ackReceived(7, 7);
    sender.ackReceived(7, 9);
    ASSERT_EQ(sender.unacked().size(), 3u);  // 10, 11, 12
    struct Case {
        const char* name;
        std::uint16_t gen;
        std::uint32_t seq;
        bool found;
        std::vector<std::uint32_t> left;
    };
    const std::vector<Case> cases = {
        {"another generation", 6, 12, false, {10, 11, 12}},
        {"from the future", 7, 13, false, {10, 11, 12}},
        {"stale", 7, 4, false, {10, 11, 12}},
        {"repeated", 7, 9, false, {10, 11, 12}},
        {"one awaited", 7, 11, true, {12}},
        {"the last", 7, 12, true, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sender.ackReceived(c.gen, c.seq), c.found) << c.name;
        std::vector<std::uint32_t> left;
        for (const auto& u : sender.unacked()) left.push_back(u.seq);
        EXPECT_EQ(left, c.left) << c.name;
    }
}

TEST_F(VideoSenderTest, AckOfANumberNotInFlightStillRemovesOlderFrames) {
    for (int i = 0; i < 9; ++i) frame(i == 0);                                               // 1...9
    sender.setConfig({.gen = 7, .codec = "h264", .width = 64, .height = 48, .fpsCap = 60});  // 10
    frame(false);
    frame(false);  // 11, 12
    sender.ackReceived(7, 7);
    EXPECT_FALSE(sender.ackReceived(7, 10));
    ASSERT_EQ(sender.unacked().size(), 2u);
    EXPECT_EQ(sender.unacked().front().seq, 11u);
    EXPECT_TRUE(sender.ackReceived(7, 11));
}

TEST_F(VideoSenderTest, BacklogLimitIsExclusive) {
    frame(true);
    connection->inFlight = VideoSender::kBacklogLimitBytes;
    frame(false);
    EXPECT_EQ(sentFlags().size(), 2u) << "exactly 1 MiB in flight still sends";
    connection->inFlight = VideoSender::kBacklogLimitBytes + 1;
    frame(false);
    EXPECT_EQ(sentFlags().size(), 2u);
    EXPECT_EQ(sender.droppedCount(), 1);
    frame(true);
    EXPECT_EQ(sentFlags().back(), kKeyAfterDrop) << "keyframes always go";
}

// After a backlog drop the next non-key frames reference a frame the client never got: they are
// held back until a keyframe, which is asked for once.
TEST_F(VideoSenderTest, BacklogDropHoldsNonKeyFramesUntilAKeyframe) {
    frame(true);
    connection->inFlight = VideoSender::kBacklogLimitBytes + 1;
    frame(false);
    frame(false);
    connection->inFlight = 0;
    frame(false);
    frame(false);
    EXPECT_EQ(forcedKeyframes, 1);
    EXPECT_EQ(sender.droppedCount(), 4);
    frame(true);
    frame(false);
    EXPECT_EQ(sentFlags(), (std::vector<PacketFlags>{kKey, kKeyAfterDrop, PacketFlags{}}));
    EXPECT_EQ(forcedKeyframes, 1);
}

TEST_F(VideoSenderTest, Stage1SendsOnlyKeyframesAndAckRecovers) {
    frame(true);
    advanceMs(251);
    sender.checkStall(now(), nullptr);
    EXPECT_TRUE(sender.stalled());
    EXPECT_TRUE(logged("stall stage1 engaged: oldest unacked age 251ms"));
    frame(false);
    frame(true);
    frame(false);
    EXPECT_EQ(sentFlags(), (std::vector<PacketFlags>{kKey, kKeyAfterDrop}));

    EXPECT_TRUE(sender.ackReceived(7, sender.seq()));
    EXPECT_FALSE(sender.stalled());
    EXPECT_EQ(forcedKeyframes, 1);
    EXPECT_TRUE(logged("stall stage1 recovered: forcing keyframe"));
    frame(false);  // still inside the encoder when the keyframe was asked for
    EXPECT_EQ(sentFlags().size(), 2u);
    frame(true);
    frame(false);
    EXPECT_EQ(sentFlags(), (std::vector<PacketFlags>{kKey, kKeyAfterDrop, kKeyAfterDrop, PacketFlags{}}));
}

TEST_F(VideoSenderTest, EarlyRecoveryRearmsOnlyAfterGraceUnlessTheStallIsLong) {
    frame(true);
    advanceMs(260);
    sender.checkStall(now(), nullptr);
    ASSERT_TRUE(sender.stalled());
    frame(true);
    sender.ackReceived(7, sender.seq() - 1);  // the old frame is answered; the new one is young
    sender.checkStall(now(), nullptr);
    EXPECT_FALSE(sender.stalled());
    EXPECT_EQ(forcedKeyframes, 1);
    EXPECT_EQ(sender.stage1GraceUntil(), now() + 300'000);
    EXPECT_TRUE(logged("stall stage1 recovered early: oldest age 0ms, 1 unacked"));

    advanceMs(260);
    sender.checkStall(now(), nullptr);
    EXPECT_FALSE(sender.stalled()) << "inside the 300 ms grace a short stall does not engage";
    advanceMs(50);
    sender.checkStall(now(), nullptr);
    EXPECT_TRUE(sender.stalled());
}

TEST_F(VideoSenderTest, LongStallEngagesEvenInsideTheGrace) {
    frame(true);
    advanceMs(260);
    sender.checkStall(now(), nullptr);
    frame(true);
    sender.ackReceived(7, sender.seq() - 1);
    sender.checkStall(now(), nullptr);
    ASSERT_FALSE(sender.stalled());
    sender.rebaseStallClock(now() - 1'000'001);
    sender.checkStall(now(), nullptr);
    EXPECT_TRUE(sender.stalled());
}

TEST_F(VideoSenderTest, Stage2AfterTwoSecondsUnlessTheCaptureJustRestarted) {
    frame(true);
    advanceMs(2000);
    sender.checkStall(now(), nullptr);
    EXPECT_EQ(stage2Stalls, 0) << "2,000,000 µs is not yet stage 2";
    clock.advance(std::chrono::microseconds(1));
    sender.checkStall(now(), nullptr);
    EXPECT_EQ(stage2Stalls, 1);

    sender.captureRestartGrace.recordStart(now() - 1'500'000);
    EXPECT_TRUE(sender.captureRestartGrace.restartedAt) << "attached with a running pipeline";
    sender.checkStall(now(), nullptr);
    EXPECT_EQ(stage2Stalls, 1);
    EXPECT_TRUE(logged("video stall (stage2) ignored: capture restart in progress"));
    sender.captureRestartGrace.recordStart(now() - 3'000'000);
    sender.checkStall(now(), nullptr);
    EXPECT_EQ(stage2Stalls, 2);

    CaptureRestartGrace first;
    first.recordStart(10);
    EXPECT_EQ(first, (CaptureRestartGrace{true, std::nullopt})) << "a first start is no restart";
}

TEST_F(VideoSenderTest, BitRateStepsDownAfterThreeStallsAndUpAfterCalmMinutes) {
    FakeBitRateControl encoder(43'545'600);
    auto stallOnce = [&] {
        frame(true);
        advanceMs(300);
        sender.checkStall(now(), &encoder);
        sender.ackReceived(7, sender.seq());
    };
    stallOnce();
    stallOnce();
    EXPECT_TRUE(encoder.rates.empty());
    stallOnce();
    EXPECT_EQ(encoder.rates, (std::vector<std::int64_t>{32'659'200}));
    EXPECT_TRUE(logged("bitrate down 43545600 -> 32659200 bps: 3 stage1 events in 10s"));
    for (int i = 0; i < 120; ++i) stallOnce();  // 36 s of stalls; steps are at least 10 s apart
    EXPECT_EQ(encoder.rates, (std::vector<std::int64_t>{32'659'200, 24'494'400, 18'370'800, 16'000'000}));

    advanceMs(60'001);
    sender.checkStall(now(), &encoder);
    EXPECT_EQ(encoder.rates.back(), 18'370'800);
    EXPECT_TRUE(logged("bitrate up 16000000 -> 18370800 bps: no stage1 for 60.001s"));
    advanceMs(30'000);
    sender.checkStall(now(), &encoder);
    EXPECT_EQ(encoder.rates.size(), 5u) << "each step up needs its own calm minute";
    advanceMs(30'001);
    sender.checkStall(now(), &encoder);
    EXPECT_EQ(encoder.rates.back(), 24'494'400);

    sender.setGeneration(8);
    advanceMs(61'000);
    sender.checkStall(now(), &encoder);
    EXPECT_EQ(encoder.rates.size(), 6u) << "a new generation starts again at the initial rate";
}

TEST_F(VideoSenderTest, StallCheckWithoutEncoderNeverChangesTheRate) {
    FakeBitRateControl encoder(43'545'600);
    for (int i = 0; i < 3; ++i) {
        frame(true);
        advanceMs(300);
        sender.checkStall(now(), nullptr);
        sender.ackReceived(7, sender.seq());
    }
    sender.checkStall(now(), &encoder);
    EXPECT_EQ(encoder.rates, (std::vector<std::int64_t>{32'659'200})) << "the stalls still counted";
    EXPECT_EQ(VideoSender::stepDown(21'333'332), 16'000'000);
    EXPECT_EQ(VideoSender::stepDown(21'333'334), 16'000'000);
    EXPECT_EQ(VideoSender::stepDown(21'333'336), 16'000'002);
}

TEST_F(VideoSenderTest, DetachedSenderSendsNothingAndKeepsTheDropMark) {
    frame(true);
    connection->inFlight = VideoSender::kBacklogLimitBytes + 1;
    frame(false);
    sender.detach();
    frame(true);
    sender.checkStall(now() + 10'000'000, nullptr);
    EXPECT_EQ(sentFlags().size(), 1u);
    EXPECT_TRUE(sender.droppedFrames());
    EXPECT_EQ(stage2Stalls, 0);
}

}  // namespace
}  // namespace orvanta::host
