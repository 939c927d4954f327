#include "host/media/Encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "support/H264TestDecoder.h"

namespace orvanta::host {
namespace {

using testing::H264Decoder;
using testing::walkAvcc;

constexpr int kWidth = 160;
constexpr int kHeight = 96;

struct Output {
    base::Bytes avcc;
    bool isKey;
    std::uint64_t pts;
};

// A smooth gradient with a square that moves with `index`, the kind of picture a desktop gives.
std::shared_ptr<PixelBuffer> picture(int index, int width = kWidth, int height = kHeight) {
    auto buffer = std::make_shared<PixelBuffer>(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool square = x >= index * 4 % width && x < index * 4 % width + 24 && y >= 30 && y < 54;
            buffer->luma()[y * buffer->lumaStride() + x] = static_cast<std::uint8_t>(square ? 220 : 40 + x + y / 2);
        }
    }
    for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            buffer->chroma()[y * buffer->chromaStride() + 2 * x] = static_cast<std::uint8_t>(100 + x / 2);
            buffer->chroma()[y * buffer->chromaStride() + 2 * x + 1] = static_cast<std::uint8_t>(150 - y);
        }
    }
    return buffer;
}

std::shared_ptr<PixelBuffer> noise(std::mt19937& random) {
    auto buffer = std::make_shared<PixelBuffer>(kWidth, kHeight);
    std::uniform_int_distribution<int> byte(16, 235);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            buffer->luma()[y * buffer->lumaStride() + x] = static_cast<std::uint8_t>(byte(random));
    for (int y = 0; y < kHeight / 2; ++y)
        for (int x = 0; x < kWidth; ++x)
            buffer->chroma()[y * buffer->chromaStride() + x] = static_cast<std::uint8_t>(byte(random));
    return buffer;
}

// x264's statistics on every close would bury the test output.
const bool quietCodecs = [] {
    av_log_set_level(AV_LOG_ERROR);
    return true;
}();

int nalType(base::ByteView unit) { return unit[0] & 0x1F; }

bool hasIDR(base::ByteView avcc) {
    for (auto unit : walkAvcc(avcc))
        if (nalType(unit) == 5) return true;
    return false;
}

double lumaPSNR(const AVFrame* frame, const PixelBuffer& source) {
    double squared = 0;
    for (int y = 0; y < source.height(); ++y) {
        for (int x = 0; x < source.width(); ++x) {
            const double d = frame->data[0][y * frame->linesize[0] + x] - source.luma()[y * source.lumaStride() + x];
            squared += d * d;
        }
    }
    const double mse = squared / (source.width() * source.height());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

class EncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        encoder.onEncoded = [this](base::Bytes avcc, bool isKey, std::uint64_t pts) {
            outputs.push_back({std::move(avcc), isKey, pts});
        };
        encoder.onParameters = [this](base::Bytes sps, base::Bytes pps) { parameters.emplace_back(sps, pps); };
        ASSERT_TRUE(encoder.start());
    }

    std::vector<std::string> lines;
    Encoder encoder{kWidth, kHeight, [this](std::string_view line) { lines.emplace_back(line); }};
    std::vector<Output> outputs;
    std::vector<std::pair<base::Bytes, base::Bytes>> parameters;
};

TEST(EncoderRateTest, InitialRateAndDataRateLimit) {
    const std::vector<std::tuple<std::int64_t, std::int64_t, std::int64_t>> cases = {{1920, 1080, 43'545'600},
                                                                                     {1280, 720, 19'353'600},
                                                                                     {2560, 1440, 72'000'000},
                                                                                     {640, 360, 12'000'000},
                                                                                     {3840, 2160, 72'000'000}};
    for (auto [w, h, rate] : cases) EXPECT_EQ(Encoder::initialBitRate(w, h), rate) << w << "x" << h;
    EXPECT_EQ(Encoder::dataRateLimitBytes(16'000'000), 1'500'000);
}

TEST(EncoderSizeTest, OddOrTinySizesNeverReachTheEncoder) {
    for (auto [w, h] : std::vector<std::pair<int, int>>{{0, 0}, {1, 2}, {161, 96}, {160, 95}}) {
        std::vector<std::string> lines;
        Encoder encoder(w, h, [&](std::string_view line) { lines.emplace_back(line); });
        EXPECT_FALSE(encoder.start()) << w << "x" << h;
        EXPECT_TRUE(encoder.failed());
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(lines.back().starts_with("encoder create failed: ")) << lines.back();
    }
}

