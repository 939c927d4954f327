// An AAC decoder over raw packets of the host's offer, for tests that check a tone survived.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "base/Bytes.h"
#include "protocol/AudioFormat.h"
#include "support/ToneSignal.h"

namespace orvanta::testing {

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

}  // namespace orvanta::testing
