#include "host/media/AACEncoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "host/media/AudioTestSupport.h"

namespace orvanta::host {
namespace {

using platform::PcmBuffer;
using platform::PcmFormat;

constexpr PcmFormat kStereo48k{48000, 2};
constexpr double kRate = 48000;
constexpr double kStart = 100.0;

struct Packet {
    base::Bytes data;
    std::uint64_t pts;
    bool discontinuity;
};

std::uint64_t ptsOf(double anchor, std::int64_t n, std::int64_t leading) {
    return static_cast<std::uint64_t>(std::max((anchor + double(n * 1024 - leading) / kRate) * 1e6, 0.0));
}

class AACEncoderTest : public ::testing::Test {
protected:
    // Feeds `frames` of the tone (or silence) captured at `seconds`.
    void feed(double seconds, std::size_t frames, PcmFormat format = kStereo48k) {
        std::vector<float> samples = tone_.next(frames);
        samples.resize(frames * static_cast<std::size_t>(format.channels));
        encoder_.encode(
            PcmBuffer{format, samples, seconds}, [this] { return active_; },
            [this](base::Bytes data, std::uint64_t pts, bool discontinuity) {
                packets_.push_back({std::move(data), pts, discontinuity});
            });
    }

    // Feeds a continuous run of 10 ms buffers starting at `seconds`; returns where it ends.
    double feedRun(double seconds, int buffers) {
        for (int i = 0; i < buffers; ++i, seconds += 0.01) feed(seconds, 480);
        return seconds;
    }

    std::vector<std::size_t> discontinuities() const {
        std::vector<std::size_t> at;
        for (std::size_t i = 0; i < packets_.size(); ++i) {
            if (packets_[i].discontinuity) at.push_back(i);
        }
        return at;
    }

