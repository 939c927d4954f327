// Media packet framing at a typical access-unit size: encoding must cost one copy of the payload,
// parsing at most one (none for the view form and for a message handed over by move).
#include <benchmark/benchmark.h>

#include "protocol/VideoPacket.h"

namespace {

using namespace orvanta;
using namespace orvanta::protocol;

constexpr std::size_t kPayloadBytes = 100 * 1024;

base::Bytes payload() {
    base::Bytes bytes(kPayloadBytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31);
    return bytes;
}

VideoPacket packet() {
    return *VideoPacket::make(PacketType::video, PacketFlags::keyframe, 3, 42, 1'000'000, payload());
}

void countBytes(benchmark::State& state, std::size_t perIteration) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * perIteration));
}

// What memory speed means here: one plain copy of a message-sized buffer into a new allocation.
void BM_CopyBaseline(benchmark::State& state) {
    const base::Bytes message = packet().encoded();
    for (auto _ : state) {
        base::Bytes copy = message;
        benchmark::DoNotOptimize(copy.data());
    }
    countBytes(state, message.size());
}

void BM_Encode(benchmark::State& state) {
    const VideoPacket source = packet();
    for (auto _ : state) {
        base::Bytes message = source.encoded();
        benchmark::DoNotOptimize(message.data());
    }
    countBytes(state, VideoPacketHeader::size + kPayloadBytes);
}

void BM_ParseView(benchmark::State& state) {
    const base::Bytes message = packet().encoded();
    for (auto _ : state) {
        auto view = VideoPacketView::parse(message);
        benchmark::DoNotOptimize(view);
    }
    countBytes(state, message.size());
}

void BM_ParseCopy(benchmark::State& state) {
    const base::Bytes message = packet().encoded();
    for (auto _ : state) {
        auto parsed = VideoPacket::parse(base::ByteView(message));
        benchmark::DoNotOptimize(parsed->payload().data());
    }
    countBytes(state, message.size());
}

// The receiving path: a message arrives as an owned buffer and is parsed in place. Encoding makes
// the fresh buffer each round; compare with BM_Encode to see what the owned parse adds.
void BM_EncodeThenParseOwned(benchmark::State& state) {
    const VideoPacket source = packet();
    for (auto _ : state) {
        auto parsed = VideoPacket::parse(source.encoded());
        benchmark::DoNotOptimize(parsed->payload().data());
    }
    countBytes(state, VideoPacketHeader::size + kPayloadBytes);
}

BENCHMARK(BM_CopyBaseline);
BENCHMARK(BM_Encode);
BENCHMARK(BM_ParseView);
BENCHMARK(BM_ParseCopy);
BENCHMARK(BM_EncodeThenParseOwned);

}  // namespace