TEST_F(EncoderTest, EmitsLengthPrefixedUnitsWithParameterSetsApartAndOnce) {
    for (int i = 0; i < 8; ++i) encoder.encode(picture(i), 1'000'000 + static_cast<std::uint64_t>(i) * 16'667);
    ASSERT_EQ(outputs.size(), 8u) << "one output per input";
    ASSERT_EQ(parameters.size(), 1u);
    EXPECT_EQ(parameters[0].first[0] & 0x1F, 7);
    EXPECT_EQ(parameters[0].second[0] & 0x1F, 8);
    EXPECT_EQ(parameters[0].first[1], 100) << "High profile";
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_EQ(outputs[i].pts, 1'000'000 + i * 16'667);
        EXPECT_EQ(outputs[i].isKey, i == 0);
        EXPECT_EQ(hasIDR(outputs[i].avcc), i == 0);
        for (auto unit : walkAvcc(outputs[i].avcc)) {
            EXPECT_NE(nalType(unit), 7);
            EXPECT_NE(nalType(unit), 8);
        }
    }
}

TEST_F(EncoderTest, ForcedKeyframeIsOneIDR) {
    for (int i = 0; i < 3; ++i) encoder.encode(picture(i), static_cast<std::uint64_t>(i));
    encoder.forceKeyframe();
    encoder.forceKeyframe();
    for (int i = 3; i < 6; ++i) encoder.encode(picture(i), static_cast<std::uint64_t>(i));
    ASSERT_EQ(outputs.size(), 6u);
    std::vector<bool> keys;
    for (const auto& o : outputs) keys.push_back(o.isKey && hasIDR(o.avcc));
    EXPECT_EQ(keys, (std::vector<bool>{true, false, false, true, false, false}));
    EXPECT_EQ(parameters.size(), 1u) << "a forced keyframe brings no new parameter sets";
}

TEST_F(EncoderTest, BitRateChangeTakesEffectWithoutRestart) {
    std::mt19937 random(7);
    encoder.setPendingBitRate(40'000'000);
    auto sizeOf = [&](int frames) {
        std::size_t total = 0;
        for (int i = 0; i < frames; ++i) {
            encoder.encode(noise(random), static_cast<std::uint64_t>(outputs.size()) * 16'667);
            total += outputs.back().avcc.size();
        }
        return total;
    };
    sizeOf(20);
    const std::size_t high = sizeOf(30);
    encoder.setPendingBitRate(1'000'000);
    sizeOf(20);
    const std::size_t low = sizeOf(30);
    EXPECT_LT(low * 3, high) << "high " << high << " low " << low;
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "encoder 160x96 bitrate 1000000 bps, DataRateLimits 93750 bytes/0.5s status 0"),
              1);
    EXPECT_FALSE(encoder.failed());
}

TEST_F(EncoderTest, OutputDecodesToTheInputPicture) {
    for (int i = 0; i < 5; ++i) encoder.encode(picture(i), static_cast<std::uint64_t>(i));
    ASSERT_EQ(outputs.size(), 5u);
    ASSERT_EQ(parameters.size(), 1u);
    H264Decoder decoder(parameters[0]);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        AVFrame* frame = decoder.decode(outputs[i].avcc);
        ASSERT_NE(frame, nullptr) << "frame " << i << " came out at once";
        ASSERT_EQ(frame->width, kWidth);
        ASSERT_EQ(frame->height, kHeight);
        EXPECT_EQ(frame->colorspace, AVCOL_SPC_SMPTE170M) << "a small picture is BT.601";
        EXPECT_EQ(frame->color_range, AVCOL_RANGE_MPEG);
        EXPECT_GT(lumaPSNR(frame, *picture(static_cast<int>(i))), 35) << "frame " << i;
    }
}

TEST_F(EncoderTest, NothingAfterInvalidate) {
    encoder.encode(picture(0), 0);
    encoder.invalidate();
    encoder.forceKeyframe();
    encoder.encode(picture(1), 1);
    EXPECT_EQ(outputs.size(), 1u);
}

TEST(EncoderHdTest, SignalsBT709ForHDSizes) {
    Encoder encoder(1280, 720, [](std::string_view) {});
    std::pair<base::Bytes, base::Bytes> sets;
    base::Bytes avcc;
    encoder.onParameters = [&](base::Bytes sps, base::Bytes pps) { sets = {std::move(sps), std::move(pps)}; };
    encoder.onEncoded = [&](base::Bytes bytes, bool, std::uint64_t) { avcc = std::move(bytes); };
    ASSERT_TRUE(encoder.start());
    auto buffer = std::make_shared<PixelBuffer>(1280, 720);
    buffer->fillBlack();
    encoder.encode(buffer, 0);
    H264Decoder decoder(sets);
    AVFrame* frame = decoder.decode(avcc);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->colorspace, AVCOL_SPC_BT709);
    EXPECT_EQ(frame->color_primaries, AVCOL_PRI_BT709);
    EXPECT_EQ(frame->color_range, AVCOL_RANGE_MPEG);
}

}  // namespace
}  // namespace orvanta::host
