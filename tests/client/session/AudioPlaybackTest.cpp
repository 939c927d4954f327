#include "client/session/AudioPlayback.h"

#include <gtest/gtest.h>

#include "support/AacTone.h"
#include "support/FakeAudioOutput.h"
#include "support/ManualExecutor.h"

namespace orvanta::client {
namespace {

using protocol::PacketFlags;
using protocol::PacketType;
using protocol::VideoPacketHeader;
constexpr std::uint64_t kFrameMicros = 21'333;

const protocol::AudioFormat& format() { return protocol::AudioFormat::aacLC48kStereo(); }

VideoPacketHeader header(std::uint16_t gen, std::uint32_t seq, std::uint64_t pts) {
    VideoPacketHeader h;
    h.type = PacketType::audio;
    h.gen = gen;
    h.seq = seq;
    h.ptsMicros = pts;
    return h;
}

TEST(AudioPlaybackTest, SplicesGapsUpToThreeHundredMillisecondsAndNoMore) {
    const struct {
        const char* name;
        VideoPacketHeader next;
        bool splices;
    } cases[] = {
        {"the next packet", header(1, 11, 10 * kFrameMicros + kFrameMicros), true},
        {"14 missing", header(1, 25, 10 * kFrameMicros + 15 * kFrameMicros), true},
        {"15 missing", header(1, 26, 10 * kFrameMicros + 16 * kFrameMicros), false},
        {"another generation", header(2, 11, 11 * kFrameMicros), false},
        {"time going back", header(1, 11, 10 * kFrameMicros - 1), false},
        {"the same sequence", header(1, 10, 11 * kFrameMicros), false},
        {"a gap in time alone", header(1, 11, 10 * kFrameMicros + 330'000), false},
        {"a sequence that wrapped", header(1, 0, 11 * kFrameMicros), true},
    };
    for (const auto& c : cases) {
        const auto previous = c.next.seq == 0 ? header(1, 0xFFFFFFFF, 10 * kFrameMicros) : header(1, 10, 10 * kFrameMicros);
        EXPECT_EQ(AudioPlayback::canSplice(previous, c.next, format()), c.splices) << c.name;
    }
}

class AudioPlaybackPlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        playback = AudioPlayback::make(format(), queue, main, queue.clock(), testing::FakeAudioOutput::factory(output));
        ASSERT_TRUE(playback);
        playback->log = [this](const std::string& line) { lines.push_back(line); };
    }
    void send(std::uint16_t gen, std::uint32_t seq, std::size_t packet = 0, PacketFlags flags = {}) {
        auto message = protocol::VideoPacket::make(PacketType::audio, flags, gen, seq, seq * kFrameMicros,
                                                   tone.at(packet % tone.size()))->encoded();
        playback->receive(std::move(message));
        queue.runUntilIdle();
    }

    testing::ManualExecutor queue, main;
    std::shared_ptr<testing::FakeAudioOutputState> output = std::make_shared<testing::FakeAudioOutputState>();
    std::shared_ptr<AudioPlayback> playback;
    std::vector<std::string> lines;
    std::vector<base::Bytes> tone = testing::aacTonePackets(40);
};

TEST_F(AudioPlaybackPlayTest, DecodesTheToneAndKeepsAboutOneHundredTwentyMillisecondsScheduled) {
    for (std::uint32_t seq = 1; seq <= 20; ++seq) send(1, seq, seq);
    EXPECT_EQ(output->starts, 1);
    EXPECT_TRUE(output->playing);
    EXPECT_GE(output->scheduledFrames(), 5760u);
    EXPECT_LT(output->scheduledFrames(), 5760u + 1024);

    std::vector<float> left;
    while (output->playOne()) queue.runUntilIdle();
    for (const auto& planes : output->played) left.insert(left.end(), planes[0].begin(), planes[0].end());
    left.erase(left.begin(), left.begin() + 4096);  // past the encoder's priming
    const auto measured = testing::measureTone(left);
    EXPECT_NEAR(measured.hertz, 1000.0, 20.0);
    EXPECT_NEAR(measured.peak, 0.5f, 0.1f);
}

TEST_F(AudioPlaybackPlayTest, ResyncsANewGenerationAndIgnoresStaleCompletions) {
    for (std::uint32_t seq = 1; seq <= 14; ++seq) send(1, seq);
    ASSERT_FALSE(output->scheduled.empty());
    auto stale = output->scheduled.front().second;
    const std::size_t before = output->scheduledFrames();

    send(2, 1);
    EXPECT_EQ(lines, std::vector<std::string>{"resync stream gen=2 seq=1"});
    EXPECT_TRUE(output->scheduled.empty());  // the player was stopped; the new stream builds up again
    stale();
    queue.runUntilIdle();
    EXPECT_TRUE(output->scheduled.empty());
    EXPECT_GT(before, 0u);
}

TEST_F(AudioPlaybackPlayTest, MutedPacketsStillAdvanceTheGate) {
    send(1, 1);
    playback->setMuted(true);
    queue.runUntilIdle();
    EXPECT_FALSE(output->running);
    send(1, 2);
    send(1, 3);
    playback->setMuted(false);
    queue.runUntilIdle();
    lines.clear();
    send(1, 4);
    EXPECT_EQ(output->starts, 2);
    EXPECT_TRUE(lines.empty());  // in order after the muted ones: played, no resync
}

TEST_F(AudioPlaybackPlayTest, RetriesAFailedEngineAfterTwoSeconds) {
    output->failStart = true;
    send(1, 1);
    EXPECT_EQ(output->starts, 1);
    queue.advance(std::chrono::milliseconds(1900));
    send(1, 2);
    EXPECT_EQ(output->starts, 1);
    output->failStart = false;
    queue.advance(std::chrono::milliseconds(100));
    send(1, 3);
    EXPECT_EQ(output->starts, 2);
    EXPECT_TRUE(output->running);

    // A device change tears the engine down; the next packet starts a new one at once.
    output->configurationChange();
    queue.runUntilIdle();
    EXPECT_FALSE(output->running);
    send(1, 4);
    EXPECT_EQ(output->starts, 3);
}

TEST_F(AudioPlaybackPlayTest, ReportsEveryFifthScheduledChunkOnTheMainExecutor) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    for (std::uint32_t seq = 1; seq <= 14; ++seq) send(1, seq);  // nothing reported without a callback
    playback->setOnScheduled([&](std::uint64_t pts, std::uint64_t playout) { reports.emplace_back(pts, playout); });
    for (std::uint32_t seq = 15; seq <= 40; ++seq) {
        send(1, seq);
        output->playOne();
        queue.runUntilIdle();
    }
    main.runUntilIdle();
    ASSERT_GE(reports.size(), 4u);
    for (const auto& [pts, playout] : reports) {
        EXPECT_EQ(pts % kFrameMicros, 0u);
        EXPECT_GT(playout, queue.nowMicros());  // ahead by what is scheduled, plus the latency
    }
}

TEST_F(AudioPlaybackPlayTest, StopIgnoresEveryLaterPacket) {
    send(1, 1);
    playback->stop();
    queue.runUntilIdle();
    send(1, 2);
    EXPECT_EQ(output->starts, 1);
    EXPECT_FALSE(output->running);
}

TEST(AACDecoderTest, RefusesUnsupportedFormatsAndBadPackets) {
    EXPECT_FALSE(AACDecoder::make(protocol::AudioFormat::make("opus", 48'000, 2, 1024)));
    auto decoder = AACDecoder::make(format());
    ASSERT_TRUE(decoder);
    EXPECT_FALSE(decoder->decode({}));
    EXPECT_FALSE(decoder->decode(base::Bytes(8193, 0x21)));
    const auto garbage = base::Bytes(200, 0xFF);
    EXPECT_NO_FATAL_FAILURE(decoder->decode(garbage));
    const auto tone = testing::aacTonePackets(3);
    std::optional<PcmBuffer> pcm;
    for (const auto& p : tone) pcm = decoder->decode(p);
    ASSERT_TRUE(pcm);
    EXPECT_EQ(pcm->channels.size(), 2u);
    EXPECT_EQ(pcm->frameLength(), 1024u);
}

}  // namespace
}  // namespace orvanta::client
