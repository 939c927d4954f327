// System-audio encoding: one second of 48 kHz stereo through AACEncoder next to the bare
// libavcodec encode of the same samples (target: at most 1.1x, and under 2 % of a core), and the
// delay from a sample entering a real PulseAudio output to its packet leaving the encoder
// (target: under 60 ms).
#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <unistd.h>
#include <condition_variable>
#include <ctime>
#include <future>
#include <mutex>

#include "base/DispatchQueue.h"
#include "host/media/AudioCapture.h"
#include "platform/pulse/PulseSystemAudioSource.h"
#include "support/PulseFixture.h"
#include "support/ToneSignal.h"

namespace {

using namespace orvanta;

constexpr int kRate = 48000;
constexpr std::size_t kBufferFrames = 480;  // the capture hands over about 10 ms at a time

std::vector<float> oneSecond() { return orvanta::testing::SineSource(440, 0.5f).next(kRate); }

void BM_AACEncoderOneSecond(benchmark::State& state) {
    const std::vector<float> samples = oneSecond();
    host::AACEncoder encoder(protocol::AudioFormat::aacLC48kStereo(), [](std::string_view) {});
    double seconds = 10;
    std::size_t bytes = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < kRate; at += kBufferFrames, seconds += double(kBufferFrames) / kRate) {
            const std::span chunk(samples.data() + at * 2, kBufferFrames * 2);
            encoder.encode(
                {{kRate, 2}, chunk, seconds}, [] { return true; },
                [&](base::Bytes packet, std::uint64_t, bool) { bytes += packet.size(); });
        }
    }
    benchmark::DoNotOptimize(bytes);
    // Seconds of audio per second of CPU: 100 / this is the share of one core in real time.
    state.counters["x_realtime"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AACEncoderOneSecond)->Unit(benchmark::kMillisecond);

// The same samples straight into libavcodec, already planar.
void BM_BareLibavcodecOneSecond(benchmark::State& state) {
    const std::vector<float> interleaved = oneSecond();
    std::vector<float> left(kRate), right(kRate);
    for (int i = 0; i < kRate; ++i) left[i] = interleaved[2 * i], right[i] = interleaved[2 * i + 1];
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->sample_rate = kRate;
    av_channel_layout_default(&context->ch_layout, 2);
    context->bit_rate = 128'000;
    context->profile = FF_PROFILE_AAC_LOW;
    context->time_base = {1, kRate};
    avcodec_open2(context, codec, nullptr);
    AVFrame* frame = av_frame_alloc();
    frame->nb_samples = context->frame_size;
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = kRate;
    av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
    av_frame_get_buffer(frame, 0);
    AVPacket* packet = av_packet_alloc();
    // The same continuous tone as above: whole frames, carrying the remainder into the next second.
    std::int64_t pts = 0;
    std::int64_t end = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        for (end += kRate; pts + context->frame_size <= end; pts += context->frame_size) {
            av_frame_make_writable(frame);
            auto* l = reinterpret_cast<float*>(frame->data[0]);
            auto* r = reinterpret_cast<float*>(frame->data[1]);
            for (int i = 0; i < context->frame_size; ++i) {
                const auto at = static_cast<std::size_t>((pts + i) % kRate);
                l[i] = left[at];
                r[i] = right[at];
            }
            frame->pts = pts;
            avcodec_send_frame(context, frame);
            while (avcodec_receive_packet(context, packet) == 0) {
                bytes += static_cast<std::size_t>(packet->size);
                av_packet_unref(packet);
            }
        }
    }
    benchmark::DoNotOptimize(bytes);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
}
BENCHMARK(BM_BareLibavcodecOneSecond)->Unit(benchmark::kMillisecond);

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A packet's time is the capture time of its first sample on the uptime clock, so its age when it
// leaves the encoder is the delay from sink to packet for that sample; its last sample is one frame
// younger.
void BM_CaptureToPacketLatency(benchmark::State& state) {
    auto server = orvanta::testing::PulseServer::start();
    if (!server) return state.SkipWithError(("PulseAudio: " + server.error()).c_str());
    const std::string file = "/tmp/orvanta-bench-tone-" + std::to_string(::getpid()) + ".raw";
    auto player =
        orvanta::testing::PulseTonePlayer::start((*server)->server(), (*server)->sinkName(), file, 440, 0.4f, 30);
    if (!player) return state.SkipWithError("cannot play into the sink");
    base::DispatchQueue queue("zq2.audio");
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<double> delays;
    auto capture = host::AudioCapture::create(
        std::make_unique<platform::pulse::PulseSystemAudioSource>((*server)->server()), queue, [](std::string_view) {});
    capture->onPacket = [&](base::Bytes, std::uint64_t pts, bool) {
        const double delay = monotonicSeconds() - static_cast<double>(pts) / 1e6;
        std::lock_guard lock(mutex);
        delays.push_back(delay);
        arrived.notify_all();
    };
    std::promise<bool> started;
    capture->start([&](bool ok) { started.set_value(ok); });
    if (!started.get_future().get()) return state.SkipWithError("capture did not start");

    std::size_t seen = 0;
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        arrived.wait(lock, [&] { return delays.size() > seen; });
        seen = delays.size();
    }
    capture->stop();
    queue.sync([] {});
    ::unlink(file.c_str());
    std::lock_guard lock(mutex);
    std::sort(delays.begin() + std::min<std::ptrdiff_t>(10, std::ssize(delays)), delays.end());
    const std::size_t from = std::min<std::size_t>(10, delays.size());  // past the encoder's start
    if (delays.size() <= from) return;
    double sum = 0;
    for (std::size_t i = from; i < delays.size(); ++i) sum += delays[i];
    const double frameMs = 1000.0 * 1024 / kRate;
    const double mean = 1000 * sum / double(delays.size() - from);
    state.counters["first_sample_ms_mean"] = mean;
    state.counters["first_sample_ms_p95"] = 1000 * delays[from + (delays.size() - from) * 95 / 100 - 1];
    state.counters["last_sample_ms_mean"] = mean - frameMs;
}
BENCHMARK(BM_CaptureToPacketLatency)->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
