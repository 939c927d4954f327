#include "platform/pulse/PulseSystemAudioSource.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <ctime>
#include <optional>

namespace orvanta::platform::pulse {

namespace {

// Small reads keep the capture-to-packet delay near one encoder frame.
constexpr pa_usec_t kFragmentMicros = 10'000;

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

// The main loop's thread and everything it touches; other threads hold the loop's lock.
struct PulseSystemAudioSource::Loop {
    PulseSystemAudioSource& owner;
    PcmFormat format{};
    pa_sample_spec spec{};
    pa_threaded_mainloop* mainloop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    std::string sink;      // whose monitor is recorded
    bool running = false;  // start has succeeded
    bool failed = false;   // reported once; nothing more is said

    explicit Loop(PulseSystemAudioSource& o) : owner(o) {}

    ~Loop() {
        if (!mainloop) return;
        pa_threaded_mainloop_lock(mainloop);
        running = false;  // our own disconnect is no failure
        dropStream();
        if (context) pa_context_disconnect(context);
        pa_threaded_mainloop_unlock(mainloop);
        pa_threaded_mainloop_stop(mainloop);
        if (context) pa_context_unref(context);
        pa_threaded_mainloop_free(mainloop);
    }

    std::string contextError() const { return pa_strerror(pa_context_errno(context)); }

    void fail(const std::string& text) {
        if (failed) return;
        failed = true;
        if (owner.onError) owner.onError(text);
    }

    void dropStream() {
        if (!stream) return;
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }

    // With the lock held: waits until `done`, or answers false once the context has failed.
    template <class Done>
    bool waitFor(Done done) {
        while (!done()) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) return false;
            pa_threaded_mainloop_wait(mainloop);
        }
        return true;
    }

