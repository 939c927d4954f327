#include "host/media/CaptureConverter.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>

#include "host/media/NV12Conversion.h"

namespace orvanta::host {

namespace {

int clampInt(double value, int low, int high) {
    if (!std::isfinite(value)) return low;
    return static_cast<int>(std::clamp(value, static_cast<double>(low), static_cast<double>(high)));
}

// Lends memory to a frame: libswscale copies an input that has no buffer of its own.
AVBufferRef* borrow(const std::uint8_t* data) {
    return av_buffer_create(
        const_cast<std::uint8_t*>(data), 1, [](void*, std::uint8_t*) {}, nullptr, AV_BUFFER_FLAG_READONLY);
}

}  // namespace

CaptureConverter::CaptureConverter(CaptureSize output, int threads)
    : output_(output),
      threads_(threads),
      pool_(std::make_unique<PixelBufferPool>(static_cast<int>(output.width), static_cast<int>(output.height),
                                              kPoolCapacity)),
      sourceFrame_(av_frame_alloc()),
      destinationFrame_(av_frame_alloc()) {}

CaptureConverter::~CaptureConverter() {
    sws_freeContext(scaler_);
    av_frame_free(&sourceFrame_);
    av_frame_free(&destinationFrame_);
}

bool CaptureConverter::prepare(const Area& source, const Area& destination) {
    if (scaler_ && source.width == source_.width && source.height == source_.height && destination == destination_) {
        source_ = source;
        return true;
    }
    sws_freeContext(scaler_);
    scaler_ = sws_alloc_context();
    if (!scaler_) return false;
    av_opt_set_int(scaler_, "srcw", source.width, 0);
    av_opt_set_int(scaler_, "srch", source.height, 0);
    av_opt_set_int(scaler_, "src_format", AV_PIX_FMT_BGR0, 0);
    av_opt_set_int(scaler_, "dstw", destination.width, 0);
    av_opt_set_int(scaler_, "dsth", destination.height, 0);
    av_opt_set_int(scaler_, "dst_format", AV_PIX_FMT_NV12, 0);
    av_opt_set_int(scaler_, "sws_flags", SWS_BILINEAR, 0);
    av_opt_set_int(scaler_, "threads", threads_, 0);
    if (sws_init_context(scaler_, nullptr, nullptr) < 0) {
        sws_freeContext(scaler_);
        scaler_ = nullptr;
        return false;
    }
    const int matrix = usesBT709(output_.width, output_.height) ? SWS_CS_ITU709 : SWS_CS_ITU601;
    const int* coefficients = sws_getCoefficients(matrix);
    // Full-range RGB in, video-range YUV out.
    sws_setColorspaceDetails(scaler_, coefficients, 1, coefficients, 0, 0, 1 << 16, 1 << 16);
    source_ = source;
    destination_ = destination;
    return true;
}

void CaptureConverter::record(const platform::ScreenImage& image, const Area& source) {
    ++pictures_;
    const bool follows = image.sequence != 0 && image.sequence == lastSequence_ + 1;
    lastSequence_ = image.sequence;
    const bool moved = converted_ && !(*converted_ == source);
    converted_ = source;
    // After a gap, or from another part of the picture, the changed rows say nothing about what the
    // buffers hold: this picture is converted in full, and the run starts again after it.
    if (!follows || moved) {
        history_.clear();
        return;
    }
    history_.push_back({pictures_, image.changedTop, image.changedBottom});
    if (history_.size() > kHistory) history_.erase(history_.begin());
}

std::pair<int, int> CaptureConverter::staleRows(const PixelBuffer& buffer, const platform::ScreenImage& image) const {
    const std::uint64_t held = buffer.picture;
    // The changes of every picture after the held one, up to this one, must be known.
    if (held == 0 || history_.empty() || history_.back().picture != pictures_ || history_.front().picture > held + 1) {
        return {0, image.height};
    }
    std::pair<int, int> rows{image.height, 0};
    for (const Change& change : history_) {
        if (change.picture <= held || change.top >= change.bottom) continue;
        rows = {std::min(rows.first, change.top), std::max(rows.second, change.bottom)};
    }
    return rows;
}

std::shared_ptr<PixelBuffer> CaptureConverter::convert(const platform::ScreenImage& image,
                                                       const platform::ScreenRect& source,
                                                       const platform::ScreenRect& destination) {
    if (image.width < 1 || image.height < 1) return nullptr;
    Area from;
    from.x = clampInt(std::floor(source.x), 0, image.width - 1);
    from.y = clampInt(std::floor(source.y), 0, image.height - 1);
    from.width = clampInt(std::round(source.width), 1, image.width - from.x);
    from.height = clampInt(std::round(source.height), 1, image.height - from.y);
    const int outW = static_cast<int>(output_.width);
    const int outH = static_cast<int>(output_.height);
    Area to;  // even edges, as the chroma plane has half the resolution
    to.x = clampInt(std::round(destination.x / 2) * 2, 0, outW - 2);
    to.y = clampInt(std::round(destination.y / 2) * 2, 0, outH - 2);
    to.width = clampInt(std::round(destination.width / 2) * 2, 2, outW - to.x);
    to.height = clampInt(std::round(destination.height / 2) * 2, 2, outH - to.y);
    const bool unscaled = from.width == to.width && from.height == to.height;
    if (unscaled) {
        record(image, from);
    } else if (!prepare(from, to)) {
        return nullptr;
    }
    if (drawn_ && !(*drawn_ == to)) {
        // Buffers drawn for another destination have picture where black belongs now.
        pool_ = std::make_unique<PixelBufferPool>(outW, outH, kPoolCapacity);
    }
    drawn_ = to;

    bool fresh = false;
    auto buffer = pool_->acquire(&fresh);
    if (!buffer) return nullptr;
    if (fresh && !(to == Area{0, 0, outW, outH})) buffer->fillBlack();

    const std::uint8_t* first = image.pixels.data() + static_cast<std::ptrdiff_t>(from.y) * image.stride + from.x * 4;
    std::uint8_t* luma = buffer->luma() + static_cast<std::ptrdiff_t>(to.y) * buffer->lumaStride() + to.x;
    std::uint8_t* chroma = buffer->chroma() + static_cast<std::ptrdiff_t>(to.y / 2) * buffer->chromaStride() + to.x;
    if (unscaled) {
        const auto [top, bottom] = staleRows(*buffer, image);
        // Whole row pairs of the picture, as chroma comes in pairs.
        const int begin = std::clamp(top - from.y, 0, to.height) / 2 * 2;
        const int end = std::min((std::clamp(bottom - from.y, 0, to.height) + 1) / 2 * 2, to.height);
        if (begin < end) {
            convertBGRXToNV12(
                first + static_cast<std::ptrdiff_t>(begin) * image.stride, image.stride, to.width, end - begin,
                {luma + static_cast<std::ptrdiff_t>(begin) * buffer->lumaStride(), buffer->lumaStride(),
                 chroma + static_cast<std::ptrdiff_t>(begin / 2) * buffer->chromaStride(), buffer->chromaStride()},
                usesBT709(output_.width, output_.height));
        }
        buffer->picture = pictures_;
        return buffer;
    }
    buffer->picture = 0;
    sourceFrame_->format = AV_PIX_FMT_BGR0;
    sourceFrame_->width = from.width;
    sourceFrame_->height = from.height;
    sourceFrame_->data[0] = const_cast<std::uint8_t*>(first);
    sourceFrame_->linesize[0] = image.stride;
    sourceFrame_->buf[0] = borrow(first);

    destinationFrame_->format = AV_PIX_FMT_NV12;
    destinationFrame_->width = to.width;
    destinationFrame_->height = to.height;
    destinationFrame_->data[0] = luma;
    destinationFrame_->data[1] = chroma;
    destinationFrame_->linesize[0] = buffer->lumaStride();
    destinationFrame_->linesize[1] = buffer->chromaStride();
    destinationFrame_->buf[0] = borrow(luma);

    const bool ok = sourceFrame_->buf[0] && destinationFrame_->buf[0] &&
                    sws_scale_frame(scaler_, destinationFrame_, sourceFrame_) >= 0;
    av_frame_unref(sourceFrame_);
    av_frame_unref(destinationFrame_);
    return ok ? buffer : nullptr;
}

}  // namespace orvanta::host
