// The client's side of the video payload in tests: AVCC access units walked and checked, and
// libavcodec's H.264 decoder fed as the client feeds it (parameter sets first, then Annex B).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "base/Bytes.h"

namespace orvanta::testing {

// The NAL units of an AVCC access unit; fails the test when the lengths do not tile it exactly.
inline std::vector<base::ByteView> walkAvcc(base::ByteView avcc) {
    std::vector<base::ByteView> units;
    std::size_t offset = 0;
    while (offset < avcc.size()) {
        EXPECT_LE(offset + 4, avcc.size()) << "truncated length";
        if (offset + 4 > avcc.size()) break;
        const auto length = base::readBigEndian<std::uint32_t>(avcc.subspan(offset));
        EXPECT_GT(length, 0u);
        EXPECT_LE(offset + 4 + length, avcc.size()) << "length past the end";
        if (offset + 4 + length > avcc.size()) break;
        units.push_back(avcc.subspan(offset + 4, length));
        offset += 4 + length;
    }
    return units;
}

// libavcodec's H.264 decoder fed as the client feeds it: parameter sets, then AVCC access units.
class H264Decoder {
public:
    explicit H264Decoder(const std::pair<base::Bytes, base::Bytes>& parameterSets)
        : context_(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264))) {
        EXPECT_EQ(avcodec_open2(context_, nullptr, nullptr), 0);
        pending_ = {parameterSets.first, parameterSets.second};
    }
    ~H264Decoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&context_);
    }

    // The decoded picture, or null when none came out for this access unit.
    AVFrame* decode(base::ByteView avcc) {
        auto units = walkAvcc(avcc);
        base::Bytes bytes;
        for (const auto& set : pending_) appendUnit(bytes, set);
        pending_.clear();
        for (auto unit : units) appendUnit(bytes, unit);
        const auto size = static_cast<int>(bytes.size());
        bytes.resize(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        packet_->data = bytes.data();
        packet_->size = size;
        av_frame_unref(frame_);
        if (avcodec_send_packet(context_, packet_) != 0) return nullptr;
        return avcodec_receive_frame(context_, frame_) == 0 ? frame_ : nullptr;
    }

private:
    static void appendUnit(base::Bytes& out, base::ByteView unit) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), unit.begin(), unit.end());
    }

    AVCodecContext* context_;
    AVPacket* packet_ = av_packet_alloc();
    AVFrame* frame_ = av_frame_alloc();
    std::vector<base::Bytes> pending_;
};

}  // namespace orvanta::testing
