#include "client/ui/VideoDecoder.h"

#include <gtest/gtest.h>

#include "TestPictures.h"
#include "support/HostVideoStream.h"

namespace orvanta::client {
namespace {

testing::HostVideoStream hostStream(int width, int height, int frames) {
    std::vector<std::vector<std::uint32_t>> pictures;
    for (int i = 0; i < frames; ++i) pictures.push_back(testing::testPicture(width, height, i));
    return testing::encodeAsHost(pictures, width, height);
}

// Decodes every sample; the pictures that came out.
std::vector<Picture> decodeAll(VideoDecoder& decoder, const testing::HostVideoStream& stream) {
    std::vector<Picture> pictures;
    for (const auto& sample : stream.samples) {
        auto decoded = decoder.decode(*sample);
        EXPECT_TRUE(decoded) << "sample " << sample->seq;
        if (decoded && *decoded) pictures.push_back(**decoded);
    }
    return pictures;
}

TEST(VideoDecoderTest, ShowsEachPictureAtOnceWithTheHostsColourTags) {
    const struct {
        int width, height;
        YuvMatrix matrix;
    } cases[] = {{320, 240, YuvMatrix::bt601}, {1280, 720, YuvMatrix::bt709}, {1366, 768, YuvMatrix::bt709}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const auto stream = hostStream(c.width, c.height, 4);
        ASSERT_EQ(stream.samples.size(), 4u);
        VideoDecoder decoder;
        const auto pictures = decodeAll(decoder, stream);
        ASSERT_EQ(pictures.size(), 4u) << "one picture per access unit";
        EXPECT_EQ(std::pair(pictures[0].width(), pictures[0].height()), std::pair(c.width, c.height));
        EXPECT_EQ(pictures[0].matrix(), c.matrix);
        EXPECT_FALSE(pictures[0].fullRange());
    }
}

TEST(VideoDecoderTest, WaitsForAKeyframeAfterOpeningOrFlushing) {
    const auto stream = hostStream(320, 240, 3);
    VideoDecoder decoder;
    EXPECT_EQ(decoder.decode(*stream.samples[1]).error().kind, DecodeError::Kind::awaitingKeyframe);
    EXPECT_TRUE(decoder.decode(*stream.samples[0]));
    EXPECT_TRUE(decoder.decode(*stream.samples[1]));
    decoder.flush();
    EXPECT_EQ(decoder.decode(*stream.samples[2]).error().kind, DecodeError::Kind::awaitingKeyframe);
    EXPECT_TRUE(decoder.decode(*stream.samples[0]));
}

TEST(VideoDecoderTest, ACorruptSampleFailsAndTheNextKeyframeRecovers) {
    const auto stream = hostStream(320, 240, 3);
    VideoDecoder decoder;
    ASSERT_TRUE(decoder.decode(*stream.samples[0]));
    auto corrupt = std::make_shared<VideoSample>(*stream.samples[1]);
    corrupt->avcc = testing::damagedSlices(corrupt->avcc);
    const auto failed = decoder.decode(*corrupt);
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().kind, DecodeError::Kind::awaitingKeyframe);
    EXPECT_EQ(decoder.decode(*stream.samples[2]).error().kind, DecodeError::Kind::awaitingKeyframe);
    const auto recovered = decoder.decode(*stream.samples[0]);
    ASSERT_TRUE(recovered && *recovered);
}

TEST(VideoDecoderTest, OpensAgainForNewParameterSets) {
    VideoDecoder decoder;
    EXPECT_EQ(decodeAll(decoder, hostStream(320, 240, 2)).back().width(), 320);
    EXPECT_EQ(decodeAll(decoder, hostStream(640, 360, 2)).back().width(), 640);
}

TEST(VideoDecoderTest, RefusesPicturesLargerThanTheConfiguration) {
    const auto stream = hostStream(640, 480, 1);
    auto lying = std::make_shared<H264Format>(*stream.format);
    lying->width = 64;
    lying->height = 48;
    auto sample = std::make_shared<VideoSample>(*stream.samples[0]);
    sample->format = lying;
    VideoDecoder decoder;
    EXPECT_FALSE(decoder.decode(*sample));
    EXPECT_EQ(VideoDecoder::maxPixels(*lying), 64 * 48);

    // Parameter sets that are no parameter sets: an error, never a crash.
    auto garbage = std::make_shared<H264Format>(*stream.format);
    std::fill(garbage->sps.begin() + 4, garbage->sps.end(), 0xFF);
    std::fill(garbage->pps.begin() + 1, garbage->pps.end(), 0xFF);
    sample->format = garbage;
    EXPECT_FALSE(decoder.decode(*sample));
    EXPECT_EQ(VideoDecoder::maxPixels({1366, 768, {}, {}}), 1408 * 768) << "rows padded as the decoder pads them";
}

TEST(VideoDecoderTest, ConvertsWithTheMatrixAndRangeOfThePicture) {
    const auto rgb = [](const YuvToRgb& m, double y, double cb, double cr) {
        std::array<double, 3> out{};
        const std::array<double, 3> in = {y / 255 - m.offset[0], cb / 255 - m.offset[1], cr / 255 - m.offset[2]};
        for (std::size_t row = 0; row < 3; ++row)
            for (std::size_t col = 0; col < 3; ++col) out[row] += m.rows[row][col] * in[col];
        return out;
    };
    const auto near = [](std::array<double, 3> got, std::array<double, 3> want) {
        for (std::size_t i = 0; i < 3; ++i)
            if (std::abs(got[i] - want[i]) > 0.01) return false;
        return true;
    };
    const auto limited709 = yuvToRgb(YuvMatrix::bt709, false);
    EXPECT_TRUE(near(rgb(limited709, 235, 128, 128), {1, 1, 1}));
    EXPECT_TRUE(near(rgb(limited709, 16, 128, 128), {0, 0, 0}));
    EXPECT_TRUE(near(rgb(limited709, 63, 102, 240), {1, 0, 0}));
    EXPECT_TRUE(near(rgb(yuvToRgb(YuvMatrix::bt601, false), 82, 90, 240), {1, 0, 0}));
    EXPECT_TRUE(near(rgb(yuvToRgb(YuvMatrix::bt601, true), 255, 128, 128), {1, 1, 1}));
    EXPECT_TRUE(near(rgb(yuvToRgb(YuvMatrix::bt601, true), 76, 85, 255), {1, 0, 0}));
}

}  // namespace
}  // namespace orvanta::client
