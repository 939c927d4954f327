// Control-message codec speed: a pointer message, sent many times a second while the user moves
// the mouse, and a clipboard image carrying 1 MB of image bytes.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>

#include "base/Base64.h"
#include "protocol/ControlMessages.h"

namespace {

using orvanta::protocol::ClipboardImage;
using orvanta::protocol::ControlMessage;
using orvanta::protocol::PointerInput;

constexpr std::size_t kImageBytes = 1'000'000;

ControlMessage pointerMessage() {
    PointerInput pointer{.seq = 123'456, .action = "drag", .x = 0.4183, .y = 0.7251, .clickState = 1};
    pointer.shift = true;
    return pointer;
}

// Random bytes, so that the Base64 text carries every character, "/" among them.
ControlMessage imageMessage() {
    std::mt19937 random(7);
    orvanta::base::Bytes bytes(kImageBytes);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return ClipboardImage{orvanta::base::base64Encode(bytes)};
}

std::string encoded(const ControlMessage& message) {
    auto text = message.jsonString();
    if (!text) std::abort();
    return *text;
}

void encode(benchmark::State& state, const ControlMessage& message) {
    for (auto _ : state) {
        auto text = message.jsonString();
        benchmark::DoNotOptimize(text);
    }
}

void decode(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        auto message = ControlMessage::decode(text);
        if (!message) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(message);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_EncodePointer(benchmark::State& state) { encode(state, pointerMessage()); }
void BM_DecodePointer(benchmark::State& state) { decode(state, encoded(pointerMessage())); }
void BM_EncodeClipboardImage1MB(benchmark::State& state) { encode(state, imageMessage()); }
void BM_DecodeClipboardImage1MB(benchmark::State& state) { decode(state, encoded(imageMessage())); }

// What a receiver does with an image message: decode it, then take the image bytes out of it.
void BM_DecodeClipboardImage1MBToBytes(benchmark::State& state) {
    const std::string text = encoded(imageMessage());
    for (auto _ : state) {
        auto message = ControlMessage::decode(text);
        auto bytes = message ? message->as<ClipboardImage>()->decodePng() : std::nullopt;
        if (!bytes) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(bytes);
    }
}

BENCHMARK(BM_EncodePointer);
BENCHMARK(BM_DecodePointer);
BENCHMARK(BM_EncodeClipboardImage1MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeClipboardImage1MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeClipboardImage1MBToBytes)->Unit(benchmark::kMillisecond);

}  // namespace
