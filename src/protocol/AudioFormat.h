// The AAC-LC audio stream a host offers in its welcome and the rule by which a client judges an
// offer playable; the client's audio packet gate; the video delays offered for audio/video sync.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/Bytes.h"
#include "base/Json.h"
#include "protocol/VideoPacket.h"

namespace orvanta::protocol {

struct AudioFormat {
    static constexpr std::string_view codecAACLC = "aac-lc";
    static constexpr std::int64_t aacFrameSamples = 1024;
    // The largest audio packet payload a client plays.
    static constexpr std::uint32_t maxPayloadLength = 8192;

    std::string codec{};
    std::int64_t sampleRate = 0;
    std::int64_t channels = 0;
    std::int64_t samplesPerFrame = 0;
    base::Bytes asc{};  // MPEG-4 AudioSpecificConfig

    // Without `asc`, it is built from the rate and channel count, and left empty when they have
    // no AudioSpecificConfig.
    static AudioFormat make(std::string codec, std::int64_t sampleRate, std::int64_t channels,
                            std::int64_t samplesPerFrame, std::optional<base::Bytes> asc = std::nullopt);

    // The host's offer: 48 kHz stereo, 1024 samples per frame, AudioSpecificConfig 0x11 0x90.
    static const AudioFormat& aacLC48kStereo();

    // The two-byte AudioSpecificConfig of AAC LC, or nothing for a rate outside the MPEG-4
    // sampling-frequency table or a channel count outside 1 to 7.
    static std::optional<base::Bytes> audioSpecificConfig(std::int64_t sampleRate, std::int64_t channels);

    bool isSupportedAACLC() const;
    // 0 when the sample rate is not positive.
    double frameDurationMicros() const;

    static base::JsonResult<AudioFormat> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;

    bool operator==(const AudioFormat&) const = default;
};

enum class AudioDecision {
    play,           // follows its predecessor directly
    resyncAndPlay,  // after a gap, a jump or a marked discontinuity: re-synchronise playback first
    resetAndPlay,   // a new stream: reset playback first
    drop,
};

// The client's audio gate, one per audio playback. Passes audio packets of 1 to 8192 payload
// bytes, restarts on a new generation and drops duplicate or late sequence numbers.
class AudioPacketFilter {
public:
    // Both present or both absent.
    std::optional<std::uint16_t> currentGen() const { return currentGen_; }
    std::optional<std::uint32_t> lastSeq() const { return lastSeq_; }

    // The next audio packet starts a new stream, whatever its generation.
    void reset();
    AudioDecision decide(const VideoPacketHeader& header);

private:
    std::optional<std::uint16_t> currentGen_;
    std::optional<std::uint32_t> lastSeq_;
};

// The video delays a user may pick for audio/video synchronisation, in milliseconds.
namespace VideoDelayForAudio {
inline constexpr std::array<int, 5> choicesMillis = {50, 100, 150, 200, 300};
inline constexpr int defaultMillis = 100;
// `millis` when it is one of the choices, else the default.
int normalized(int millis);
}  // namespace VideoDelayForAudio

}  // namespace orvanta::protocol
