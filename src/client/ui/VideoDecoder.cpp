#include "client/ui/VideoDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/macros.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>

namespace orvanta::client {

namespace {

// The decoder checks a picture's rows padded to its widest vector alignment.
constexpr int kRowAlignment = 64;

void freeFrame(AVFrame* frame) { av_frame_free(&frame); }

std::shared_ptr<AVFrame> newFrame() { return {av_frame_alloc(), freeFrame}; }

bool isPlanar420(int format) { return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P; }

// Hosts tag their streams; an untagged one is read as hosts tag: BT.709 from 1280 x 720 up.
YuvMatrix matrixOf(const AVFrame& frame) {
    switch (frame.colorspace) {
        case AVCOL_SPC_BT709:
            return YuvMatrix::bt709;
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
        case AVCOL_SPC_SMPTE240M:
        case AVCOL_SPC_FCC:
            return YuvMatrix::bt601;
        default:
            return frame.width >= 1280 || frame.height >= 720 ? YuvMatrix::bt709 : YuvMatrix::bt601;
    }
}

bool fullRangeOf(const AVFrame& frame) {
    if (frame.color_range == AVCOL_RANGE_JPEG) return true;
    if (frame.color_range == AVCOL_RANGE_MPEG) return false;
    return frame.format == AV_PIX_FMT_YUVJ420P;
}

}  // namespace

YuvToRgb yuvToRgb(YuvMatrix matrix, bool fullRange) {
    const double kr = matrix == YuvMatrix::bt709 ? 0.2126 : 0.299;
    const double kb = matrix == YuvMatrix::bt709 ? 0.0722 : 0.114;
    const double kg = 1 - kr - kb;
    // Limited range puts black at 16 and white at 235, chroma within 16...240.
    const double luma = fullRange ? 1.0 : 255.0 / 219.0;
    const double chroma = fullRange ? 1.0 : 255.0 / 224.0;
    const auto f = [](double v) { return static_cast<float>(v); };
    YuvToRgb conversion;
    conversion.rows = {{
        {f(luma), 0.0f, f(2 * (1 - kr) * chroma)},
        {f(luma), f(-2 * kb * (1 - kb) / kg * chroma), f(-2 * kr * (1 - kr) / kg * chroma)},
        {f(luma), f(2 * (1 - kb) * chroma), 0.0f},
    }};
    conversion.offset = {fullRange ? 0.0f : f(16.0 / 255.0), f(128.0 / 255.0), f(128.0 / 255.0)};
    return conversion;
}

int Picture::width() const { return frame_->width; }
int Picture::height() const { return frame_->height; }
const std::uint8_t* Picture::plane(int index) const { return frame_->data[index]; }
int Picture::stride(int index) const { return frame_->linesize[index]; }
int Picture::planeWidth(int index) const { return index == 0 ? width() : (width() + 1) / 2; }
int Picture::planeHeight(int index) const { return index == 0 ? height() : (height() + 1) / 2; }

VideoDecoder::VideoDecoder() : packet_(av_packet_alloc()) {}

VideoDecoder::~VideoDecoder() {
    close();
    av_packet_free(&packet_);
    sws_freeContext(converter_);
}

std::int64_t VideoDecoder::maxPixels(const H264Format& format) {
    return std::int64_t{FFALIGN(format.width, kRowAlignment)} * format.height;
}

void VideoDecoder::close() {
    avcodec_free_context(&context_);
    format_.reset();
}

std::expected<void, DecodeError> VideoDecoder::open(const std::shared_ptr<const H264Format>& format) {
    close();
    awaitingKeyframe_ = true;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    context_ = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!context_) return std::unexpected(DecodeError{DecodeError::Kind::cannotOpen, AVERROR_DECODER_NOT_FOUND});
    const base::Bytes avcC = format->avcC();
    context_->extradata = static_cast<std::uint8_t*>(av_mallocz(avcC.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!context_->extradata) return std::unexpected(DecodeError{DecodeError::Kind::cannotOpen, AVERROR(ENOMEM)});
    std::memcpy(context_->extradata, avcC.data(), avcC.size());
    context_->extradata_size = static_cast<int>(avcC.size());
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    // Frame threads would hold each picture back by a frame per thread.
    context_->thread_type = FF_THREAD_SLICE;
    context_->thread_count = 0;
    // Damage is reported, not concealed: the failure path asks the host for a keyframe instead.
    context_->err_recognition |= AV_EF_EXPLODE;
    // The configuration's size was checked, its parameter sets were not.
    context_->max_pixels = maxPixels(*format);
    if (const int status = avcodec_open2(context_, codec, nullptr); status < 0) {
        close();
        return std::unexpected(DecodeError{DecodeError::Kind::cannotOpen, status});
    }
    format_ = format;
    return {};
}

void VideoDecoder::flush() {
    if (context_) avcodec_flush_buffers(context_);
    awaitingKeyframe_ = true;
}

std::expected<std::optional<Picture>, DecodeError> VideoDecoder::decode(const VideoSample& sample) {
    if (!sample.format) return std::unexpected(DecodeError{DecodeError::Kind::cannotOpen});
    if (!context_ || (format_ != sample.format && *format_ != *sample.format)) {
        if (auto opened = open(sample.format); !opened) return std::unexpected(opened.error());
    }
    if (awaitingKeyframe_ && !sample.keyframe) return std::unexpected(DecodeError{DecodeError::Kind::awaitingKeyframe});
    awaitingKeyframe_ = false;

    const auto fail = [this](DecodeError::Kind kind, int status) {
        flush();
        return std::unexpected(DecodeError{kind, status});
    };
    if (const int status = av_new_packet(packet_, static_cast<int>(sample.avcc.size())); status < 0)
        return fail(DecodeError::Kind::invalidData, status);
    std::memcpy(packet_->data, sample.avcc.data(), sample.avcc.size());
    const int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (sent < 0) return fail(DecodeError::Kind::invalidData, sent);

    std::shared_ptr<AVFrame> decoded;
    for (;;) {
        auto frame = newFrame();
        const int status = avcodec_receive_frame(context_, frame.get());
        if (status == AVERROR(EAGAIN)) break;
        if (status < 0) return fail(DecodeError::Kind::invalidData, status);
        decoded = std::move(frame);
    }
    if (!decoded) return std::optional<Picture>();
    if ((decoded->flags & AV_FRAME_FLAG_CORRUPT) || decoded->decode_error_flags)
        return fail(DecodeError::Kind::corruptPicture, 0);
    auto result = picture(std::move(decoded));
    if (!result) return std::unexpected(result.error());
    return std::optional(std::move(*result));
}

// Streams in another layout (4:4:4, more bits) are rare; they are converted so that painting
// knows one layout only.
std::expected<Picture, DecodeError> VideoDecoder::picture(std::shared_ptr<AVFrame> frame) {
    const YuvMatrix matrix = matrixOf(*frame);
    const bool fullRange = fullRangeOf(*frame);
    if (isPlanar420(frame->format)) return Picture(std::move(frame), matrix, fullRange);
    auto converted = newFrame();
    converted->format = AV_PIX_FMT_YUV420P;
    converted->width = frame->width;
    converted->height = frame->height;
    converter_ =
        sws_getCachedContext(converter_, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                             frame->width, frame->height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!converter_ || av_frame_get_buffer(converted.get(), 0) < 0 ||
        sws_scale_frame(converter_, converted.get(), frame.get()) < 0) {
        flush();
        return std::unexpected(DecodeError{DecodeError::Kind::invalidData});
    }
    return Picture(std::move(converted), matrix, fullRange);
}

}  // namespace orvanta::client
