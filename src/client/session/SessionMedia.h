// The connection manager's view of the media half of a session: the per-attempt stream assembler
// that turns media packets into samples, and the audio side that plays the host's sound. Both are
// built elsewhere; the manager drives them through these narrow interfaces.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "base/Bytes.h"
#include "protocol/AudioFormat.h"
#include "protocol/ControlMessages.h"

namespace orvanta::client {

// A decoder-ready video sample; defined with the stream assembler.
struct VideoSample;

// One connection attempt's stream assembler, as the manager wires it. Used on the main thread.
class MediaAssembler {
public:
    virtual ~MediaAssembler() = default;

    // A sample ready for display and its acknowledgement (generation, sequence, client time).
    std::function<void(std::shared_ptr<const VideoSample>, protocol::Ack)> onFrame;
    std::function<void()> onNeedKeyframe;
    // The picture size of an accepted stream configuration, in pixels.
    std::function<void(int width, int height)> onConfig;

    // One binary media-channel message that is not audio.
    virtual void receive(base::Bytes message) = 0;
    // Drops the stream state; video waits for the next configuration.
    virtual void flush() = 0;
    // Presentation time of the last sample handed to onFrame, set before onFrame runs.
    virtual std::uint64_t lastDeliveredPtsMicros() const = 0;
    // The stream generation the gate admits, nothing before a configuration.
    virtual std::optional<std::uint16_t> currentGeneration() const = 0;
};

// The session's audio: playback of the host's packets and audio/video synchronisation. Used on the
// main thread.
class SessionAudio {
public:
    // Queues a control message ("audio" requests) on the attempt the audio was started for.
    using Send = std::function<void(protocol::ControlMessage)>;

    virtual ~SessionAudio() = default;

    // After each accepted welcome, with the host's offer when it made one.
    virtual void startIfOffered(const std::optional<protocol::AudioFormat>& offer, Send send) = 0;
    // One audio packet from the media channel.
    virtual void receive(base::Bytes packet) = 0;
    // A video sample was handed to display.
    virtual void noteVideoDelivered(std::uint64_t ptsMicros) = 0;
    // The attempt ended: stop playback and forget the offer and the request.
    virtual void end() = 0;
};

}  // namespace orvanta::client
