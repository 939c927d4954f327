#include "host/media/AACEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "host/transport/Support.h"

namespace orvanta::host {

// One opened libavcodec encoder with the FIFO that cuts the input into its fixed frames.
struct AACEncoder::Codec {
    AVCodecContext* context = nullptr;
    AVAudioFifo* fifo = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    std::vector<std::vector<float>> planes;  // de-interleaving scratch, one per channel
    std::int64_t framesSent = 0;

    ~Codec() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        if (fifo) av_audio_fifo_free(fifo);
        avcodec_free_context(&context);
    }

    static std::unique_ptr<Codec> open(const protocol::AudioFormat& format) {
        const AVCodec* encoder = avcodec_find_encoder_by_name("aac");
        if (!encoder) return nullptr;
        auto codec = std::make_unique<Codec>();
        codec->context = avcodec_alloc_context3(encoder);
        if (!codec->context) return nullptr;
        AVCodecContext& context = *codec->context;
        context.sample_fmt = AV_SAMPLE_FMT_FLTP;
        context.sample_rate = static_cast<int>(format.sampleRate);
        av_channel_layout_default(&context.ch_layout, static_cast<int>(format.channels));
        context.bit_rate = kBitRate;
        context.profile = FF_PROFILE_AAC_LOW;
        context.time_base = AVRational{1, context.sample_rate};
        if (avcodec_open2(codec->context, encoder, nullptr) < 0) return nullptr;
        if (context.frame_size != format.samplesPerFrame) return nullptr;

        codec->fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, context.ch_layout.nb_channels, 2 * context.frame_size);
        codec->frame = av_frame_alloc();
        codec->packet = av_packet_alloc();
        if (!codec->fifo || !codec->frame || !codec->packet) return nullptr;
        codec->frame->nb_samples = context.frame_size;
        codec->frame->format = AV_SAMPLE_FMT_FLTP;
        codec->frame->sample_rate = context.sample_rate;
        if (av_channel_layout_copy(&codec->frame->ch_layout, &context.ch_layout) < 0) return nullptr;
        if (av_frame_get_buffer(codec->frame, 0) < 0) return nullptr;
        codec->planes.resize(static_cast<std::size_t>(context.ch_layout.nb_channels));
        return codec;
    }

    // Appends interleaved samples (nullptr: silence) to the FIFO.
    bool write(const float* interleaved, std::size_t frames) {
        for (std::size_t channel = 0; channel < planes.size(); ++channel) {
            auto& plane = planes[channel];
            plane.resize(frames);
            for (std::size_t i = 0; i < frames; ++i) {
                plane[i] = interleaved ? interleaved[i * planes.size() + channel] : 0.0f;
            }
        }
        std::vector<void*> data;
        for (auto& plane : planes) data.push_back(plane.data());
        return av_audio_fifo_write(fifo, data.data(), static_cast<int>(frames)) == static_cast<int>(frames);
    }
};

namespace {

std::string formatGapLine(const char* pattern, double expected, double seconds, double durationMs, long long frames) {
    char line[200];
    std::snprintf(line, sizeof line, pattern, expected, seconds, durationMs, frames);
    return line;
}

}  // namespace

AACEncoder::AACEncoder(protocol::AudioFormat format, LogSink log)
    : format_(std::move(format)), log_(log ? std::move(log) : LogSink(Log::info)) {}

AACEncoder::~AACEncoder() = default;

