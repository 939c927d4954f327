#include "host/media/NV12Conversion.h"

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvanta::host {

namespace {

// Fixed-point weights in 15 fractional bits, in (blue, green, red) order as the pixels come. Luma
// weighs one pixel; chroma the sum of a 2×2 block, hence two more bits in its shift.
constexpr int kLumaShift = 15;
constexpr int kChromaShift = 17;
constexpr std::int32_t kLumaBias = (16 << kLumaShift) + (1 << (kLumaShift - 1));  // video black, rounded
constexpr std::int32_t kChromaBias = (128 << kChromaShift) + (1 << (kChromaShift - 1));

struct Weights {
    std::int16_t y[3];
    std::int16_t u[3];
    std::int16_t v[3];
};

constexpr std::int16_t fixed(double weight) {
    return static_cast<std::int16_t>(weight * (1 << 15) + (weight < 0 ? -0.5 : 0.5));
}

// Video range: luma 16-235, chroma 16-240 around 128.
constexpr Weights weights(double kr, double kb) {
    const double kg = 1 - kr - kb;
    const double luma = 219.0 / 255;
    const double cb = 224.0 / 255 / (2 * (1 - kb));
    const double cr = 224.0 / 255 / (2 * (1 - kr));
    return {{fixed(luma * kb), fixed(luma * kg), fixed(luma * kr)},
            {fixed(cb * (1 - kb)), fixed(-cb * kg), fixed(-cb * kr)},
            {fixed(-cr * kb), fixed(-cr * kg), fixed(cr * (1 - kr))}};
}

constexpr Weights kBT709 = weights(0.2126, 0.0722);
constexpr Weights kBT601 = weights(0.299, 0.114);

std::uint8_t luma(const std::uint8_t* p, const Weights& w) {
    return static_cast<std::uint8_t>((w.y[0] * p[0] + w.y[1] * p[1] + w.y[2] * p[2] + kLumaBias) >> kLumaShift);
}

// Cb and Cr of the 2×2 block whose top left pixel is `a` on the top row and `b` below it.
void chroma(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, const Weights& w) {
    const int blue = a[0] + a[4] + b[0] + b[4];
    const int green = a[1] + a[5] + b[1] + b[5];
    const int red = a[2] + a[6] + b[2] + b[6];
    out[0] = static_cast<std::uint8_t>((w.u[0] * blue + w.u[1] * green + w.u[2] * red + kChromaBias) >> kChromaShift);
    out[1] = static_cast<std::uint8_t>((w.v[0] * blue + w.v[1] * green + w.v[2] * red + kChromaBias) >> kChromaShift);
}

#if defined(__SSE2__)
// The same arithmetic on 16 pixels of two rows at once; returns the pixels done.
int convertVectors(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* lumaTop, std::uint8_t* lumaBottom,
                   std::uint8_t* chromaRow, int width, const Weights& w) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i wy = _mm_setr_epi16(w.y[0], w.y[1], w.y[2], 0, w.y[0], w.y[1], w.y[2], 0);
    const __m128i wu = _mm_setr_epi16(w.u[0], w.u[1], w.u[2], 0, w.u[0], w.u[1], w.u[2], 0);
    const __m128i wv = _mm_setr_epi16(w.v[0], w.v[1], w.v[2], 0, w.v[0], w.v[1], w.v[2], 0);
    const __m128i lumaBias = _mm_set1_epi32(kLumaBias);
    const __m128i chromaBias = _mm_set1_epi32(kChromaBias);
    // Pairs of 32-bit lanes summed: (a0+a1, a2+a3, b0+b1, b2+b3).
    auto pairSums = [](__m128i a, __m128i b) {
        const __m128 even = _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 odd = _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(3, 1, 3, 1));
        return _mm_add_epi32(_mm_castps_si128(even), _mm_castps_si128(odd));
    };
    // Luma of four pixels (16-bit channels of two pixels in each half) as 32-bit values.
    auto lumaOf = [&](__m128i low, __m128i high) {
        const __m128i sum = pairSums(_mm_madd_epi16(low, wy), _mm_madd_epi16(high, wy));
        return _mm_srai_epi32(_mm_add_epi32(sum, lumaBias), kLumaShift);
    };
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        __m128i lumas[2][4];
        __m128i blocks[4];  // channel sums of two 2×2 blocks each
        for (int i = 0; i < 4; ++i) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + (x + 4 * i) * 4));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + (x + 4 * i) * 4));
            const __m128i aLow = _mm_unpacklo_epi8(a, zero);
            const __m128i aHigh = _mm_unpackhi_epi8(a, zero);
            const __m128i bLow = _mm_unpacklo_epi8(b, zero);
            const __m128i bHigh = _mm_unpackhi_epi8(b, zero);
            lumas[0][i] = lumaOf(aLow, aHigh);
            lumas[1][i] = lumaOf(bLow, bHigh);
            const __m128i low = _mm_add_epi16(aLow, bLow);  // two columns of two rows
            const __m128i high = _mm_add_epi16(aHigh, bHigh);
            blocks[i] = _mm_unpacklo_epi64(_mm_add_epi16(low, _mm_srli_si128(low, 8)),
                                           _mm_add_epi16(high, _mm_srli_si128(high, 8)));
        }
        for (int row = 0; row < 2; ++row) {
            const __m128i first = _mm_packs_epi32(lumas[row][0], lumas[row][1]);
            const __m128i second = _mm_packs_epi32(lumas[row][2], lumas[row][3]);
            _mm_storeu_si128(reinterpret_cast<__m128i*>((row ? lumaBottom : lumaTop) + x),
                             _mm_packus_epi16(first, second));
        }
        __m128i pairs[4];  // Cb0 Cr0 Cb1 Cr1 of two blocks
        for (int i = 0; i < 4; ++i) {
            const __m128i sums = pairSums(_mm_madd_epi16(blocks[i], wu), _mm_madd_epi16(blocks[i], wv));
            pairs[i] = _mm_shuffle_epi32(_mm_srai_epi32(_mm_add_epi32(sums, chromaBias), kChromaShift),
                                         _MM_SHUFFLE(3, 1, 2, 0));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(chromaRow + x),
                         _mm_packus_epi16(_mm_packs_epi32(pairs[0], pairs[1]), _mm_packs_epi32(pairs[2], pairs[3])));
    }
    return x;
}
#endif

}  // namespace

void convertBGRXToNV12(const std::uint8_t* bgrx, int stride, int width, int height, const NV12Planes& out, bool bt709) {
    const Weights& w = bt709 ? kBT709 : kBT601;
    for (int row = 0; row + 1 < height; row += 2) {
        const std::uint8_t* top = bgrx + static_cast<std::ptrdiff_t>(row) * stride;
        const std::uint8_t* bottom = top + stride;
        std::uint8_t* lumaTop = out.luma + static_cast<std::ptrdiff_t>(row) * out.lumaStride;
        std::uint8_t* lumaBottom = lumaTop + out.lumaStride;
        std::uint8_t* chromaRow = out.chroma + static_cast<std::ptrdiff_t>(row / 2) * out.chromaStride;
        int x = 0;
#if defined(__SSE2__)
        x = convertVectors(top, bottom, lumaTop, lumaBottom, chromaRow, width, w);
#endif
        for (; x + 1 < width; x += 2) {
            for (int col = x; col < x + 2; ++col) {
                lumaTop[col] = luma(top + col * 4, w);
                lumaBottom[col] = luma(bottom + col * 4, w);
            }
            chroma(top + x * 4, bottom + x * 4, chromaRow + x, w);
        }
    }
}

}  // namespace orvanta::host
