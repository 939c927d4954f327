// Plays the host's audio stream: gates and decodes each AAC-LC packet, queues the PCM in a jitter
// buffer and keeps about 120 ms scheduled on the audio output, repairing gaps by splicing or
// resynchronising, restarting the output after failures and device changes, and reporting for
// some chunks when they will be heard. All its work runs on its own queue ("clientcore.audio").
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "base/Executor.h"
#include "client/session/MacAudioJitterBuffer.h"
#include "platform/AudioOutput.h"
#include "protocol/AudioFormat.h"
#include "protocol/VideoPacket.h"

struct AVCodecContext;
struct AVPacket;
struct AVFrame;

namespace orvanta::client {

// libavcodec's AAC decoder with the format's AudioSpecificConfig, planar float out.
class AACDecoder {
public:
    static constexpr std::size_t kMaxPacketBytes = 8192;

    // Nothing unless the format is supported AAC-LC and the decoder opens.
    static std::unique_ptr<AACDecoder> make(const protocol::AudioFormat& format);
    ~AACDecoder();
    AACDecoder(const AACDecoder&) = delete;
    AACDecoder& operator=(const AACDecoder&) = delete;

    // One access unit in, at most 2 x samplesPerFrame frames out; nothing for an empty or
    // oversized packet, a decoding error or no output.
    std::optional<PcmBuffer> decode(base::ByteView accessUnit);
    // Forgets the decoder's state, as after a gap.
    void reset();

private:
    explicit AACDecoder(const protocol::AudioFormat& format) : format_(format) {}

    protocol::AudioFormat format_;
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
};

class AudioPlayback final : public std::enable_shared_from_this<AudioPlayback> {
    struct Passkey {};

public:
    static constexpr std::uint64_t kEngineRetryMicros = 2'000'000;

    // Nothing when the decoder cannot be made or there is no output to play on. `queue` runs all
    // the work; `main` gets onScheduled.
    static std::shared_ptr<AudioPlayback> make(const protocol::AudioFormat& format, base::Executor& queue,
                                               base::Executor& main, const base::Clock& clock,
                                               platform::AudioOutputFactory makeOutput);
    AudioPlayback(Passkey, const protocol::AudioFormat& format, std::unique_ptr<AACDecoder> decoder,
                  base::Executor& queue, base::Executor& main, const base::Clock& clock,
                  platform::AudioOutputFactory makeOutput);
    ~AudioPlayback();

    // Main thread: one audio message of the media channel.
    void receive(base::Bytes message);
    void setMuted(bool muted);
    void stop();
    // Receives, on the main executor, a presentation time and when it is expected to be heard
    // (µs of uptime). Safe to change while audio plays.
    using Scheduled = std::function<void(std::uint64_t pts, std::uint64_t playout)>;
    void setOnScheduled(Scheduled onScheduled);
    // The four diagnostic lines; set before the first packet.
    std::function<void(const std::string&)> log;

    static bool canSplice(const protocol::VideoPacketHeader& previous, const protocol::VideoPacketHeader& next,
                          const protocol::AudioFormat& format);

private:
    void process(const base::Bytes& message, std::uint64_t arrivedAt);
    bool ensureEngine(std::uint64_t now);
    void pump();
    void scheduled(std::uint64_t epoch, std::size_t frames);
    void reportScheduled(std::uint64_t pts, std::uint64_t now, std::size_t aheadFrames);
    void resetBuffer();
    void tearDownEngine();
    void observe(platform::AudioOutput& output);
    void write(const std::string& line) const;

    protocol::AudioFormat format_;
    std::unique_ptr<AACDecoder> decoder_;
    base::Executor& queue_;
    base::Executor& main_;
    const base::Clock& clock_;
    platform::AudioOutputFactory makeOutput_;
    protocol::AudioPacketFilter filter_;
    MacAudioJitterBuffer jitter_;
    std::optional<protocol::VideoPacketHeader> previousHeader_;
    bool spliceNext_ = false;
    std::unique_ptr<platform::AudioOutput> output_;
    std::uint64_t outputLatencyMicros_ = 0;
    std::size_t queuedFrames_ = 0;
    std::uint64_t epoch_ = 0;
    std::uint64_t engineRun_ = 0;  // tells an engine's reports from its predecessors'
    bool muted_ = false;
    bool stopped_ = false;
    std::uint64_t engineRetryAt_ = 0;
    std::uint64_t reportCounter_ = 0;
    mutable std::mutex onScheduledMutex_;
    Scheduled onScheduled_;
};

}  // namespace orvanta::client
