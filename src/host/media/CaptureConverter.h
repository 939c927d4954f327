// Turns a grabbed BGRX picture into the encoder's NV12 (BT.709 for HD output, BT.601 below, video
// range) in pooled buffers: at the same size by a converter of its own, the cheapest step of the
// road, and only in the rows that changed since the picture a buffer already holds when the
// stream numbers its images; cropped and scaled by one pass of libswscale on a few threads. The
// picture outside the destination stays black.
#pragma once

#include <memory>
#include <optional>
#include <utility>
#include <vector>

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

    // The rows in which a picture differs from the one before; kept for the pictures of an
    // unbroken run of numbered images.
    struct Change {
        std::uint64_t picture = 0;
        int top = 0;
        int bottom = 0;
    };
    static constexpr std::size_t kHistory = 8;

    bool prepare(const Area& source, const Area& destination);
    void record(const platform::ScreenImage& image, const Area& source);
    // The image's rows that differ from what `buffer` holds: [top, bottom).
    std::pair<int, int> staleRows(const PixelBuffer& buffer, const platform::ScreenImage& image) const;

    const CaptureSize output_;
    const int threads_;
    std::unique_ptr<PixelBufferPool> pool_;
    SwsContext* scaler_ = nullptr;
    AVFrame* sourceFrame_ = nullptr;
    AVFrame* destinationFrame_ = nullptr;
    Area source_;
    Area destination_;
    std::optional<Area> drawn_;       // the destination the pooled buffers hold pictures for
    std::optional<Area> converted_;   // the source area of the last unscaled conversion
    std::uint64_t pictures_ = 0;      // unscaled conversions so far, numbering their pictures
    std::uint64_t lastSequence_ = 0;  // the stream's number of the last image converted unscaled
    std::vector<Change> history_;
};

}  // namespace orvanta::host
