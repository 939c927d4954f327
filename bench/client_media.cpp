// The client's media path without display: the stream assembler per 1080p frame, the jitter
// buffer per 1024-frame chunk, and AAC decoding next to libavcodec's bare decode of the same packets.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "client/session/AudioPlayback.h"
#include "client/session/StreamAssembler.h"
#include "protocol/StreamConfig.h"
#include "support/AacTone.h"
#include "support/ManualExecutor.h"

namespace orvanta::client {
namespace {

// A 1080p access unit of typical size (150 KB) in three length-prefixed units.
base::Bytes accessUnit() {
    base::Bytes unit;
    for (const std::size_t size : {40u, 12u, 150'000u}) {
        for (int shift = 24; shift >= 0; shift -= 8) unit.push_back(static_cast<std::uint8_t>(size >> shift));
        unit.insert(unit.end(), size, 0x41);
    }
    return unit;
}

void BM_AssemblerPerFrame(benchmark::State& state) {
    testing::ManualExecutor main;
    auto assembler = std::make_shared<StreamAssembler>(main, main.clock());
    std::size_t frames = 0;
    assembler->onFrame = [&](std::shared_ptr<const VideoSample>, protocol::Ack) { ++frames; };
    const protocol::StreamConfig config{1, "h264", 1920, 1080, 60, {0x67, 0x64, 0, 0x28}, {0x68, 0xEE}};
    assembler->process(config.packet(0, 0)->encoded());
    // The gate does not look at sequence numbers, so one message serves every iteration.
    const auto message =
        protocol::VideoPacket::make(protocol::PacketType::video, protocol::PacketFlags::keyframe, 1, 1, 1, accessUnit())
            ->encoded();
    std::size_t sent = 0;
    for (auto _ : state) {
        assembler->process(message);
        ++sent;
    }
    if (frames != sent) state.SkipWithError("frames were not delivered");
}
BENCHMARK(BM_AssemblerPerFrame);

void BM_JitterBufferPerChunk(benchmark::State& state) {
    MacAudioJitterBuffer buffer(48'000);
    const auto pcm = PcmBuffer::silence(2, 1024);
    for (int i = 0; i < 12; ++i) buffer.append({pcm, 0, false}, 0, 0);
    std::uint64_t now = 0;
    for (auto _ : state) {
        buffer.append({pcm, now, false}, 5760, now);
        benchmark::DoNotOptimize(buffer.next(4736));
        now += 21'333;
    }
}
BENCHMARK(BM_JitterBufferPerChunk);

const std::vector<base::Bytes>& tonePackets() {
    static const auto packets = testing::aacTonePackets(200);
    return packets;
}

void BM_AACDecode(benchmark::State& state) {
    auto decoder = AACDecoder::make(protocol::AudioFormat::aacLC48kStereo());
    std::size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(decoder->decode(tonePackets()[i++ % tonePackets().size()]));
}
BENCHMARK(BM_AACDecode);

void BM_BareLibavcodecAACDecode(benchmark::State& state) {
    const auto& format = protocol::AudioFormat::aacLC48kStereo();
    AVCodecContext* c = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_AAC));
    c->extradata = static_cast<std::uint8_t*>(av_mallocz(format.asc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(format.asc.begin(), format.asc.end(), c->extradata);
    c->extradata_size = static_cast<int>(format.asc.size());
    avcodec_open2(c, nullptr, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& bytes = tonePackets()[i++ % tonePackets().size()];
        av_new_packet(packet, static_cast<int>(bytes.size()));
        std::copy(bytes.begin(), bytes.end(), packet->data);
        avcodec_send_packet(c, packet);
        av_packet_unref(packet);
        while (avcodec_receive_frame(c, frame) == 0) av_frame_unref(frame);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&c);
}
BENCHMARK(BM_BareLibavcodecAACDecode);

}  // namespace
}  // namespace orvanta::client
