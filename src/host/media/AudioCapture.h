// System-audio capture for one audio run: records what this machine plays through a
// SystemAudioSource, encodes it on "zq2.audio" and hands out raw AAC-LC packets with their times.
// Not restarted after stop: the owner makes a new one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/Bytes.h"
#include "base/Executor.h"
#include "host/media/AACEncoder.h"
#include "platform/SystemAudioSource.h"
#include "protocol/AudioFormat.h"

namespace orvanta::host {

class AudioCapture final : public std::enable_shared_from_this<AudioCapture> {
    struct Passkey {};

public:
    using LogSink = std::function<void(std::string_view)>;

    // `queue` ("zq2.audio") outlives the capture; `log` defaults to the host log.
    static std::shared_ptr<AudioCapture> create(std::unique_ptr<platform::SystemAudioSource> source,
                                                base::Executor& queue, LogSink log = {});
    AudioCapture(Passkey, std::unique_ptr<platform::SystemAudioSource> source, base::Executor& queue, LogSink log);
    ~AudioCapture();
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // Called on "zq2.audio" with `lock` held, so none runs once stop() has returned; it must not
    // call stop(). Set before start.
    std::function<void(base::Bytes packet, std::uint64_t ptsMicros, bool discontinuity)> onPacket;
    // Any failure, as text for the log; set before start.
    std::function<void(std::string)> onError;

    // Starts recording on the capture's queue; `completion` gets whether it runs (there too).
    void start(std::function<void(bool)> completion);
    void stop();

    const protocol::AudioFormat& format() const { return format_; }

private:
    struct Captured;

    void runStart(const std::function<void(bool)>& completion);
    void handle(const Captured& captured);
    void streamFailed(const std::string& text);
    bool isRunning();

    const protocol::AudioFormat format_ = protocol::AudioFormat::aacLC48kStereo();
    const std::unique_ptr<platform::SystemAudioSource> source_;
    base::Executor& queue_;
    const LogSink log_;
    std::mutex lock_;  // guards the three flags below and is held while onPacket runs
    bool streaming_ = false;
    bool running_ = false;
    bool stopRequested_ = false;
    std::unique_ptr<AACEncoder> encoder_;  // only on the queue
};

}  // namespace orvanta::host
