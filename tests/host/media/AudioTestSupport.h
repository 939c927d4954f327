// Test-side audio helpers: a continuous sine source, an AAC decoder over raw packets, and the
// measurements that say a tone survived.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <cmath>
#include <cstdint>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "base/Bytes.h"
#include "protocol/AudioFormat.h"

namespace orvanta::testing {

// Interleaved stereo float samples of one sine, phase-continuous across calls.
class SineSource {
public:
    SineSource(double hertz, float level, int rate = 48000) : hertz_(hertz), level_(level), rate_(rate) {}

    std::vector<float> next(std::size_t frames) {
        std::vector<float> samples(frames * 2);
        for (std::size_t i = 0; i < frames; ++i) {
            const auto value =
                static_cast<float>(level_ * std::sin(2 * std::numbers::pi * hertz_ * static_cast<double>(n_++) / rate_));
            samples[2 * i] = samples[2 * i + 1] = value;
        }
        return samples;
    }

private:
    double hertz_;
    float level_;
    int rate_;
    std::int64_t n_ = 0;
};

// Decodes raw AAC-LC packets of the host's offer to the left channel's samples.
class AacDecoder {
public:
    AacDecoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
        context_ = avcodec_alloc_context3(codec);
        const auto& asc = protocol::AudioFormat::aacLC48kStereo().asc;
        context_->extradata = static_cast<std::uint8_t*>(av_mallocz(asc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::copy(asc.begin(), asc.end(), context_->extradata);
        context_->extradata_size = static_cast<int>(asc.size());
        context_->sample_rate = 48000;
        av_channel_layout_default(&context_->ch_layout, 2);
        if (avcodec_open2(context_, codec, nullptr) < 0) throw std::runtime_error("no AAC decoder");
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
    }
    ~AacDecoder() {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&context_);
    }
    AacDecoder(const AacDecoder&) = delete;
    AacDecoder& operator=(const AacDecoder&) = delete;

    // False when the decoder refused the packet.
    bool decode(const base::Bytes& data) {
        if (av_new_packet(packet_, static_cast<int>(data.size())) < 0) return false;
        std::copy(data.begin(), data.end(), packet_->data);
        const int sent = avcodec_send_packet(context_, packet_);
        av_packet_unref(packet_);
        if (sent < 0) return false;
        while (avcodec_receive_frame(context_, frame_) == 0) {
            const auto* left = reinterpret_cast<const float*>(frame_->extended_data[0]);
            samples.insert(samples.end(), left, left + frame_->nb_samples);
        }
        return true;
    }

    std::vector<float> samples;

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

// Root mean square of `samples`.
inline double rms(const std::vector<float>& samples, std::size_t from, std::size_t count) {
    double sum = 0;
    for (std::size_t i = from; i < from + count; ++i) sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / static_cast<double>(count));
}

// Frequency from the rising zero crossings of a clean tone.
inline double toneHertz(const std::vector<float>& samples, std::size_t from, std::size_t count, int rate = 48000) {
    std::size_t first = 0, last = 0, crossings = 0;
    for (std::size_t i = from + 1; i < from + count; ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            if (crossings++ == 0) first = i;
            last = i;
        }
    }
    if (crossings < 2) return 0;
    return static_cast<double>(crossings - 1) * rate / static_cast<double>(last - first);
}

}  // namespace orvanta::testing
