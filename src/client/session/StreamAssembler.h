// Turns the media channel's packets into decoder-ready H.264 samples: gates them through the
// frame discard filter, builds the stream format from each configuration's SPS and PPS, checks each
// frame's length-prefixed NAL units, stamps samples by arrival (at least 1/120 s apart) and
// reports to its owners through callbacks. One per connection attempt; state on the main executor.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "client/session/SessionMedia.h"
#include "protocol/VideoPacket.h"

namespace orvanta::client {

// The stream's H.264 format: parameter sets for NAL units with 4-byte big-endian lengths.
struct H264Format {
    int width = 0;
    int height = 0;
    base::Bytes sps;
    base::Bytes pps;

    // The AVCDecoderConfigurationRecord ("avcC") a decoder takes as extradata.
    base::Bytes avcC() const;
    bool operator==(const H264Format&) const = default;
};

// A presentation time in units that hold both nanoseconds and 1/120 s exactly.
struct MediaTime {
    static constexpr std::uint64_t ticksPerSecond = 3'000'000'000;
    std::uint64_t ticks = 0;
    std::uint64_t nanoseconds() const { return ticks / 3; }
    auto operator<=>(const MediaTime&) const = default;
};

struct VideoSample {
    std::shared_ptr<const H264Format> format;
    base::Bytes avcc;  // one access unit of length-prefixed NAL units
    MediaTime presentationTime;
    bool displayImmediately = true;
    // From the packet header: the host's timestamp (µs), generation, sequence number, and whether
    // the access unit decodes without earlier ones.
    std::uint64_t hostPtsMicros = 0;
    std::uint16_t gen = 0;
    std::uint32_t seq = 0;
    bool keyframe = false;
};

enum class AssemblyError { invalidPacket, invalidConfiguration, missingFormat, invalidAVCC };

// A payload of one or more units, each a 4-byte big-endian length N > 0 and N bytes, filling it.
std::expected<void, AssemblyError> validateAVCC(base::ByteView payload);

class StreamAssembler final : public MediaAssembler, public std::enable_shared_from_this<StreamAssembler> {
public:
    static constexpr int kMaxDimension = 16'384;
    static constexpr int kFailuresBeforeRecovery = 3;

    StreamAssembler(base::Executor& main, const base::Clock& clock);

    // Any thread: the work is queued on the main executor and dropped if the assembler is gone.
    void receive(base::Bytes message) override;
    void flush() override;
    std::optional<std::uint16_t> currentGeneration() const override { return filter_.currentGen(); }
    bool notifyRendererFailed() override;

    std::function<void()> onDecodeError;

    // Main executor; public for tests that drive the assembler synchronously.
    void process(base::ByteView message);
    void reset();

private:
    std::expected<void, AssemblyError> configure(const protocol::VideoPacketView& packet);
    std::expected<VideoSample, AssemblyError> makeSample(const protocol::VideoPacketView& packet);
    void deliver(const protocol::VideoPacketView& packet);
    void assemblyFailed();
    MediaTime nextPresentationTime();
    static void call(const std::function<void()>& callback) {
        if (callback) callback();
    }

    base::Executor& main_;
    const base::Clock& clock_;
    protocol::FrameDiscardFilter filter_;
    std::shared_ptr<const H264Format> format_;
    int consecutiveFailures_ = 0;
    std::optional<std::uint64_t> originNanoseconds_;
    std::optional<MediaTime> lastPresentationTime_;
};

}  // namespace orvanta::client
