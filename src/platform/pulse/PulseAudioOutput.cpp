#include "platform/pulse/PulseAudioOutput.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

namespace orvanta::platform::pulse {

namespace {

constexpr pa_usec_t kPlayedCheckMicros = 10'000;
// Room on the server for what the player keeps scheduled (120 ms) and some more.
constexpr pa_usec_t kTargetBufferMicros = 250'000;

class Lock {
public:
    explicit Lock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

void signalLoop(pa_threaded_mainloop* loop) { pa_threaded_mainloop_signal(loop, 0); }

void dropOperation(pa_operation* operation) {
    if (operation) pa_operation_unref(operation);
}

}  // namespace

PulseAudioOutput::PulseAudioOutput(std::string server, std::string applicationName)
    : server_(std::move(server)), applicationName_(std::move(applicationName)) {}

PulseAudioOutput::~PulseAudioOutput() { stop(); }

std::expected<void, std::string> PulseAudioOutput::start(AudioOutputFormat format) {
    stop();
    format_ = format;
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) return std::unexpected("PulseAudio: cannot create a main loop");
    if (pa_threaded_mainloop_start(loop_) < 0) return std::unexpected("PulseAudio: cannot start the main loop");
    Lock lock(loop_);
    if (auto connected = connect(); !connected) return connected;
    return openStream();
}

// Runs with the loop locked.
std::expected<void, std::string> PulseAudioOutput::connect() {
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), applicationName_.c_str());
    if (!context_) return std::unexpected("PulseAudio: cannot create a context");
    pa_context_set_state_callback(
        context_, [](pa_context*, void* loop) { signalLoop(static_cast<pa_threaded_mainloop*>(loop)); }, loop_);
    if (pa_context_connect(context_, server_.empty() ? nullptr : server_.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return std::unexpected("PulseAudio: " + lastError());
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY) return {};
        if (!PA_CONTEXT_IS_GOOD(state)) return std::unexpected("PulseAudio: " + lastError());
        pa_threaded_mainloop_wait(loop_);
    }
}

// Runs with the loop locked.
std::expected<void, std::string> PulseAudioOutput::openStream() {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(format_.sampleRate),
                              static_cast<std::uint8_t>(format_.channels)};
    if (!pa_sample_spec_valid(&spec)) return std::unexpected("PulseAudio: unsupported audio format");
    stream_ = pa_stream_new(context_, "playback", &spec, nullptr);
    if (!stream_) return std::unexpected("PulseAudio: " + lastError());
    pa_stream_set_state_callback(
        stream_, [](pa_stream*, void* loop) { signalLoop(static_cast<pa_threaded_mainloop*>(loop)); }, loop_);
    auto changed = [](pa_stream*, void* self) { static_cast<PulseAudioOutput*>(self)->configurationChanged(); };
    pa_stream_set_moved_callback(stream_, changed, this);
    pa_stream_set_suspended_callback(stream_, changed, this);
    // prebuf 0: play as soon as uncorked, and never pause by itself on an underrun.
    const pa_buffer_attr attributes{static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(pa_usec_to_bytes(kTargetBufferMicros, &spec)), 0,
                                    static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1)};
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_INTERPOLATE_TIMING |
                                                      PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_playback(stream_, nullptr, &attributes, flags, nullptr, nullptr) < 0)
        return std::unexpected("PulseAudio: " + lastError());
    for (;;) {
        const pa_stream_state_t state = pa_stream_get_state(stream_);
        if (state == PA_STREAM_READY) break;
        if (!PA_STREAM_IS_GOOD(state)) return std::unexpected("PulseAudio: " + lastError());
        pa_threaded_mainloop_wait(loop_);
    }
    corked_ = true;
    writtenMicros_ = 0;
    armTimer();
    return {};
}

void PulseAudioOutput::armTimer() {
    timer_ = pa_context_rttime_new(
        context_, pa_rtclock_now() + kPlayedCheckMicros,
        [](pa_mainloop_api*, pa_time_event* event, const timeval*, void* self) {
            auto* output = static_cast<PulseAudioOutput*>(self);
            output->checkPlayed();
            pa_context_rttime_restart(output->context_, event, pa_rtclock_now() + kPlayedCheckMicros);
        },
        this);
}

// On the loop's thread.
void PulseAudioOutput::checkPlayed() {
    pa_usec_t now = 0;
    if (!stream_ || pa_stream_get_time(stream_, &now) < 0) return;
    while (!pending_.empty() && pending_.front().endMicros <= now) {
        auto played = std::move(pending_.front().played);
        pending_.pop_front();
        played();
    }
}

void PulseAudioOutput::configurationChanged() {
    if (onConfigurationChange) onConfigurationChange();
}

bool PulseAudioOutput::isRunning() const {
    if (!loop_ || !stream_) return false;
    Lock lock(loop_);
    return pa_context_get_state(context_) == PA_CONTEXT_READY && pa_stream_get_state(stream_) == PA_STREAM_READY;
}

void PulseAudioOutput::schedule(Planes planes, std::function<void()> played) {
    if (!loop_ || !stream_ || planes.empty()) return;
    const std::size_t frames = planes.front().size();
    std::vector<float> interleaved(frames * planes.size());
    for (std::size_t f = 0; f < frames; ++f)
        for (std::size_t c = 0; c < planes.size(); ++c) interleaved[f * planes.size() + c] = planes[c][f];
    Lock lock(loop_);
    if (pa_stream_write(stream_, interleaved.data(), interleaved.size() * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE) < 0)
        return;
    writtenMicros_ += frames * 1'000'000 / static_cast<std::uint64_t>(format_.sampleRate);
    pending_.push_back({writtenMicros_, std::move(played)});
}

void PulseAudioOutput::play() {
    if (!loop_ || !stream_) return;
    Lock lock(loop_);
    dropOperation(pa_stream_cork(stream_, 0, nullptr, nullptr));
    corked_ = false;
}

bool PulseAudioOutput::isPlaying() const {
    if (!loop_) return false;
    Lock lock(loop_);
    return stream_ && !corked_;
}

void PulseAudioOutput::stopPlayer() {
    if (!loop_ || !stream_) return;
    Lock lock(loop_);
    dropOperation(pa_stream_cork(stream_, 1, nullptr, nullptr));
    dropOperation(pa_stream_flush(stream_, nullptr, nullptr));
    corked_ = true;
    pending_.clear();
}

void PulseAudioOutput::stop() {
    if (!loop_) return;
    {
        Lock lock(loop_);
        if (timer_) pa_threaded_mainloop_get_api(loop_)->time_free(timer_);
        timer_ = nullptr;
        if (stream_) {
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_set_moved_callback(stream_, nullptr, nullptr);
            pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
            stream_ = nullptr;
        }
        if (context_) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
        pending_.clear();
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
}

std::uint64_t PulseAudioOutput::latencyMicros() const {
    if (!loop_ || !stream_) return 0;
    Lock lock(loop_);
    pa_usec_t latency = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream_, &latency, &negative) < 0 || negative) return 0;
    return latency;
}

std::string PulseAudioOutput::lastError() const {
    return pa_strerror(context_ ? pa_context_errno(context_) : PA_ERR_UNKNOWN);
}

}  // namespace orvanta::platform::pulse
