// AudioOutput over a PulseAudio playback stream (also served by PipeWire's pulse server), on a
// threaded main loop of its own. A buffer counts as played once the stream's playback clock has
// passed its end; a moved or suspended stream is a configuration change.
#pragma once

#include <deque>
#include <memory>

#include "platform/AudioOutput.h"

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct pa_time_event;

namespace orvanta::platform::pulse {

class PulseAudioOutput final : public AudioOutput {
public:
    // `server` empty means the default server ($PULSE_SERVER or the user's).
    explicit PulseAudioOutput(std::string server = {}, std::string applicationName = "Orvanta");
    ~PulseAudioOutput() override;

    std::expected<void, std::string> start(AudioOutputFormat format) override;
    bool isRunning() const override;
    void schedule(Planes planes, std::function<void()> played) override;
    void play() override;
    bool isPlaying() const override;
    void stopPlayer() override;
    void stop() override;
    std::uint64_t latencyMicros() const override;

private:
    struct Pending {
        std::uint64_t endMicros;
        std::function<void()> played;
    };

    std::expected<void, std::string> connect();
    std::expected<void, std::string> openStream();
    void checkPlayed();
    void armTimer();
    void configurationChanged();
    std::string lastError() const;

    std::string server_;
    std::string applicationName_;
    AudioOutputFormat format_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    pa_time_event* timer_ = nullptr;
    bool corked_ = true;
    std::uint64_t writtenMicros_ = 0;
    std::deque<Pending> pending_;
};

}  // namespace orvanta::platform::pulse
