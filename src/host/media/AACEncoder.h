// AAC-LC encoding of captured PCM onto a continuous packet timeline: late buffers are preceded by
// the missing silence, small jitter is absorbed, and each restart opens a new timeline whose first
// packet is marked as a discontinuity.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "base/Bytes.h"
#include "platform/SystemAudioSource.h"
#include "protocol/AudioFormat.h"

namespace orvanta::host {

class AACEncoder {
public:
    using Emit = std::function<void(base::Bytes packet, std::uint64_t ptsMicros, bool discontinuity)>;
    using IsActive = std::function<bool()>;
    using LogSink = std::function<void(std::string_view)>;

    static constexpr int kBitRate = 128'000;
    static constexpr std::int64_t kDefaultLeadingFrames = 2112;
    // A buffer this much earlier than expected means the capture clock stepped back.
    static constexpr double kStepBackSeconds = 0.02;
    // Longer holes (a sleeping host, a suspended output) open a new timeline instead of being
    // filled: minutes of synthetic silence would flood the connection ahead of live audio.
    static constexpr double kMaxSilenceGapSeconds = 1.0;

    // `log` receives diagnostic lines (the host log by default).
    explicit AACEncoder(protocol::AudioFormat format, LogSink log = {});
    ~AACEncoder();
    AACEncoder(const AACEncoder&) = delete;
    AACEncoder& operator=(const AACEncoder&) = delete;

    // Feeds one buffer captured at `buffer.seconds`; `emit` gets every packet that is complete.
    // Silence filling stops as soon as `isActive` answers false.
    void encode(const platform::PcmBuffer& buffer, const IsActive& isActive, const Emit& emit);

    // The encoder's priming in frames, read from the encoder once it exists.
    std::int64_t leadingFrames() const { return leadingFrames_; }

private:
    struct Codec;

    bool makeConverter(platform::PcmFormat input);
    void restart();
    bool appendSilence(std::int64_t frames);
    void append(const platform::PcmBuffer& buffer);
    void drain(const Emit& emit);
    bool emitReceived(const Emit& emit);
    void fail(int code);

    const protocol::AudioFormat format_;
    const LogSink log_;
    std::unique_ptr<Codec> codec_;
    std::optional<platform::PcmFormat> inputFormat_;
    std::optional<double> anchorSeconds_;
    std::optional<double> expectedInputSeconds_;
    std::int64_t outputPackets_ = 0;
    std::int64_t leadingFrames_ = kDefaultLeadingFrames;
    bool nextIsDiscontinuity_ = true;
};

}  // namespace orvanta::host
