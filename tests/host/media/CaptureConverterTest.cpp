#include "host/media/CaptureConverter.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <deque>
#include <random>
#include <vector>

namespace orvanta::host {
namespace {

struct Patch {
    std::array<std::uint8_t, 3> rgb;
    std::array<int, 3> bt709;  // Y, Cb, Cr in video range
    std::array<int, 3> bt601;
};

// Reference values of the two matrices at 8 bits, video range.
const Patch kPatches[] = {
    {{255, 255, 255}, {235, 128, 128}, {235, 128, 128}}, {{0, 0, 0}, {16, 128, 128}, {16, 128, 128}},
    {{255, 0, 0}, {63, 102, 240}, {81, 90, 240}},        {{0, 255, 0}, {173, 42, 26}, {145, 54, 34}},
    {{0, 0, 255}, {32, 240, 118}, {41, 240, 110}},       {{255, 255, 0}, {219, 16, 138}, {210, 16, 146}},
    {{0, 255, 255}, {188, 154, 16}, {170, 166, 16}},     {{255, 0, 255}, {78, 214, 230}, {106, 202, 222}},
    {{128, 128, 128}, {126, 128, 128}, {126, 128, 128}}, {{200, 120, 40}, {129, 85, 166}, {132, 81, 169}},
    {{30, 90, 160}, {87, 165, 99}, {85, 168, 97}},
};
constexpr int kPatchWidth = 32;

// Side-by-side patches, each a column the picture's height, as BGRX.
std::vector<std::uint8_t> patches(int width, int height) {
    std::vector<std::uint8_t> bgrx(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const auto& rgb = kPatches[static_cast<std::size_t>(x / kPatchWidth) % std::size(kPatches)].rgb;
            std::uint8_t* p = bgrx.data() + (static_cast<std::size_t>(y) * width + x) * 4;
            p[0] = rgb[2];
            p[1] = rgb[1];
            p[2] = rgb[0];
        }
    }
    return bgrx;
}

TEST(CaptureConverterTest, PatchesConvertToTheMatrixColoursExactly) {
    struct Size {
        int width, height;
        bool bt709;
    };
    for (const Size size : {Size{1280, 720, true}, Size{640, 360, false}}) {
        const auto bgrx = patches(size.width, size.height);
        CaptureConverter converter({size.width, size.height});
        const platform::ScreenImage image{bgrx, size.width, size.height, size.width * 4, 0};
        const platform::ScreenRect whole{0, 0, static_cast<double>(size.width), static_cast<double>(size.height)};
        auto frame = converter.convert(image, whole, whole);
        ASSERT_TRUE(frame);
        for (std::size_t i = 0; i < std::size(kPatches); ++i) {
            const auto& expected = size.bt709 ? kPatches[i].bt709 : kPatches[i].bt601;
            const int x = static_cast<int>(i) * kPatchWidth + kPatchWidth / 2;
            for (const int y : {0, size.height / 2, size.height - 1}) {
                const std::uint8_t* chroma = frame->chroma() + (y / 2) * frame->chromaStride() + x / 2 * 2;
                const std::array<int, 3> got{frame->luma()[y * frame->lumaStride() + x], chroma[0], chroma[1]};
                EXPECT_EQ(got, expected) << "patch " << i << " at row " << y << " of " << size.width;
            }
        }
    }
}

// Every pixel of a noisy picture against the matrix in floating point: each luma value from its own
// pixel and each chroma pair from its own 2×2 block, at widths that end in and off a whole vector.
TEST(CaptureConverterTest, EveryPixelTakesItsOwnPlace) {
    struct Size {
        int width, height;
        double kr, kb;
    };
    for (const Size size :
         {Size{1280, 720, 0.2126, 0.0722}, Size{1366, 768, 0.2126, 0.0722}, Size{638, 360, 0.299, 0.114}}) {
        std::mt19937 random(7);
        std::vector<std::uint8_t> bgrx(static_cast<std::size_t>(size.width) * size.height * 4);
        for (auto& byte : bgrx) byte = static_cast<std::uint8_t>(random());
        CaptureConverter converter({size.width, size.height});
        const platform::ScreenImage image{bgrx, size.width, size.height, size.width * 4, 0};
        const platform::ScreenRect whole{0, 0, static_cast<double>(size.width), static_cast<double>(size.height)};
        auto frame = converter.convert(image, whole, whole);
        ASSERT_TRUE(frame);
        const double kg = 1 - size.kr - size.kb;
        auto channel = [&](int x, int y, int c) {
            return static_cast<double>(bgrx[(static_cast<std::size_t>(y) * size.width + x) * 4 + c]);
        };
        auto lumaOf = [&](double b, double g, double r) { return size.kr * r + kg * g + size.kb * b; };
        int worst = 0;
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                const double expected = 16 + 219.0 / 255 * lumaOf(channel(x, y, 0), channel(x, y, 1), channel(x, y, 2));
                worst = std::max(worst, std::abs(frame->luma()[y * frame->lumaStride() + x] -
                                                 static_cast<int>(std::lround(expected))));
            }
        }
        for (int y = 0; y < size.height; y += 2) {
            for (int x = 0; x < size.width; x += 2) {
                double mean[3] = {};
                for (int c = 0; c < 3; ++c)
                    mean[c] =
                        (channel(x, y, c) + channel(x + 1, y, c) + channel(x, y + 1, c) + channel(x + 1, y + 1, c)) / 4;
                const double l = lumaOf(mean[0], mean[1], mean[2]);
                const double cb = 128 + 224.0 / 255 * (mean[0] - l) / (2 * (1 - size.kb));
                const double cr = 128 + 224.0 / 255 * (mean[2] - l) / (2 * (1 - size.kr));
                const std::uint8_t* pair = frame->chroma() + (y / 2) * frame->chromaStride() + x;
                worst = std::max(worst, std::abs(pair[0] - static_cast<int>(std::lround(cb))));
                worst = std::max(worst, std::abs(pair[1] - static_cast<int>(std::lround(cr))));
            }
        }
        EXPECT_LE(worst, 1) << size.width << "x" << size.height << ": off by rounding at most";
    }
}

