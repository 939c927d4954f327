#include "client/session/AudioSync.h"

#include <gtest/gtest.h>

namespace orvanta::client {
namespace {

TEST(AudioRequestPolicyTest, RequestsOnlyWhenWelcomedOfferedAndWanted) {
    using enum AudioRequestPolicy::Action;
    const struct {
        bool welcomed, offered, requested, enabled;
        AudioRequestPolicy::Action action;
    } cases[] = {
        {true, true, false, true, request}, {true, true, true, false, stop},  {true, true, true, true, none},
        {true, true, false, false, none},   {false, true, false, true, none}, {true, false, true, false, none},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AudioRequestPolicy::onToggle(c.welcomed, c.offered, c.requested, c.enabled), c.action);
}

TEST(AVSyncEstimatorTest, SmoothsOffsetsAndForgetsStaleSides) {
    AVSyncEstimator sync;
    sync.audio(1'000'000, 1'100'000);
    sync.audio(2'000'000, 2'200'000);
    EXPECT_DOUBLE_EQ(*sync.audioOffset, 110'000.0);
    sync.video(1'000'000, 1'050'000);
    EXPECT_DOUBLE_EQ(*sync.videoOffset, 66'000.0);
    EXPECT_DOUBLE_EQ(*sync.audioLagMicros(2'500'000), 44'000.0);
    EXPECT_FALSE(sync.audioLagMicros(1'050'000 + 3'000'000));  // video shown 3 s ago
    sync.video(500, 400);                                      // shown before its presentation time: a negative sample
    EXPECT_LT(*sync.videoOffset, 66'000.0);
    sync.resetAudio();
    EXPECT_FALSE(sync.audioLagMicros(2'500'000));
}

TEST(AudioJitterPolicyTest, StartsDropsAndRestartsAsTheQueueMoves) {
    using enum AudioJitterPolicy::Action;
    AudioJitterPolicy policy(48'000, 40, 100, 20, 20, 200, 500);
    EXPECT_EQ(policy.decide(1000, 900, 0), schedule);
    EXPECT_EQ(policy.decide(1000, 920, 0), scheduleAndStart);  // 1,920 frames is the 40 ms target
    EXPECT_EQ(policy.decide(9601, 0, 0), drop);                // over 200 ms
    EXPECT_EQ(policy.decide(3000, 0, 1'000), schedule);        // over target + margin: clock starts
    EXPECT_EQ(policy.decide(3000, 0, 500'999), schedule);
    EXPECT_EQ(policy.decide(3000, 0, 501'000), drop);
    EXPECT_EQ(policy.decide(0, 0, 600'000), restart);
    EXPECT_EQ(policy.targetFrames, 2880);
    EXPECT_FALSE(policy.playing);
}

TEST(DelayLineTest, ReleasesInOrderWithoutGoingBackwards) {
    DelayLine<int> line;
    line.push(1, 1000, 500);  // due 1500
    line.push(2, 1100, 100);  // would be 1200: held to 1500
    line.push(3, 1200, 900);  // due 2100
    EXPECT_EQ(line.nextDue(), 1500u);
    EXPECT_EQ(line.popDue(1499), std::vector<int>{});
    EXPECT_EQ(line.popFirst(), 1);
    EXPECT_EQ(line.popDue(1500), (std::vector<int>{2}));
    EXPECT_EQ(line.count(), 1u);
    for (int i = 0; i < 200; ++i) line.push(i, 3000, 0);
    EXPECT_EQ(line.popDue(3000).size(), 201u);
    EXPECT_TRUE(line.isEmpty());
    line.push(9, 0, 0);  // lastDue keeps later pushes in order
    EXPECT_EQ(line.nextDue(), 3000u);
}

}  // namespace
}  // namespace orvanta::client
