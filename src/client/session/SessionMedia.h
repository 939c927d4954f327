// The connection manager's view of the media half of a session: the per-attempt stream assembler
// that turns media packets into samples, the display that shows them, and the audio side that
// plays the host's sound. All are built elsewhere; the manager drives them through these narrow
// interfaces.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "base/Bytes.h"
#include "base/Executor.h"
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
    // What is queued for display is void: a new stream, a discontinuity or a failure.
    std::function<void()> onNeedFlush;
    // The picture size of an accepted stream configuration, in pixels.
    std::function<void(int width, int height)> onConfig;

    // One binary media-channel message that is not audio.
    virtual void receive(base::Bytes message) = 0;
    // Drops the stream state; video waits for the next configuration.
    virtual void flush() = 0;
    // The display failed: video waits for the next keyframe. True when that wait has just begun.
    virtual bool notifyRendererFailed() = 0;
    // The stream generation the gate admits, nothing before a configuration.
    virtual std::optional<std::uint16_t> currentGeneration() const = 0;
};

// Where the session's pictures are shown: the video surface, bound while it is on screen.
class VideoDisplay {
public:
    virtual ~VideoDisplay() = default;
    // Takes one sample, to be shown `delay` from now. False when the display failed on it: the
    // sample is not shown, and the session neither counts nor acknowledges it.
    virtual bool display(std::shared_ptr<const VideoSample> sample, base::Micros delay) = 0;
    // Drops what is decoded or held for display; the picture on screen stays.
    virtual void flush() = 0;
};

// The session's side of that hand-off, which the video surface binds to.
class VideoSource {
public:
    virtual ~VideoSource() = default;
    // While bound, each sample goes to the display first and reaches the session's own frame
    // handling only once the display accepted it; the stream's flushes reach the display. Held
    // weakly; binding another display replaces it.
    virtual void bindVideoDisplay(std::weak_ptr<VideoDisplay> display) = 0;
    virtual void unbindVideoDisplay() = 0;
    // The bound display failed: the stream waits for a keyframe. True when that wait has just
    // begun, so the caller asks the host for one.
    virtual bool videoDisplayFailed() = 0;
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
    // How long pictures are held back so that they meet their sound.
    virtual int effectiveVideoDelayMillis() const = 0;
    // The attempt ended: stop playback and forget the offer and the request.
    virtual void end() = 0;
};

}  // namespace orvanta::client
