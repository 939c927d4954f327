// The session's H.264 samples decoded by libavcodec into 8-bit 4:2:0 pictures that carry their own
// colour matrix and range. Low delay and slice threads only, so each access unit gives its picture
// from its own decode call. Free of Qt, so it is tested without a display.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>

#include "client/session/StreamAssembler.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace orvanta::client {

enum class YuvMatrix { bt601, bt709 };

// Y'CbCr samples (each 0...1 as stored) to R'G'B': rgb = rows x (yuv - offset), range included.
struct YuvToRgb {
    std::array<std::array<float, 3>, 3> rows{};
    std::array<float, 3> offset{};
};
YuvToRgb yuvToRgb(YuvMatrix matrix, bool fullRange);

// One decoded picture, sharing its planes with the decoder's pool by reference.
class Picture {
public:
    static constexpr int kPlanes = 3;

    int width() const;
    int height() const;
    // Plane 0 is luma at full size; planes 1 and 2 are Cb and Cr at half size, rounded up.
    const std::uint8_t* plane(int index) const;
    int stride(int index) const;
    int planeWidth(int index) const;
    int planeHeight(int index) const;
    YuvMatrix matrix() const { return matrix_; }
    bool fullRange() const { return fullRange_; }
    // For libswscale, which takes the frame itself.
    const AVFrame* frame() const { return frame_.get(); }

private:
    friend class VideoDecoder;
    Picture(std::shared_ptr<AVFrame> frame, YuvMatrix matrix, bool fullRange)
        : frame_(std::move(frame)), matrix_(matrix), fullRange_(fullRange) {}

    std::shared_ptr<AVFrame> frame_;
    YuvMatrix matrix_;
    bool fullRange_;
};

// Why a sample gave no picture; `status` is libavcodec's error code where it gave one.
struct DecodeError {
    enum class Kind {
        cannotOpen,        // the parameter sets or the size were refused
        awaitingKeyframe,  // a frame that needs earlier ones, after an open or a flush
        invalidData,       // the decoder refused the access unit
        corruptPicture,    // the decoder concealed damage in the picture
    };
    Kind kind;
    int status = 0;
    bool operator==(const DecodeError&) const = default;
};

class VideoDecoder {
public:
    VideoDecoder();
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Opens the decoder again whenever the sample's format differs from the one it was opened
    // with: extradata is read only when opening. No picture and no error means the decoder holds
    // the picture back, which low delay rules out for the streams hosts send.
    std::expected<std::optional<Picture>, DecodeError> decode(const VideoSample& sample);
    // Drops the decoder's references; the next sample must be a keyframe.
    void flush();

    // The most pixels a picture of a format may have: the configured size, with the row padding
    // the decoder checks it with.
    static std::int64_t maxPixels(const H264Format& format);

private:
    std::expected<void, DecodeError> open(const std::shared_ptr<const H264Format>& format);
    void close();
    std::expected<Picture, DecodeError> picture(std::shared_ptr<AVFrame> frame);

    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* converter_ = nullptr;
    std::shared_ptr<const H264Format> format_;
    bool awaitingKeyframe_ = true;
};

}  // namespace orvanta::client
