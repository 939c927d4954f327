// Pictures made into the session's video samples exactly as the host makes them: converted to
// NV12 by the capture's converter and encoded by the host's encoder (libx264 with its settings),
// then wrapped as the stream assembler wraps each access unit. For tests and benchmarks that link
// the host's media library.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "client/session/StreamAssembler.h"
#include "host/media/CaptureConverter.h"
#include "host/media/Encoder.h"

namespace orvanta::testing {

struct HostVideoStream {
    std::shared_ptr<const client::H264Format> format;
    std::vector<std::shared_ptr<const client::VideoSample>> samples;  // the first is a keyframe
};

// `pictures` are BGRX rows of `width` x `height` pixels, one a frame at 60 a second.
inline HostVideoStream encodeAsHost(const std::vector<std::vector<std::uint32_t>>& pictures, int width, int height,
                                    std::uint16_t gen = 1) {
    HostVideoStream stream;
    host::CaptureConverter converter({width, height});
    host::Encoder encoder(width, height, [](std::string_view) {});
    base::Bytes sps, pps;
    encoder.onParameters = [&](base::Bytes s, base::Bytes p) {
        sps = std::move(s);
        pps = std::move(p);
    };
    std::uint32_t seq = 0;
    encoder.onEncoded = [&](base::Bytes avcc, bool isKey, std::uint64_t pts) {
        if (!stream.format || stream.format->sps != sps || stream.format->pps != pps)
            stream.format = std::make_shared<const client::H264Format>(client::H264Format{width, height, sps, pps});
        auto sample = std::make_shared<client::VideoSample>();
        sample->format = stream.format;
        sample->avcc = std::move(avcc);
        sample->hostPtsMicros = pts;
        sample->gen = gen;
        sample->seq = ++seq;
        sample->keyframe = isKey;
        stream.samples.push_back(std::move(sample));
    };
    if (!encoder.start()) return stream;
    const platform::ScreenRect whole{0, 0, static_cast<double>(width), static_cast<double>(height)};
    std::uint64_t pts = 0;
    for (const auto& picture : pictures) {
        const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(picture.data()),
                                                  picture.size() * sizeof(std::uint32_t));
        const platform::ScreenImage image{bytes, width, height, width * 4, pts};
        if (auto buffer = converter.convert(image, whole, whole)) encoder.encode(buffer, pts);
        pts += 16'667;
    }
    return stream;
}

}  // namespace orvanta::testing
