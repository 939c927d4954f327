#include "protocol/AudioFormat.h"

#include <algorithm>
#include <array>

#include "base/Base64.h"

namespace orvanta::protocol {

namespace {

// Indexed by the MPEG-4 sampling-frequency index.
constexpr std::array<std::int64_t, 13> kSamplingFrequencies = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                                               22050, 16000, 12000, 11025, 8000,  7350};
constexpr std::uint8_t kAudioObjectTypeAacLc = 2;
constexpr std::int64_t kMaxAscChannels = 7;
constexpr std::size_t kAscSize = 2;

std::optional<std::size_t> samplingFrequencyIndex(std::int64_t sampleRate) {
    auto it = std::ranges::find(kSamplingFrequencies, sampleRate);
    if (it == kSamplingFrequencies.end()) return std::nullopt;
    return static_cast<std::size_t>(it - kSamplingFrequencies.begin());
}

}  // namespace

AudioFormat AudioFormat::make(std::string codec, std::int64_t sampleRate, std::int64_t channels,
                              std::int64_t samplesPerFrame, std::optional<base::Bytes> asc) {
    if (!asc) asc = audioSpecificConfig(sampleRate, channels).value_or(base::Bytes{});
    return {std::move(codec), sampleRate, channels, samplesPerFrame, std::move(*asc)};
}

const AudioFormat& AudioFormat::aacLC48kStereo() {
    static const AudioFormat format = make(std::string(codecAACLC), 48000, 2, aacFrameSamples);
    return format;
}

std::optional<base::Bytes> AudioFormat::audioSpecificConfig(std::int64_t sampleRate, std::int64_t channels) {
    auto index = samplingFrequencyIndex(sampleRate);
    if (!index || channels < 1 || channels > kMaxAscChannels) return std::nullopt;
    // 5 bits object type, 4 bits frequency index, 4 bits channel configuration, 3 zero flag bits.
    auto first = static_cast<std::uint8_t>((kAudioObjectTypeAacLc << 3) | (*index >> 1));
    auto second = static_cast<std::uint8_t>(((*index & 1) << 7) | (static_cast<std::size_t>(channels) << 3));
    return base::Bytes{first, second};
}

bool AudioFormat::isSupportedAACLC() const {
    return codec == codecAACLC && samplesPerFrame == aacFrameSamples && (channels == 1 || channels == 2) &&
           samplingFrequencyIndex(sampleRate).has_value() && asc.size() >= kAscSize;
}

double AudioFormat::frameDurationMicros() const {
    if (sampleRate < 1) return 0;
    // In floating point: a peer's samplesPerFrame may be any 64-bit number.
    return static_cast<double>(samplesPerFrame) * 1'000'000.0 / static_cast<double>(sampleRate);
}

base::JsonResult<AudioFormat> AudioFormat::readJson(base::JsonObjectReader& reader) {
    AudioFormat format;
    format.codec = reader.required<std::string>("codec");
    format.sampleRate = reader.required<std::int64_t>("sampleRate");
    format.channels = reader.required<std::int64_t>("channels");
    format.samplesPerFrame = reader.required<std::int64_t>("samplesPerFrame");
    auto ascText = reader.required<std::string>("asc");
    if (!reader.failed()) {
        if (auto bytes = base::base64Decode(ascText)) {
            format.asc = std::move(*bytes);
        } else {
            reader.setError({base::JsonError::Kind::dataCorrupted, "asc", "asc is not base64"});
        }
    }
    return reader.finish(std::move(format));
}

void AudioFormat::writeJson(base::JsonObjectWriter& writer) const {
    writer.required("codec", codec);
    writer.required("sampleRate", sampleRate);
    writer.required("channels", channels);
    writer.required("samplesPerFrame", samplesPerFrame);
    writer.required("asc", asc);
}

void AudioPacketFilter::reset() {
    currentGen_.reset();
    lastSeq_.reset();
}

AudioDecision AudioPacketFilter::decide(const VideoPacketHeader& header) {
    if (header.type != PacketType::audio || header.length == 0 || header.length > AudioFormat::maxPayloadLength) {
        return AudioDecision::drop;
    }
    if (currentGen_ != header.gen || !lastSeq_) {
        currentGen_ = header.gen;
        lastSeq_ = header.seq;
        return AudioDecision::resetAndPlay;
    }
    // Modular difference read as signed: a step of half the sequence space or more counts as late.
    const auto delta = static_cast<std::int32_t>(header.seq - *lastSeq_);
    if (delta <= 0) return AudioDecision::drop;
    lastSeq_ = header.seq;
    const bool contiguous = delta == 1 && !header.flags.contains(PacketFlags::discontinuity);
    return contiguous ? AudioDecision::play : AudioDecision::resyncAndPlay;
}

namespace VideoDelayForAudio {

int normalized(int millis) {
    return std::ranges::find(choicesMillis, millis) != choicesMillis.end() ? millis : defaultMillis;
}

}  // namespace VideoDelayForAudio

}  // namespace orvanta::protocol
