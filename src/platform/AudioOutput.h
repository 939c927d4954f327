// Sound output for the client's audio playback: an engine that plays planar float PCM buffers in
// the order they were scheduled and says when each has been played, its output latency, and when
// the output device's configuration changed.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvanta::platform {

struct AudioOutputFormat {
    int sampleRate = 48'000;
    int channels = 2;
    bool operator==(const AudioOutputFormat&) const = default;
};

class AudioOutput {
public:
    using Planes = std::vector<std::vector<float>>;  // one plane per channel

    virtual ~AudioOutput() = default;

    // Starts the engine for this format, or says why it cannot.
    virtual std::expected<void, std::string> start(AudioOutputFormat format) = 0;
    // False once the engine stopped by itself (the server went away, for example).
    virtual bool isRunning() const = 0;
    // Queues a buffer behind those already scheduled. `played` runs on any thread once the buffer
    // has been rendered; buffers discarded by stopPlayer() or stop() may or may not report.
    virtual void schedule(Planes planes, std::function<void()> played) = 0;
    virtual void play() = 0;
    virtual bool isPlaying() const = 0;
    // Discards every scheduled buffer and pauses; the engine keeps running.
    virtual void stopPlayer() = 0;
    virtual void stop() = 0;
    // The time from handing audio to the device to hearing it.
    virtual std::uint64_t latencyMicros() const = 0;

    // The output device or its configuration changed (any thread); the engine must be rebuilt.
    std::function<void()> onConfigurationChange;
};

using AudioOutputFactory = std::function<std::unique_ptr<AudioOutput>()>;

}  // namespace orvanta::platform
