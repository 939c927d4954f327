// Pictures for the video tests: smooth colour ramps under a checkerboard that moves with the frame,
// as BGRX rows, and how close a painted picture came to one.
#pragma once

#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QWidget>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace orvanta::testing {

inline std::vector<std::uint32_t> testPicture(int width, int height, int frame = 0) {
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const auto red = static_cast<std::uint32_t>(x * 255 / std::max(width - 1, 1));
            const auto green = static_cast<std::uint32_t>(y * 255 / std::max(height - 1, 1));
            const std::uint32_t blue = ((x / 32 + y / 32 + frame) % 2) ? 200 : 50;
            pixels[static_cast<std::size_t>(y) * width + x] = red << 16 | green << 8 | blue;
        }
    }
    return pixels;
}

// An access unit whose slices are damaged but still framed: each unit keeps its 4-byte length and
// its NAL header, and the rest turns to 0xFF, so only the decoder can tell.
inline std::vector<std::uint8_t> damagedSlices(std::vector<std::uint8_t> avcc) {
    for (std::size_t offset = 0; offset + 4 <= avcc.size();) {
        const std::size_t length = std::size_t{avcc[offset]} << 24 | std::size_t{avcc[offset + 1]} << 16 |
                                   std::size_t{avcc[offset + 2]} << 8 | avcc[offset + 3];
        const std::size_t start = offset + 4;
        for (std::size_t i = start + 1; i < start + length && i < avcc.size(); ++i) avcc[i] = 0xFF;
        offset = start + length;
    }
    return avcc;
}

// Peak signal-to-noise ratio in dB over the RGB channels of `painted` against `picture`, both
// `width` x `height`.
inline double psnr(const QImage& painted, const std::vector<std::uint32_t>& picture, int width, int height) {
    const QImage image = painted.convertToFormat(QImage::Format_RGB32);
    double squares = 0;
    for (int y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(image.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            const std::uint32_t a = row[x], b = picture[static_cast<std::size_t>(y) * width + x];
            for (int shift : {0, 8, 16}) {
                const double d = static_cast<double>((a >> shift) & 0xFF) - static_cast<double>((b >> shift) & 0xFF);
                squares += d * d;
            }
        }
    }
    const double meanSquare = squares / (3.0 * width * height);
    if (meanSquare == 0) return std::numeric_limits<double>::infinity();
    return 10 * std::log10(255.0 * 255.0 / meanSquare);
}

// What the X server shows under `widget`: the window's own pixels there, as the user sees them.
inline QImage shownOnScreen(const QWidget& widget) {
    const QPoint at = widget.mapTo(widget.window(), QPoint(0, 0));
    return widget.screen()
        ->grabWindow(widget.window()->winId(), at.x(), at.y(), widget.width(), widget.height())
        .toImage();
}

}  // namespace orvanta::testing
