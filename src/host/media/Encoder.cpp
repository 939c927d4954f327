#include "host/media/Encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <sched.h>

#include <algorithm>
#include <string>

#include "base/DispatchQueue.h"
#include "host/transport/Support.h"

namespace orvanta::host {

namespace {

constexpr double kBitsPerPixel = 0.35;
constexpr double kMinBitRate = 12'000'000;
constexpr double kMaxBitRate = 72'000'000;
constexpr std::uint8_t kNalTypeMask = 0x1F;
constexpr std::uint8_t kNalSPS = 7;
constexpr std::uint8_t kNalPPS = 8;
constexpr std::uint8_t kNalAUD = 9;

// Closing x264 joins its threads: done here, off the owner's queue.
base::DispatchQueue& teardownQueue() {
    static base::DispatchQueue queue("zq2.enc.teardown");
    return queue;
}

std::string errorText(int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, text, sizeof text);
    return std::to_string(status) + " (" + text + ")";
}

std::uint8_t nalType(base::ByteView unit) { return unit.empty() ? 0 : unit[0] & kNalTypeMask; }

}  // namespace

std::vector<base::ByteView> annexBUnits(base::ByteView stream) {
    std::vector<base::ByteView> units;
    std::size_t start = std::string_view::npos;
    std::size_t i = 0;
    while (i + 2 < stream.size()) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            if (start != std::string_view::npos) {
                std::size_t end = i;
                while (end > start && stream[end - 1] == 0) --end;  // the zero of a 4-byte start code
                units.push_back(stream.subspan(start, end - start));
            }
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != std::string_view::npos && start < stream.size()) units.push_back(stream.subspan(start));
    return units;
}

struct Encoder::Session {
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;

    ~Session() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
    }
};

int EncoderTuning::availableThreads() {
    cpu_set_t cores;
    CPU_ZERO(&cores);
    const int count = sched_getaffinity(0, sizeof cores, &cores) == 0 ? CPU_COUNT(&cores) : 1;
    return std::clamp(count, 1, kMaxThreads);
}

std::int64_t Encoder::initialBitRate(std::int64_t width, std::int64_t height) {
    const double rate =
        static_cast<double>(width) * static_cast<double>(height) * Encoder::kFramesPerSecond * kBitsPerPixel;
    return static_cast<std::int64_t>(std::clamp(rate, kMinBitRate, kMaxBitRate));
}

Encoder::Encoder(std::int64_t width, std::int64_t height, LogSink log, EncoderTuning tuning)
    : width_(width), height_(height), log_(std::move(log)), tuning_(tuning) {}

Encoder::~Encoder() { invalidate(); }

void Encoder::log(std::string_view line) const {
    if (log_) {
        log_(line);
    } else {
        Log::info(line);
    }
}

void Encoder::markFailed(std::string_view line) {
    {
        std::lock_guard guard(lock_);
        failed_ = true;
    }
    log(line);
}

bool Encoder::failed() const {
    std::lock_guard guard(lock_);
    return failed_;
}

bool Encoder::start() {
    // Odd or tiny sizes never reach x264, which would reject or crop them.
    if (width_ < 2 || height_ < 2 || width_ % 2 != 0 || height_ % 2 != 0 || width_ > 8192 || height_ > 8192) {
        markFailed("encoder create failed: size " + std::to_string(width_) + "x" + std::to_string(height_));
        return false;
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        markFailed("encoder create failed: libx264 unavailable");
        return false;
    }
    auto session = std::make_shared<Session>();
    session->context = avcodec_alloc_context3(codec);
    session->frame = av_frame_alloc();
    session->packet = av_packet_alloc();
    if (!session->context || !session->frame || !session->packet) {
        markFailed("encoder create failed: out of memory");
        return false;
    }
    AVCodecContext* c = session->context;
    c->width = static_cast<int>(width_);
    c->height = static_cast<int>(height_);
    c->pix_fmt = AV_PIX_FMT_NV12;
    c->time_base = AVRational{1, 1'000'000};
    c->framerate = AVRational{kFramesPerSecond, 1};
    c->gop_size = kKeyframeInterval;
    c->max_b_frames = 0;
    c->thread_count = tuning_.threads;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    c->profile = FF_PROFILE_H264_HIGH;
    // Signalled in the SPS so the client converts with the matrix the capture used.
    const bool hd = usesBT709(width_, height_);
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    c->color_primaries = hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
    c->color_trc = hd ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
    av_opt_set(c->priv_data, "preset", tuning_.preset, 0);
    av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    av_opt_set(c->priv_data, "profile", "high", 0);
    // The fastest presets turn off what makes a stream High profile; these two keep it High.
    av_opt_set(c->priv_data, "x264-params", "cabac=1:8x8dct=1", 0);
    av_opt_set_int(c->priv_data, "forced-idr", 1, 0);
    applyBitRate(*session, initialBitRate());
    const int status = avcodec_open2(c, codec, nullptr);
    if (status < 0) {
        markFailed("encoder create failed: " + errorText(status));
        return false;
    }
    std::lock_guard guard(lock_);
    if (invalidated_) return false;
    session_ = std::move(session);
    return true;
}

