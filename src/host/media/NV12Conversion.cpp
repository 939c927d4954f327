#include "host/media/NV12Conversion.h"

#include <cstddef>

namespace orvanta::host {

namespace {

// Video range: luma 16-235, chroma 16-240 around 128. The chroma weights take the sum of four
// pixels, hence the quarter.
struct Weights {
    float yr, yg, yb;
    float ur, ug, ub;
    float vr, vg, vb;
};

constexpr Weights weights(double kr, double kb) {
    const double kg = 1 - kr - kb;
    const double luma = 219.0 / 255;
    const double chroma = 224.0 / 255 / 4;
    const double cb = chroma / (2 * (1 - kb));
    const double cr = chroma / (2 * (1 - kr));
    return {static_cast<float>(luma * kr), static_cast<float>(luma * kg),      static_cast<float>(luma * kb),
            static_cast<float>(-cb * kr),  static_cast<float>(-cb * kg),       static_cast<float>(cb * (1 - kb)),
            static_cast<float>(cr * (1 - kr)), static_cast<float>(-cr * kg), static_cast<float>(-cr * kb)};
}

constexpr Weights kBT709 = weights(0.2126, 0.0722);
constexpr Weights kBT601 = weights(0.299, 0.114);

// Rounded; every value is positive.
std::uint8_t rounded(float value) { return static_cast<std::uint8_t>(static_cast<int>(value + 0.5f)); }

void lumaRow(const std::uint8_t* __restrict in, std::uint8_t* __restrict out, int width, const Weights& w) {
    for (int x = 0; x < width; ++x) {
        const std::uint8_t* p = in + static_cast<std::ptrdiff_t>(x) * 4;
        out[x] = rounded(w.yb * p[0] + w.yg * p[1] + w.yr * p[2] + 16.0f);
    }
}

void chromaRow(const std::uint8_t* __restrict top, const std::uint8_t* __restrict bottom, std::uint8_t* __restrict out,
               int width, const Weights& w) {
    for (int x = 0; x < width / 2; ++x) {
        const std::uint8_t* a = top + static_cast<std::ptrdiff_t>(x) * 8;
        const std::uint8_t* b = bottom + static_cast<std::ptrdiff_t>(x) * 8;
        const float blue = static_cast<float>(a[0] + a[4] + b[0] + b[4]);
        const float green = static_cast<float>(a[1] + a[5] + b[1] + b[5]);
        const float red = static_cast<float>(a[2] + a[6] + b[2] + b[6]);
        out[2 * x] = rounded(w.ub * blue + w.ug * green + w.ur * red + 128.0f);
        out[2 * x + 1] = rounded(w.vb * blue + w.vg * green + w.vr * red + 128.0f);
    }
}

}  // namespace

void convertBGRXToNV12(const std::uint8_t* bgrx, int stride, int width, int height, const NV12Planes& out, bool bt709) {
    const Weights& w = bt709 ? kBT709 : kBT601;
    for (int row = 0; row + 1 < height; row += 2) {
        const std::uint8_t* top = bgrx + static_cast<std::ptrdiff_t>(row) * stride;
        const std::uint8_t* bottom = top + stride;
        std::uint8_t* luma = out.luma + static_cast<std::ptrdiff_t>(row) * out.lumaStride;
        lumaRow(top, luma, width, w);
        lumaRow(bottom, luma + out.lumaStride, width, w);
        chromaRow(top, bottom, out.chroma + static_cast<std::ptrdiff_t>(row / 2) * out.chromaStride, width, w);
    }
}

}  // namespace orvanta::host
