// AAC-LC packets of a sine tone made with libavcodec's encoder, and the frequency of decoded PCM,
// for tests of audio decoding and playback.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cmath>
#include <numbers>
#include <vector>

#include "base/Bytes.h"

namespace orvanta::testing {

// `count` access units of a `hertz` tone at 48 kHz stereo, 1024 samples each.
inline std::vector<base::Bytes> aacTonePackets(int count, double hertz = 1000.0, float level = 0.5f) {
    std::vector<base::Bytes> packets;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->sample_rate = 48'000;
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->bit_rate = 128'000;
    av_channel_layout_default(&c->ch_layout, 2);
    if (avcodec_open2(c, codec, nullptr) < 0) return packets;
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    long sample = 0;
    auto drain = [&] {
        while (avcodec_receive_packet(c, packet) == 0) {
            packets.emplace_back(packet->data, packet->data + packet->size);
            av_packet_unref(packet);
        }
    };
    // The encoder holds frames back; feed until enough packets come out.
    while (static_cast<int>(packets.size()) < count) {
        frame->nb_samples = c->frame_size;
        frame->format = c->sample_fmt;
        av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
        av_frame_get_buffer(frame, 0);
        for (int i = 0; i < frame->nb_samples; ++i, ++sample) {
            const float value = level * static_cast<float>(std::sin(2 * std::numbers::pi * hertz * sample / 48'000.0));
            for (int ch = 0; ch < 2; ++ch) reinterpret_cast<float*>(frame->extended_data[ch])[i] = value;
        }
        frame->pts = sample;
        avcodec_send_frame(c, frame);
        av_frame_unref(frame);
        drain();
    }
    packets.resize(static_cast<std::size_t>(count));
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&c);
    return packets;
}

// The tone's frequency from zero crossings, and its peak.
struct ToneMeasure {
    double hertz = 0;
    float peak = 0;
};
inline ToneMeasure measureTone(const std::vector<float>& samples, int rate = 48'000) {
    ToneMeasure m;
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if ((samples[i - 1] < 0) != (samples[i] < 0)) ++crossings;
        m.peak = std::max(m.peak, std::abs(samples[i]));
    }
    m.hertz = samples.empty() ? 0 : crossings / 2.0 / (static_cast<double>(samples.size()) / rate);
    return m;
}

}  // namespace orvanta::testing