void Encoder::applyBitRate(Session& session, std::int64_t rate) {
    // libx264 reconfigures itself before the next frame when these change; no reopen is needed.
    AVCodecContext* c = session.context;
    c->bit_rate = rate;
    c->rc_max_rate = rate * 3 / 2;
    c->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(dataRateLimitBytes(rate) * 8, INT32_MAX));
    log("encoder " + std::to_string(width_) + "x" + std::to_string(height_) + " bitrate " + std::to_string(rate) +
        " bps, DataRateLimits " + std::to_string(dataRateLimitBytes(rate)) + " bytes/0.5s status 0");
}

void Encoder::forceKeyframe() {
    std::lock_guard guard(lock_);
    if (!invalidated_) forceNext_ = true;
}

void Encoder::setPendingBitRate(std::int64_t rate) {
    std::lock_guard guard(lock_);
    pendingBitRate_ = rate;
}

void Encoder::invalidate() {
    std::shared_ptr<Session> session;
    {
        std::lock_guard guard(lock_);
        invalidated_ = true;
        session = std::move(session_);
    }
    // A submission in progress holds its own reference: the codec closes when it ends.
    if (session) teardownQueue().async([session = std::move(session)]() mutable { session.reset(); });
}

void Encoder::encode(const std::shared_ptr<const PixelBuffer>& picture, std::uint64_t ptsMicros) {
    std::shared_ptr<Session> session;
    bool forceKey = false;
    std::optional<std::int64_t> rate;
    {
        std::lock_guard guard(lock_);
        if (!session_ || failed_ || invalidated_) return;
        session = session_;
        forceKey = std::exchange(forceNext_, false);
        rate = std::exchange(pendingBitRate_, std::nullopt);
    }
    if (!picture || picture->width() != width_ || picture->height() != height_) return;
    if (rate) applyBitRate(*session, *rate);
    if (!submit(*session, picture, ptsMicros, forceKey)) return;
    deliver(*session);
}

bool Encoder::submit(Session& session, const std::shared_ptr<const PixelBuffer>& picture, std::uint64_t ptsMicros,
                     bool forceKey) {
    AVFrame* frame = session.frame;
    frame->format = AV_PIX_FMT_NV12;
    frame->width = static_cast<int>(width_);
    frame->height = static_cast<int>(height_);
    // The frame borrows the pooled picture (no copy); the reference keeps it out of the pool until
    // libavcodec lets go.
    auto* keep = new std::shared_ptr<const PixelBuffer>(picture);
    frame->buf[0] = av_buffer_create(
        const_cast<std::uint8_t*>(picture->luma()), 1,
        [](void* opaque, std::uint8_t*) { delete static_cast<std::shared_ptr<const PixelBuffer>*>(opaque); }, keep,
        AV_BUFFER_FLAG_READONLY);
    if (!frame->buf[0]) {
        delete keep;
        return false;
    }
    frame->data[0] = const_cast<std::uint8_t*>(picture->luma());
    frame->data[1] = const_cast<std::uint8_t*>(picture->chroma());
    frame->linesize[0] = picture->lumaStride();
    frame->linesize[1] = picture->chromaStride();
    frame->pts = static_cast<std::int64_t>(ptsMicros);
    frame->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    const int status = avcodec_send_frame(session.context, frame);
    av_frame_unref(frame);
    if (status < 0) {
        markFailed("encoder encode failed: " + errorText(status));
        return false;
    }
    return true;
}

void Encoder::deliver(Session& session) {
    while (avcodec_receive_packet(session.context, session.packet) == 0) {
        AVPacket* packet = session.packet;
        bool invalidated = false;
        {
            std::lock_guard guard(lock_);
            invalidated = invalidated_;
        }
        if (!invalidated) {
            reportParameters(session);
            base::Bytes avcc;
            avcc.reserve(static_cast<std::size_t>(packet->size) + 16);
            for (base::ByteView unit : annexBUnits({packet->data, static_cast<std::size_t>(packet->size)})) {
                const std::uint8_t type = nalType(unit);
                if (unit.empty() || type == kNalSPS || type == kNalPPS || type == kNalAUD) continue;
                base::appendBigEndian(avcc, static_cast<std::uint32_t>(unit.size()));
                avcc.insert(avcc.end(), unit.begin(), unit.end());
            }
            const bool isKey = (packet->flags & AV_PKT_FLAG_KEY) != 0;
            const auto pts = static_cast<std::uint64_t>(std::max<std::int64_t>(packet->pts, 0));
            if (onEncoded && !avcc.empty()) onEncoded(std::move(avcc), isKey, pts);
        }
        av_packet_unref(packet);
    }
}

void Encoder::reportParameters(const Session& session) {
    const AVCodecContext* c = session.context;
    if (!c->extradata || c->extradata_size <= 0) return;
    std::optional<base::Bytes> sps;
    std::optional<base::Bytes> pps;
    for (base::ByteView unit : annexBUnits({c->extradata, static_cast<std::size_t>(c->extradata_size)})) {
        if (nalType(unit) == kNalSPS && !sps) sps.emplace(unit.begin(), unit.end());
        if (nalType(unit) == kNalPPS && !pps) pps.emplace(unit.begin(), unit.end());
    }
    if (!sps || !pps || (sps == lastSPS_ && pps == lastPPS_)) return;
    lastSPS_ = sps;
    lastPPS_ = pps;
    if (onParameters) onParameters(std::move(*sps), std::move(*pps));
}

}  // namespace orvanta::host
