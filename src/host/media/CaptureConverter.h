// Turns a grabbed BGRX picture into the encoder's NV12 (BT.709 for HD output, BT.601 below, video
// range) in pooled buffers: at the same size by a converter of its own, the cheapest step of the
// road; cropped and scaled by one pass of libswscale on a few threads. The picture outside the
// destination stays black.
#pragma once

#include <memory>
#include <optional>

#include "host/media/CaptureSizing.h"
#include "host/media/PixelBuffer.h"
#include "platform/ScreenSource.h"

struct SwsContext;
struct AVFrame;

namespace orvanta::host {

class CaptureConverter {
public:
    // One frame being encoded, the newest waiting for the encoder, and one being drawn.
    static constexpr std::size_t kPoolCapacity = 3;
    static constexpr int kThreads = 2;

    explicit CaptureConverter(CaptureSize output, int threads = kThreads);
    ~CaptureConverter();
    CaptureConverter(const CaptureConverter&) = delete;
    CaptureConverter& operator=(const CaptureConverter&) = delete;

    // `source` in the image's pixels, `destination` in output pixels; both are clamped to their
    // pictures. None when every buffer is still in use or the conversion failed.
    std::shared_ptr<PixelBuffer> convert(const platform::ScreenImage& image, const platform::ScreenRect& source,
                                         const platform::ScreenRect& destination);

private:
    struct Area {
        int x = 0, y = 0, width = 0, height = 0;
        bool operator==(const Area&) const = default;
    };

    bool prepare(const Area& source, const Area& destination);

    const CaptureSize output_;
    const int threads_;
    std::unique_ptr<PixelBufferPool> pool_;
    SwsContext* scaler_ = nullptr;
    AVFrame* sourceFrame_ = nullptr;
    AVFrame* destinationFrame_ = nullptr;
    Area source_;
    Area destination_;
    std::optional<Area> drawn_;  // the destination the pooled buffers hold pictures for
};

}  // namespace orvanta::host
