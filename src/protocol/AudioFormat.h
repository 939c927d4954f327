// The AAC-LC audio stream a host offers in its welcome, and the rule by which a client judges an
// offer playable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/Bytes.h"
#include "base/Json.h"

namespace orvanta::protocol {

struct AudioFormat {
    static constexpr std::string_view codecAACLC = "aac-lc";
    static constexpr std::int64_t aacFrameSamples = 1024;
    // The largest audio packet payload a client plays.
    static constexpr std::uint32_t maxPayloadLength = 8192;

    std::string codec;
    std::int64_t sampleRate = 0;
    std::int64_t channels = 0;
    std::int64_t samplesPerFrame = 0;
    base::Bytes asc;  // MPEG-4 AudioSpecificConfig

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

}  // namespace orvanta::protocol