    std::optional<std::string> defaultSink() {
        struct Query {
            pa_threaded_mainloop* mainloop;
            bool done = false;
            std::string sink;
        } query{mainloop, false, {}};
        pa_operation* op = pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* user) {
                auto* q = static_cast<Query*>(user);
                if (info && info->default_sink_name) q->sink = info->default_sink_name;
                q->done = true;
                pa_threaded_mainloop_signal(q->mainloop, 0);
            },
            &query);
        if (!op) return std::nullopt;
        const bool answered = waitFor([&] { return query.done; });
        if (!answered) pa_operation_cancel(op);
        pa_operation_unref(op);
        if (!answered || query.sink.empty()) return std::nullopt;
        return query.sink;
    }

    // Starts recording `sinkName`'s monitor; an error text when the server refused at once.
    std::optional<std::string> record(const std::string& sinkName) {
        dropStream();
        sink = sinkName;
        stream = pa_stream_new(context, "system audio", &spec, nullptr);
        if (!stream) return "cannot create a recording stream: " + contextError();
        pa_stream_set_state_callback(stream, &Loop::onStreamState, this);
        pa_stream_set_read_callback(stream, &Loop::onRead, this);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentMicros, &spec));
        // Not moved elsewhere (a microphone) when the output goes away.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                          PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE);
        const std::string monitor = sinkName + ".monitor";
        if (pa_stream_connect_record(stream, monitor.c_str(), &attr, flags) < 0) {
            return "cannot record " + monitor + ": " + contextError();
        }
        return std::nullopt;
    }

    std::optional<std::string> connect(const std::string& server) {
        mainloop = pa_threaded_mainloop_new();
        if (!mainloop) return "cannot create the PulseAudio main loop";
        context = pa_context_new(pa_threaded_mainloop_get_api(mainloop), "Orvanta");
        if (!context) return "cannot create a PulseAudio context";
        pa_context_set_state_callback(context, &Loop::onContextState, this);
        if (pa_context_connect(context, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) <
            0) {
            return "cannot connect to the audio server: " + contextError();
        }
        if (pa_threaded_mainloop_start(mainloop) < 0) return "cannot start the PulseAudio main loop";
        pa_threaded_mainloop_lock(mainloop);
        auto error = startRecording();
        running = !error;
        pa_threaded_mainloop_unlock(mainloop);
        return error;
    }

    std::optional<std::string> startRecording() {
        if (!waitFor([&] { return pa_context_get_state(context) == PA_CONTEXT_READY; })) {
            return "cannot connect to the audio server: " + contextError();
        }
        const auto sinkName = defaultSink();
        if (!sinkName) return "the audio server has no default output";
        pa_context_set_subscribe_callback(context, &Loop::onEvent, this);
        if (pa_operation* op = pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr)) {
            pa_operation_unref(op);
        }
        if (auto error = record(*sinkName)) return error;
        const std::string monitor = *sinkName + ".monitor";
        const bool settled = waitFor([&] {
            const auto state = pa_stream_get_state(stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        });
        if (!settled || pa_stream_get_state(stream) != PA_STREAM_READY) {
            return "cannot record " + monitor + ": " + contextError();
        }
        if (!pa_sample_spec_equal(pa_stream_get_sample_spec(stream), &spec)) {
            return "the audio server records " + monitor + " in another format";
        }
        return std::nullopt;
    }

    static void onContextState(pa_context* context, void* user) {
        auto* loop = static_cast<Loop*>(user);
        if (loop->running && !PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            loop->fail("audio server connection lost: " + loop->contextError());
        }
        pa_threaded_mainloop_signal(loop->mainloop, 0);
    }

    static void onStreamState(pa_stream* stream, void* user) {
        auto* loop = static_cast<Loop*>(user);
        if (loop->running && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)) &&
            PA_CONTEXT_IS_GOOD(pa_context_get_state(loop->context))) {
            // The recorded output went away: follow the server's new default, if it has one.
            pa_operation* op = pa_context_get_server_info(loop->context, &Loop::afterStreamLost, loop);
            if (op) pa_operation_unref(op);
        }
        pa_threaded_mainloop_signal(loop->mainloop, 0);
    }

    static void afterStreamLost(pa_context*, const pa_server_info* info, void* user) {
        auto* loop = static_cast<Loop*>(user);
        if (!loop->running || loop->failed) return;
        if (!info || !info->default_sink_name || info->default_sink_name == loop->sink) {
            return loop->fail("the audio output " + loop->sink + " went away");
        }
        if (auto error = loop->record(info->default_sink_name)) loop->fail(*error);
    }

    static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t, void* user) {
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) return;
        pa_operation* op = pa_context_get_server_info(context, &Loop::onServerInfo, user);
        if (op) pa_operation_unref(op);
    }

    // The server changed: when its default output is another one, record that one's monitor.
    static void onServerInfo(pa_context*, const pa_server_info* info, void* user) {
        auto* loop = static_cast<Loop*>(user);
        if (!info || !info->default_sink_name || !loop->running || loop->failed) return;
        if (info->default_sink_name == loop->sink && loop->stream) return;
        if (auto error = loop->record(info->default_sink_name)) loop->fail(*error);
    }

    static void onRead(pa_stream* stream, std::size_t, void* user) {
        auto* loop = static_cast<Loop*>(user);
        const std::size_t frameBytes = pa_frame_size(&loop->spec);
        for (;;) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
            // A hole (no data) is skipped: the next buffer's later time shows it.
            if (data && !loop->failed) loop->deliver(stream, data, bytes - bytes % frameBytes);
            pa_stream_drop(stream);
        }
    }

    void deliver(pa_stream* from, const void* data, std::size_t bytes) {
        if (bytes == 0 || !owner.onBuffer) return;
        // The reported latency is the age of the newest sample; everything still readable, this
        // chunk first, was recorded before it.
        pa_usec_t latency = 0;
        int negative = 0;
        if (pa_stream_get_latency(from, &latency, &negative) < 0) latency = 0;
        const std::size_t readable = pa_stream_readable_size(from);
        const std::size_t buffered = readable == static_cast<std::size_t>(-1) ? bytes : std::max(readable, bytes);
        const double age = (negative ? -1.0 : 1.0) * static_cast<double>(latency) / 1e6 +
                           static_cast<double>(pa_bytes_to_usec(buffered, &spec)) / 1e6;
        const std::span samples(static_cast<const float*>(data), bytes / sizeof(float));
        owner.onBuffer(PcmBuffer{format, samples, monotonicSeconds() - age});
    }
};

PulseSystemAudioSource::PulseSystemAudioSource(std::string server) : server_(std::move(server)) {}

PulseSystemAudioSource::~PulseSystemAudioSource() { stop(); }

std::expected<void, std::string> PulseSystemAudioSource::start(PcmFormat wanted) {
    if (wanted.sampleRate <= 0 || wanted.channels <= 0 || wanted.channels > int{PA_CHANNELS_MAX}) {
        return std::unexpected("unsupported capture format " + std::to_string(wanted.sampleRate) + "Hz " +
                               std::to_string(wanted.channels) + "ch");
    }
    stop();
    loop_ = std::make_unique<Loop>(*this);
    loop_->format = wanted;
    loop_->spec = {PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(wanted.sampleRate),
                   static_cast<std::uint8_t>(wanted.channels)};
    if (auto error = loop_->connect(server_)) {
        loop_.reset();
        return std::unexpected(*error);
    }
    return {};
}

void PulseSystemAudioSource::stop() { loop_.reset(); }

}  // namespace orvanta::platform::pulse
