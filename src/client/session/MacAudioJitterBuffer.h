// The PCM queue between the AAC decoder and the audio output: starts handing out audio only once
// a start level is buffered, drops old audio when too much piles up, crossfades across splices and
// conceals short underruns by mirrored repetition fading to silence. Used on the audio queue only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace orvanta::client {

// Decoded audio: 32-bit float, one plane per channel, all planes of one length.
struct PcmBuffer {
    std::vector<std::vector<float>> channels;

    static PcmBuffer silence(std::size_t channelCount, std::size_t frames) {
        return {std::vector<std::vector<float>>(channelCount, std::vector<float>(frames, 0.0f))};
    }
    std::size_t frameLength() const { return channels.empty() ? 0 : channels.front().size(); }
    bool operator==(const PcmBuffer&) const = default;
};

class MacAudioJitterBuffer {
public:
    struct Chunk {
        PcmBuffer pcm;
        std::optional<std::uint64_t> pts;  // microseconds; none for concealment
        bool splice = false;               // crossfade into what was played before
        bool operator==(const Chunk&) const = default;
    };

    explicit MacAudioJitterBuffer(int rate);

    // Queues a chunk; `inFlight` frames are scheduled on the output and not yet played. Returns
    // the number of frames dropped.
    std::size_t append(Chunk chunk, std::size_t inFlight, std::uint64_t nowMicros);
    // The next chunk to schedule, a concealment chunk, or none.
    std::optional<Chunk> next(std::size_t inFlight);

    bool playing() const { return playing_; }
    std::size_t pendingFrames() const { return pendingFrames_; }
    std::size_t concealedFrames() const { return concealedFrames_; }

private:
    std::size_t frames(int millis) const { return static_cast<std::size_t>(rate_) * millis / 1000; }
    void crossfade(PcmBuffer& pcm) const;
    std::optional<Chunk> conceal();

    int rate_;
    std::deque<Chunk> pending_;
    std::size_t pendingFrames_ = 0;
    bool playing_ = false;
    std::optional<std::uint64_t> deepSince_;
    std::optional<PcmBuffer> lastReal_;
    std::optional<PcmBuffer> lastOutput_;
    std::size_t concealedFrames_ = 0;
};

}  // namespace orvanta::client
