// BGRX to NV12 at the same size, in video range, with the BT.709 or BT.601 matrix: luma from each
// pixel, chroma from the mean of each 2×2 block, in 15-bit fixed point (SSE2 where there is one).
// A 1080p picture takes a fraction of what a general scaler needs for it, on one thread.
#pragma once

#include <cstdint>

namespace orvanta::host {

struct NV12Planes {
    std::uint8_t* luma = nullptr;
    int lumaStride = 0;
    std::uint8_t* chroma = nullptr;  // interleaved Cb, Cr
    int chromaStride = 0;
};

// `width` and `height` are even; `bgrx` has `height` rows of `stride` bytes.
void convertBGRXToNV12(const std::uint8_t* bgrx, int stride, int width, int height, const NV12Planes& out, bool bt709);

}  // namespace orvanta::host