    testing::SineSource tone_{1000, 0.5f};
    std::vector<std::string> log_;
    AACEncoder encoder_{protocol::AudioFormat::aacLC48kStereo(),
                        [this](std::string_view line) { log_.emplace_back(line); }};
    std::vector<Packet> packets_;
    bool active_ = true;
};

TEST_F(AACEncoderTest, TimesPacketsFromTheFirstBufferMinusTheEncodersPriming) {
    feedRun(kStart, 50);
    ASSERT_GE(packets_.size(), 20u);
    // The priming comes from the encoder; libavcodec's AAC encoder delays by one frame.
    const std::int64_t leading = encoder_.leadingFrames();
    EXPECT_EQ(leading, 1024);
    for (std::size_t n = 0; n < packets_.size(); ++n) {
        EXPECT_EQ(packets_[n].pts, ptsOf(kStart, static_cast<std::int64_t>(n), leading)) << n;
        EXPECT_FALSE(packets_[n].data.empty());
        EXPECT_LE(packets_[n].data.size(), protocol::AudioFormat::maxPayloadLength);
    }
    EXPECT_EQ(discontinuities(), std::vector<std::size_t>{0});
    EXPECT_TRUE(log_.empty());
}

TEST_F(AACEncoderTest, BuffersOfOddSizesKeepOneContinuousTimeline) {
    double seconds = kStart;
    std::int64_t frames = 0;
    for (int round = 0; round < 20; ++round) {
        for (std::size_t size : {1, 7, 333, 1023, 1025, 4097}) {
            feed(seconds, size);
            seconds += static_cast<double>(size) / kRate;
            frames += static_cast<std::int64_t>(size);
        }
    }
    EXPECT_TRUE(log_.empty());
    EXPECT_EQ(static_cast<std::int64_t>(packets_.size()), frames / 1024 - 1);
    for (std::size_t n = 0; n < packets_.size(); ++n) {
        ASSERT_EQ(packets_[n].pts, ptsOf(kStart, static_cast<std::int64_t>(n), encoder_.leadingFrames())) << n;
    }
}

TEST_F(AACEncoderTest, ClampsTimesBeforeTheClocksStartAtZero) {
    feedRun(0.005, 20);
    ASSERT_GE(packets_.size(), 2u);
    EXPECT_EQ(packets_[0].pts, 0u);
    EXPECT_EQ(packets_[1].pts, ptsOf(0.005, 1, encoder_.leadingFrames()));
}

TEST_F(AACEncoderTest, EncodedPacketsDecodeBackToTheTone) {
    feedRun(kStart, 100);
    testing::AacDecoder decoder;
    for (const auto& packet : packets_) ASSERT_TRUE(decoder.decode(packet.data));
    ASSERT_GE(decoder.samples.size(), 24000u);
    EXPECT_NEAR(testing::toneHertz(decoder.samples, 4096, 16384), 1000.0, 5.0);
    EXPECT_NEAR(testing::toneLevel(decoder.samples, 4096, 16384), 0.5 / std::sqrt(2.0), 0.03);
}

// Late, early and stepped buffers after a continuous second of capture.
struct TimelineCase {
    const char* name;
    double offsetSeconds;  // of the next buffer against where it is expected
    std::int64_t silenceFrames;
    const char* logged;  // part of the one log line, or empty for none
    bool restarts;
};

void PrintTo(const TimelineCase& c, std::ostream* out) { *out << c.name; }

class AACEncoderTimeline : public AACEncoderTest, public ::testing::WithParamInterface<TimelineCase> {};

TEST_P(AACEncoderTimeline, FillsHolesAbsorbsJitterAndRestartsAfterLongStalls) {
    const TimelineCase& c = GetParam();
    const double expected = feedRun(kStart, 100);
    const std::size_t before = packets_.size();
    const double resumed = expected + c.offsetSeconds;
    feedRun(resumed, 200);

    const std::int64_t leading = encoder_.leadingFrames();
    if (c.restarts) {
        EXPECT_EQ(discontinuities(), (std::vector<std::size_t>{0, before}));
        ASSERT_GT(packets_.size(), before + 1);
        EXPECT_EQ(packets_[before].pts, ptsOf(resumed, 0, leading));
        EXPECT_EQ(packets_[before + 1].pts, ptsOf(resumed, 1, leading));
    } else {
        EXPECT_EQ(discontinuities(), std::vector<std::size_t>{0});
        // One timeline throughout: the packets count the captured frames plus the silence.
        const std::int64_t frames = 300 * 480 + c.silenceFrames;
        EXPECT_EQ(static_cast<std::int64_t>(packets_.size()), frames / 1024 - 1);
        for (std::size_t n = 0; n < packets_.size(); ++n) {
            ASSERT_EQ(packets_[n].pts, ptsOf(kStart, static_cast<std::int64_t>(n), leading)) << n;
        }
    }
    if (*c.logged) {
        ASSERT_EQ(log_.size(), 1u);
        EXPECT_NE(log_[0].find(c.logged), std::string::npos) << log_[0];
    } else {
        EXPECT_TRUE(log_.empty()) << log_[0];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Gaps, AACEncoderTimeline,
    ::testing::Values(TimelineCase{"OnTime", 0, 0, "", false},
                      TimelineCase{"JitterUnderHalfAFrame", 0.00001, 0, "", false},
                      TimelineCase{"Late10ms", 0.010, 480, "duration_ms=10.000 silence_frames=480", false},
                      TimelineCase{"Late100ms", 0.100, 4800, "duration_ms=100.000 silence_frames=4800", false},
                      TimelineCase{"LateOneSecond", 1.0, 48000, "duration_ms=1000.000 silence_frames=48000", false},
                      TimelineCase{"Early5ms", -0.005, 0, "", false},
                      TimelineCase{"LateFiveMinutes", 300.0, 0, "audio capture gap too long", true},
                      TimelineCase{"LateJustOverOneSecond", 1.001, 0, "duration_ms=1001.000", true}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(AACEncoderTest, ClockStepBackRebasesTheExpectedClockWithoutTouchingTheOutput) {
    const double expected = feedRun(kStart, 100);
    feedRun(expected - 0.030, 100);  // re-based: the next buffers are on time again
    EXPECT_TRUE(log_.empty());
    EXPECT_EQ(discontinuities(), std::vector<std::size_t>{0});
    EXPECT_EQ(static_cast<std::int64_t>(packets_.size()), 200 * 480 / 1024 - 1);
    for (std::size_t n = 0; n < packets_.size(); ++n) {
        ASSERT_EQ(packets_[n].pts, ptsOf(kStart, static_cast<std::int64_t>(n), encoder_.leadingFrames()));
    }
}

TEST_F(AACEncoderTest, SilenceStopsWhenCaptureIsNoLongerActive) {
    const double expected = feedRun(kStart, 100);
    const std::size_t before = packets_.size();
    active_ = false;
    feed(expected + 0.5, 480);
    EXPECT_EQ(packets_.size(), before);
}

TEST_F(AACEncoderTest, FormatChangeRestartsTheTimeline) {
    const double expected = feedRun(kStart, 100);
    feed(expected, 480, PcmFormat{44100, 2});  // refused: dropped with a log line
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(log_[0], "audio: cannot create AAC encoder for input 44100Hz 2ch");
    const std::size_t before = packets_.size();
    feedRun(expected + 0.01, 100);
    EXPECT_EQ(discontinuities(), (std::vector<std::size_t>{0, before}));
    EXPECT_EQ(packets_[before].pts, ptsOf(expected + 0.01, 0, encoder_.leadingFrames()));
}

TEST_F(AACEncoderTest, IgnoresEmptyBuffersAndTimesThatAreNotFinite) {
    feed(kStart, 0);
    feed(std::nan(""), 480);
    feed(INFINITY, 480);
    feedRun(kStart, 50);
    ASSERT_FALSE(packets_.empty());
    EXPECT_EQ(packets_[0].pts, ptsOf(kStart, 0, encoder_.leadingFrames()));
}

}  // namespace
}  // namespace orvanta::host