// A stream that numbers its images tells which rows changed; converting only those into whatever
// picture a pooled buffer holds gives the picture a full conversion gives, however the buffers
// come round (some held a while by the encoder), and also after an image the converter never saw
// or one that came unnumbered.
TEST(CaptureConverterTest, ChangedRowsBringAnyHeldPictureUpToDate) {
    constexpr int kWidth = 72;  // whole vectors and a rest
    constexpr int kHeight = 48;
    const platform::ScreenRect whole{0, 0, kWidth, kHeight};
    std::mt19937 random(3);
    std::vector<std::uint8_t> screen(static_cast<std::size_t>(kWidth) * kHeight * 4);
    auto repaint = [&](int top, int bottom) {
        for (std::size_t i = static_cast<std::size_t>(top) * kWidth * 4;
             i < static_cast<std::size_t>(bottom) * kWidth * 4; ++i)
            screen[i] = static_cast<std::uint8_t>(random());
    };
    auto band = [&] {
        const int top = static_cast<int>(random() % kHeight);
        return std::pair{top, top + 1 + static_cast<int>(random() % static_cast<unsigned>(kHeight - top))};
    };
    repaint(0, kHeight);
    CaptureConverter converter({kWidth, kHeight});
    std::deque<std::shared_ptr<PixelBuffer>> held;
    std::uint64_t sequence = 0;
    for (int step = 0; step < 300; ++step) {
        if (step % 37 == 36) {  // an image that went by unconverted
            const auto [top, bottom] = band();
            repaint(top, bottom);
            ++sequence;
        }
        const auto [top, bottom] = band();
        repaint(top, bottom);
        ++sequence;
        const bool numbered = step % 53 != 52;
        auto frame = converter.convert({screen, kWidth, kHeight, kWidth * 4, 0, numbered ? sequence : 0, top, bottom},
                                       whole, whole);
        ASSERT_TRUE(frame);
        CaptureConverter fresh({kWidth, kHeight});
        auto expected = fresh.convert({screen, kWidth, kHeight, kWidth * 4, 0}, whole, whole);
        for (int y = 0; y < kHeight; ++y) {
            ASSERT_TRUE(std::equal(frame->luma() + y * frame->lumaStride(),
                                   frame->luma() + y * frame->lumaStride() + kWidth,
                                   expected->luma() + y * expected->lumaStride()))
                << "luma row " << y << " at step " << step;
        }
        for (int y = 0; y < kHeight / 2; ++y) {
            ASSERT_TRUE(std::equal(frame->chroma() + y * frame->chromaStride(),
                                   frame->chroma() + y * frame->chromaStride() + kWidth,
                                   expected->chroma() + y * expected->chromaStride()))
                << "chroma row " << y << " at step " << step;
        }
        held.push_back(std::move(frame));
        while (held.size() > random() % 3) held.pop_front();
    }
}

}  // namespace
}  // namespace orvanta::host
