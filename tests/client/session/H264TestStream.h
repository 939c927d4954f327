// A few frames of real H.264 from libx264 for the assembler's tests: SPS and PPS apart, access
// units with 4-byte lengths, and a decoder that takes avcC extradata.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <optional>
#include <vector>

#include "base/Bytes.h"

namespace orvanta::testing {

struct H264TestStream {
    base::Bytes sps, pps;
    std::vector<base::Bytes> accessUnits;  // AVCC, first one a keyframe
};

// Splits Annex B bytes at start codes.
inline std::vector<base::Bytes> annexBUnits(const std::uint8_t* data, std::size_t size) {
    std::vector<base::Bytes> units;
    std::size_t i = 0, start = std::string::npos;
    while (i + 3 <= size) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (start != std::string::npos) {
                std::size_t end = i;
                while (end > start && data[end - 1] == 0) --end;
                units.emplace_back(data + start, data + end);
            }
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != std::string::npos && start < size) units.emplace_back(data + start, data + size);
    return units;
}

inline H264TestStream encodeTestStream(int width, int height, int frames) {
    H264TestStream stream;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->width = width;
    c->height = height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = {1, 60};
    c->gop_size = 600;
    c->max_b_frames = 0;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", "ultrafast", 0);
    av_dict_set(&options, "tune", "zerolatency", 0);
    if (avcodec_open2(c, codec, &options) < 0) return stream;
    av_dict_free(&options);
    for (const auto& unit : annexBUnits(c->extradata, static_cast<std::size_t>(c->extradata_size))) {
        if ((unit[0] & 0x1F) == 7) stream.sps = unit;
        if ((unit[0] & 0x1F) == 8) stream.pps = unit;
    }
    AVFrame* frame = av_frame_alloc();
    frame->format = c->pix_fmt;
    frame->width = width;
    frame->height = height;
    av_frame_get_buffer(frame, 0);
    AVPacket* packet = av_packet_alloc();
    for (int n = 0; n < frames; ++n) {
        av_frame_make_writable(frame);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) frame->data[0][y * frame->linesize[0] + x] = static_cast<std::uint8_t>(x + y + n * 3);
        for (int p = 1; p < 3; ++p)
            for (int y = 0; y < height / 2; ++y)
                for (int x = 0; x < width / 2; ++x) frame->data[p][y * frame->linesize[p] + x] = 128;
        frame->pts = n;
        avcodec_send_frame(c, frame);
        while (avcodec_receive_packet(c, packet) == 0) {
            base::Bytes avcc;
            for (const auto& unit : annexBUnits(packet->data, static_cast<std::size_t>(packet->size))) {
                const int type = unit[0] & 0x1F;
                if (type == 7 || type == 8) continue;
                for (int shift = 24; shift >= 0; shift -= 8) avcc.push_back(static_cast<std::uint8_t>(unit.size() >> shift));
                avcc.insert(avcc.end(), unit.begin(), unit.end());
            }
            stream.accessUnits.push_back(std::move(avcc));
            av_packet_unref(packet);
        }
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&c);
    return stream;
}

// Decodes AVCC access units with libavcodec from avcC extradata; the pictures' sizes.
inline std::vector<std::pair<int, int>> decodeAvcc(const base::Bytes& avcC, const std::vector<base::Bytes>& units) {
    std::vector<std::pair<int, int>> sizes;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->extradata = static_cast<std::uint8_t*>(av_mallocz(avcC.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(avcC.begin(), avcC.end(), c->extradata);
    c->extradata_size = static_cast<int>(avcC.size());
    if (avcodec_open2(c, codec, nullptr) < 0) return sizes;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    for (const auto& unit : units) {
        av_new_packet(packet, static_cast<int>(unit.size()));
        std::copy(unit.begin(), unit.end(), packet->data);
        avcodec_send_packet(c, packet);
        av_packet_unref(packet);
        while (avcodec_receive_frame(c, frame) == 0) sizes.emplace_back(frame->width, frame->height);
    }
    avcodec_send_packet(c, nullptr);
    while (avcodec_receive_frame(c, frame) == 0) sizes.emplace_back(frame->width, frame->height);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&c);
    return sizes;
}

}  // namespace orvanta::testing
