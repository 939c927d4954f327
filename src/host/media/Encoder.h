// H.264 for the video channel: libx264 through libavcodec, tuned for latency (no B-frames, no
// look-ahead, one output per input), its bit rate changeable while it runs. Access units leave as
// 4-byte big-endian length-prefixed NAL units; SPS and PPS are reported apart, once per change.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "base/Bytes.h"
#include "host/media/PixelBuffer.h"

namespace orvanta::host {

// x264 speed settings. bench/video_pipeline.cpp encodes 1080p desktop pictures at two threads on
// two cores (a busy machine, median of four runs): "ultrafast" (kept High profile, below) 8.8 ms
// a frame, p95 13.1 ms; "superfast" 11.5 ms, p95 15.3 ms; "veryfast" p95 18-20 ms, over the
// 16.7 ms a frame has at 60 per second. So "ultrafast", with a slice thread for every core the
// process may run on up to four: on a busy 8-core machine a scrolling 1080p frame took 8.1 ms
// (p95 13.0 ms) with four, 9.4 ms (p95 15.7 ms) with two.
struct EncoderTuning {
    static constexpr int kMaxThreads = 4;
    // The cores this process may run on (its affinity, not the machine's count), at most kMaxThreads.
    static int availableThreads();

    const char* preset = "ultrafast";
    int threads = availableThreads();
};

// What the video sender adjusts on the encoder.
class BitRateControl {
public:
    virtual ~BitRateControl() = default;
    virtual std::int64_t initialBitRate() const = 0;
    // Applied before the encoder's next frame.
    virtual void setPendingBitRate(std::int64_t rate) = 0;
};

class Encoder final : public BitRateControl {
public:
    using LogSink = std::function<void(std::string_view)>;

    static constexpr int kFramesPerSecond = 60;
    static constexpr int kKeyframeInterval = 600;

    // The starting rate for a size: 0.35 bits per pixel at 60 frames per second, within 12 and 72 Mbit/s.
    static std::int64_t initialBitRate(std::int64_t width, std::int64_t height);
    // Bytes allowed in any half second for a rate: 1.5 times the rate.
    static std::int64_t dataRateLimitBytes(std::int64_t rate) { return rate * 3 / 32; }

    Encoder(std::int64_t width, std::int64_t height, LogSink log = {}, EncoderTuning tuning = {});
    ~Encoder() override;
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Opens the codec. False (and the encoder stays unusable) for a size the encoder cannot take
    // or a codec that fails to open.
    bool start();
    // From the capture's frame queue. Outputs are called back on this thread, in order.
    void encode(const std::shared_ptr<const PixelBuffer>& picture, std::uint64_t ptsMicros);
    // Any thread. Outputs in flight are ignored, later frames dropped; the codec is closed off the
    // caller's thread once a submission in progress ends.
    void invalidate();
    // Any thread: the next frame is an IDR picture.
    void forceKeyframe();
    // Any thread: applied before the next frame.
    void setPendingBitRate(std::int64_t rate) override;

    std::int64_t width() const { return width_; }
    std::int64_t height() const { return height_; }
    std::int64_t initialBitRate() const override { return initialBitRate(width_, height_); }
    bool failed() const;

    // Set before frames arrive. Never called while the encoder's lock is held.
    std::function<void(base::Bytes avcc, bool isKey, std::uint64_t ptsMicros)> onEncoded;
    std::function<void(base::Bytes sps, base::Bytes pps)> onParameters;

private:
    struct Session;

    void applyBitRate(Session& session, std::int64_t rate);
    bool submit(Session& session, const std::shared_ptr<const PixelBuffer>& picture, std::uint64_t ptsMicros,
                bool forceKey);
    void deliver(Session& session);
    void reportParameters(const Session& session);
    void markFailed(std::string_view line);
    void log(std::string_view line) const;

    const std::int64_t width_;
    const std::int64_t height_;
    const LogSink log_;
    const EncoderTuning tuning_;

    mutable std::mutex lock_;  // guards the fields below; never held across codec calls or callbacks
    std::shared_ptr<Session> session_;
    bool forceNext_ = true;
    bool failed_ = false;
    bool invalidated_ = false;
    std::optional<std::int64_t> pendingBitRate_;

    // Touched only by the submitting thread.
    std::optional<base::Bytes> lastSPS_;
    std::optional<base::Bytes> lastPPS_;
};

// Splits an Annex B stream at its start codes into NAL units (without start codes).
std::vector<base::ByteView> annexBUnits(base::ByteView stream);

}  // namespace orvanta::host