void AACEncoder::encode(const platform::PcmBuffer& buffer, const IsActive& isActive, const Emit& emit) {
    const std::size_t frames = buffer.frames();
    const double seconds = buffer.seconds;
    if (frames == 0 || !std::isfinite(seconds)) return;
    if (!inputFormat_ || *inputFormat_ != buffer.format) {
        if (!makeConverter(buffer.format)) return;
        restart();
    }

    const double rate = buffer.format.sampleRate;
    const double expected = expectedInputSeconds_.value_or(seconds);
    const double exactGap = std::round(rate * (seconds - expected));
    if (!(std::abs(exactGap) < 9.2e18)) return;  // also NaN: no 64-bit frame count
    std::int64_t gap = static_cast<std::int64_t>(exactGap);

    if (gap > static_cast<std::int64_t>(rate * kMaxSilenceGapSeconds)) {
        log_(
            formatGapLine("audio capture gap too long, restarting timeline start_pts_s=%.6f resume_pts_s=%.6f "
                          "duration_ms=%.3f frames=%lld",
                          expected, seconds, static_cast<double>(gap) * 1000 / rate, static_cast<long long>(gap)));
        if (!makeConverter(buffer.format)) return;
        restart();
        gap = 0;
    } else if (gap >= 1) {
        log_(formatGapLine("audio capture gap start_pts_s=%.6f resume_pts_s=%.6f duration_ms=%.3f silence_frames=%lld",
                           expected, seconds, static_cast<double>(gap) * 1000 / rate, static_cast<long long>(gap)));
        const std::int64_t chunk = std::min<std::int64_t>(gap, format_.samplesPerFrame);
        for (std::int64_t remaining = gap; remaining > 0; remaining -= std::min(remaining, chunk)) {
            if (!isActive()) return;
            if (!appendSilence(std::min(remaining, chunk))) return;
            drain(emit);
            if (!anchorSeconds_) break;
        }
    }

    double start = seconds;
    if (!anchorSeconds_) {
        anchorSeconds_ = seconds;
    } else if (seconds >= expected - kStepBackSeconds) {
        start = expected + static_cast<double>(std::max<std::int64_t>(gap, 0)) / rate;
    }
    expectedInputSeconds_ = start + static_cast<double>(frames) / rate;
    append(buffer);
    drain(emit);
}

bool AACEncoder::makeConverter(platform::PcmFormat input) {
    codec_.reset();
    inputFormat_.reset();
    // The capture asks the server for the stream's own rate and layout; anything else is refused
    // rather than resampled.
    if (input.sampleRate == format_.sampleRate && input.channels == format_.channels) codec_ = Codec::open(format_);
    if (!codec_) {
        log_("audio: cannot create AAC encoder for input " + std::to_string(input.sampleRate) + "Hz " +
             std::to_string(input.channels) + "ch");
        return false;
    }
    if (codec_->context->initial_padding > 0) leadingFrames_ = codec_->context->initial_padding;
    inputFormat_ = input;
    return true;
}

void AACEncoder::restart() {
    if (codec_) av_audio_fifo_reset(codec_->fifo);
    anchorSeconds_.reset();
    expectedInputSeconds_.reset();
    outputPackets_ = 0;
    nextIsDiscontinuity_ = true;
}

bool AACEncoder::appendSilence(std::int64_t frames) {
    return codec_ && codec_->write(nullptr, static_cast<std::size_t>(frames));
}

void AACEncoder::append(const platform::PcmBuffer& buffer) {
    if (codec_) codec_->write(buffer.samples.data(), buffer.frames());
}

void AACEncoder::drain(const Emit& emit) {
    if (!codec_ || !anchorSeconds_) return;
    Codec& codec = *codec_;
    const int frameSize = codec.context->frame_size;
    while (av_audio_fifo_size(codec.fifo) >= frameSize) {
        int status = av_frame_make_writable(codec.frame);
        if (status >= 0) {
            status = av_audio_fifo_read(codec.fifo, reinterpret_cast<void**>(codec.frame->data), frameSize);
        }
        if (status >= 0) {
            codec.frame->pts = codec.framesSent;
            codec.framesSent += frameSize;
            status = avcodec_send_frame(codec.context, codec.frame);
        }
        if (status < 0) return fail(status);
        if (!emitReceived(emit)) return;
    }
}

// Hands out every packet the encoder has ready; false when it failed and the timeline restarted.
bool AACEncoder::emitReceived(const Emit& emit) {
    Codec& codec = *codec_;
    for (;;) {
        const int status = avcodec_receive_packet(codec.context, codec.packet);
        if (status == AVERROR(EAGAIN)) return true;
        if (status < 0) {
            fail(status);
            return false;
        }
        const AVPacket& packet = *codec.packet;
        if (packet.size > 0 && static_cast<std::uint32_t>(packet.size) <= protocol::AudioFormat::maxPayloadLength) {
            const std::int64_t n = outputPackets_++;
            const double ptsSeconds =
                *anchorSeconds_ + static_cast<double>(n * format_.samplesPerFrame - leadingFrames_) /
                                      static_cast<double>(format_.sampleRate);
            const auto pts = static_cast<std::uint64_t>(std::max(ptsSeconds * 1'000'000, 0.0));
            emit(base::Bytes(packet.data, packet.data + packet.size), pts, nextIsDiscontinuity_);
            nextIsDiscontinuity_ = false;
        }
        av_packet_unref(codec.packet);
    }
}

void AACEncoder::fail(int code) {
    log_("audio: encode error " + std::to_string(code));
    const platform::PcmFormat input = *inputFormat_;
    if (makeConverter(input)) restart();
}

}  // namespace orvanta::host
