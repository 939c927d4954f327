#include "client/session/MacAudioJitterBuffer.h"

#include <gtest/gtest.h>

namespace orvanta::client {
namespace {

using Chunk = MacAudioJitterBuffer::Chunk;
constexpr int kRate = 48'000;

// A stereo chunk whose samples count up from `first`, so positions can be recognised.
Chunk ramp(std::size_t frames, float first = 1.0f, std::uint64_t pts = 0) {
    PcmBuffer pcm = PcmBuffer::silence(2, frames);
    for (auto& channel : pcm.channels)
        for (std::size_t i = 0; i < frames; ++i) channel[i] = first + static_cast<float>(i);
    return {pcm, pts, false};
}

TEST(MacAudioJitterBufferTest, StartsOnlyAtTheStartLevel) {
    MacAudioJitterBuffer buffer(kRate);
    for (int i = 0; i < 11; ++i) buffer.append(ramp(1024), 0, 0);  // 11,264 frames
    EXPECT_FALSE(buffer.next(0));
    buffer.append(ramp(256), 0, 0);  // 11,520
    const auto first = buffer.next(0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->pcm.frameLength(), 1024u);
    EXPECT_TRUE(buffer.playing());
}

TEST(MacAudioJitterBufferTest, DropsOldAudioWhenDeepForASecondOrOverTheToleratedLevel) {
    MacAudioJitterBuffer deep(kRate);
    EXPECT_EQ(deep.append(ramp(1000), 14'000, 0), 0u);  // 15,000 in all: the deep clock starts
    EXPECT_EQ(deep.append(ramp(1000), 14'000, 999'999), 0u);
    const std::size_t dropped = deep.append(ramp(1000), 14'000, 1'000'000);
    EXPECT_EQ(dropped, 2000u);  // down to 15,000 frames would need more chunks than one
    EXPECT_EQ(deep.pendingFrames(), 1000u);

    MacAudioJitterBuffer over(kRate);
    for (int i = 0; i < 28; ++i) EXPECT_EQ(over.append(ramp(1024), 0, 0), 0u);  // 28,672
    EXPECT_EQ(over.append(ramp(1024), 0, 0), 18u * 1024);  // 29,696 > 28,800: down to 11,264
    EXPECT_EQ(over.pendingFrames(), 11u * 1024);
    // The first remaining chunk is spliced in.
    for (int i = 0; i < 2; ++i) over.append(ramp(256), 0, 0);
    const auto next = over.next(0);
    ASSERT_TRUE(next);
    EXPECT_TRUE(next->splice);
}

TEST(MacAudioJitterBufferTest, ConcealsAnUnderrunByMirroringThenRebuffers) {
    MacAudioJitterBuffer buffer(kRate);
    for (int i = 0; i < 12; ++i) buffer.append(ramp(1024, 1.0f), 0, 0);
    std::optional<Chunk> chunk;
    for (int i = 0; i < 12; ++i) chunk = buffer.next(0);
    ASSERT_TRUE(chunk && chunk->pts);

    // Enough is still scheduled: no concealment yet.
    EXPECT_FALSE(buffer.next(2000));

    const auto concealed = buffer.next(0);
    ASSERT_TRUE(concealed);
    EXPECT_FALSE(concealed->pts);
    ASSERT_EQ(concealed->pcm.frameLength(), 1024u);
    EXPECT_FLOAT_EQ(concealed->pcm.channels[0][0], 1024.0f);         // the last sample played
    EXPECT_FLOAT_EQ(concealed->pcm.channels[0][1], 1023.0f * 14398 / 14399);  // backwards, fading

    std::size_t total = 1024;
    while (auto more = buffer.next(0)) total += more->pcm.frameLength();
    EXPECT_EQ(total, 14'400u);
    EXPECT_FALSE(buffer.playing());
    buffer.append(ramp(11'519), 0, 0);
    EXPECT_FALSE(buffer.next(0));  // back at the start level rule
}

TEST(MacAudioJitterBufferTest, CrossfadesFromTheLastConcealedSample) {
    MacAudioJitterBuffer buffer(kRate);
    buffer.append(ramp(11'520, 1.0f), 0, 0);
    ASSERT_TRUE(buffer.next(0));
    const auto concealed = buffer.next(0);
    ASSERT_TRUE(concealed);
    const float last = concealed->pcm.channels[1].back();

    buffer.append(ramp(1024, 5000.0f), 0, 0);
    const auto resumed = buffer.next(0);
    ASSERT_TRUE(resumed);
    const auto& samples = resumed->pcm.channels[1];
    EXPECT_FLOAT_EQ(samples[0], last);
    EXPECT_FLOAT_EQ(samples[72], last + (5072.0f - last) * 72 / 144);
    EXPECT_FLOAT_EQ(samples[144], 5144.0f);  // past the 3 ms fade, the new signal itself
}

}  // namespace
}  // namespace orvanta::client
