// The real host end to end on loopback at 1080p: the test-host program serving a private Xvfb
// whose desktop changes 60 times a second, and a device reading the video channel and
// acknowledging every frame as a client does. Capture-to-received latency (a frame's
// presentation time is its grab on the uptime clock, which both processes share) and frames a
// second, next to the bare x264 encode of the same pictures in the same run; draw-to-received
// latency, from the uptime the drawing X client paints into each picture, read back from the
// decoded pictures; then the host's CPU and wake-ups with the device still connected and the
// screen unchanged, and the host's resident memory.
//
// Measured on a shared 8-core AMD EPYC (load 12-23 from other work; Release, median of three):
// 59.6 frames a second; capture-to-received p95 13.7 ms, 1.17 times the bare encode's p95;
// draw-to-received p50 10.2 ms, p95 16.9 ms; idle host CPU 0.4 % of a core and 47-49 wake-ups a
// second (30 of them the controller's cursor tick, which no longer asks X for a still pointer;
// 74-78 before); host RSS 92 MB. The host alone on two cores
// (ORVANTA_BENCH_HOST_CPUS=0,1, load 8-9): 59.7 frames a second, p95 ratio 1.63, draw-to-received
// p95 18.3 ms. Under `taskset -c 0,1` (the host, the X server and the device on two cores): 59.1
// frames a second, p95 ratio 1.52, draw-to-received p95 29.8 ms.
//
// ORVANTA_TEST_HOST names the test-host program when it was not built alongside (configure with
// -DORVANTA_TESTS=ON -DORVANTA_BENCH=ON); ORVANTA_BENCH_SECONDS sets the changing phase (10 s);
// ORVANTA_BENCH_HOST_CPUS ("0,1") pins the host alone to those cores.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "BenchDesktop.h"
#include "host/controller/HostController.h"
#include "host/media/CaptureConverter.h"
#include "host/media/Encoder.h"
#include "protocol/StreamConfig.h"
#include "support/FakeHostDevice.h"
#include "support/H264TestDecoder.h"
#include "support/LoopbackDevice.h"
#include "support/TestHostProcess.h"
#include "support/XvfbFixture.h"

namespace {

using namespace orvanta;
using namespace orvanta::bench;
using namespace std::chrono_literals;

constexpr auto kIdleSettle = 1s;
constexpr auto kIdleMeasured = 5s;
constexpr auto kFrameInterval = 16'667us;

std::string testHostProgram() {
    if (const char* configured = std::getenv("ORVANTA_TEST_HOST")) return configured;
#ifdef ORVANTA_TEST_HOST_PATH
    return ORVANTA_TEST_HOST_PATH;
#else
    return {};
#endif
}

int changingSeconds() {
    const char* configured = std::getenv("ORVANTA_BENCH_SECONDS");
    return configured ? std::atoi(configured) : 10;
}

// Every thread of a process onto the cores ORVANTA_BENCH_HOST_CPUS lists ("0,1"), when it is set;
// threads it starts later inherit them. Only the host is pinned: the X server and the device keep
// the rest of the machine.
void pinHost(pid_t pid) {
    const char* listed = std::getenv("ORVANTA_BENCH_HOST_CPUS");
    if (!listed) return;
    cpu_set_t cores;
    CPU_ZERO(&cores);
    std::istringstream list(listed);
    for (std::string core; std::getline(list, core, ',');) CPU_SET(std::stoi(core), &cores);
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        ::sched_setaffinity(std::stoi(task.path().filename().string()), sizeof cores, &cores);
    }
}

// A process's user and system time in seconds, from /proc.
double processCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index) {
        if (index == 14 || index == 15) ticks += std::stod(field);  // utime, stime
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// How often a process's threads have been woken so far: their context switches, from /proc.
double processWakeUps(pid_t pid) {
    double switches = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.find("_ctxt_switches:") != std::string::npos)
                switches += std::stod(line.substr(line.find(':') + 1));
        }
    }
    return switches;
}

double processStatusMegabytes(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(key)) return std::stod(line.substr(key.size())) / 1024;
    }
    return 0;
}

std::string hello(const std::string& token) {
    return base::Json{{"type", "hello"},
                      {"token", token},
                      {"deviceId", "bench-device"},
                      {"idiom", "pad"},
                      {"viewport", {{"width", kWidth}, {"height", kHeight}}},
                      {"caps", {{"codecs", {"h264"}}, {"lowPower", false}, {"maxFps", 60}}}}
        .dump();
}

// The device's reading side: every video frame's age on arrival, acknowledged at once; and, from
// the decoded pictures (on a thread of their own, so decoding never delays a read), how long each
// drawing took from the X client that drew it to its first arrival.
class FrameReader {
public:
    explicit FrameReader(orvanta::testing::LoopbackSession& session) : session_(session) {
        thread_ = std::thread([this] {
            while (auto packet = session_.nextPacket()) {
                const auto type = packet->header().type;
                if (type == protocol::PacketType::config) {
                    if (auto config = protocol::StreamConfig::decode(*packet))
                        post({config->sps, config->pps, 0, true});
                    continue;
                }
                if (type != protocol::PacketType::video) continue;
                const auto arrived = now();
                session_.ack(packet->header());
                post({base::Bytes(packet->payload().begin(), packet->payload().end()), {}, arrived, false});
                std::lock_guard guard(mutex_);
                arrivals_.push_back(arrived);
                ages_.push_back(static_cast<double>(arrived - packet->header().ptsMicros) / 1000);
            }
            post({{}, {}, 0, false});  // the end
        });
        decoding_ = std::thread([this] { decode(); });
    }
    ~FrameReader() {
        session_.close();
        thread_.join();
        decoding_.join();
    }

    // Ages in milliseconds of the frames that arrived in [from, to).
    std::vector<double> agesBetween(std::uint64_t from, std::uint64_t to) {
        std::lock_guard guard(mutex_);
        return between(arrivals_, ages_, from, to);
    }
    // Draw-to-arrival times in milliseconds of the drawings that first arrived in [from, to).
    std::vector<double> drawAgesBetween(std::uint64_t from, std::uint64_t to) {
        std::lock_guard guard(mutex_);
        return between(drawArrivals_, drawAges_, from, to);
    }

private:
    struct Item {
        base::Bytes bytes;  // an access unit, or the SPS
        base::Bytes pps;
        std::uint64_t arrived = 0;
        bool config = false;
    };

    static std::vector<double> between(const std::vector<std::uint64_t>& arrivals, const std::vector<double>& values,
                                       std::uint64_t from, std::uint64_t to) {
        std::vector<double> found;
        for (std::size_t i = 0; i < arrivals.size(); ++i) {
            if (arrivals[i] >= from && arrivals[i] < to) found.push_back(values[i]);
        }
        return found;
    }

    void post(Item item) {
        std::lock_guard guard(mutex_);
        queue_.push_back(std::move(item));
        queued_.notify_one();
    }

    void decode() {
        std::unique_ptr<orvanta::testing::H264Decoder> decoder;
        std::uint64_t lastStamp = 0;
        for (;;) {
            Item item;
            {
                std::unique_lock guard(mutex_);
                queued_.wait(guard, [&] { return !queue_.empty(); });
                item = std::move(queue_.front());
                queue_.pop_front();
            }
            if (item.config) {
                decoder = std::make_unique<orvanta::testing::H264Decoder>(std::pair(item.bytes, item.pps));
                continue;
            }
            if (item.bytes.empty()) return;
            const AVFrame* frame = decoder ? decoder->decode(item.bytes) : nullptr;
            if (!frame) continue;
            const std::uint64_t stamp = readStamp(frame->data[0], frame->linesize[0]);
            // A picture of a drawing already seen (a pointer move, a repeat) is no new arrival.
            if (stamp <= lastStamp || stamp > item.arrived) continue;
            lastStamp = stamp;
            std::lock_guard guard(mutex_);
            drawArrivals_.push_back(item.arrived);
            drawAges_.push_back(static_cast<double>(item.arrived - stamp) / 1000);
        }
    }

    orvanta::testing::LoopbackSession& session_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<Item> queue_;
    std::vector<std::uint64_t> arrivals_;
    std::vector<double> ages_;
    std::vector<std::uint64_t> drawArrivals_;
    std::vector<double> drawAges_;
    std::thread thread_;
    std::thread decoding_;
};

// The bare x264 encode of the same pictures, in milliseconds each.
std::vector<double> bareEncodeTimes(Desktop& desktop, int frames) {
    host::Encoder encoder(kWidth, kHeight, [](std::string_view) {});
    encoder.start();
    host::CaptureConverter converter({kWidth, kHeight});
    std::vector<double> times;
    std::uint64_t started = 0;
    encoder.onEncoded = [&](base::Bytes, bool, std::uint64_t) {
        times.push_back(static_cast<double>(now() - started) / 1000);
    };
    for (int frame = 0; frame <= frames; ++frame) {
        const auto& pixels = desktop.render(frame);
        const platform::ScreenImage image{
            {reinterpret_cast<const std::uint8_t*>(pixels.data()), pixels.size() * 4}, kWidth, kHeight, kWidth * 4, 0};
        auto nv12 = converter.convert(image, {0, 0, kWidth, kHeight}, {0, 0, kWidth, kHeight});
        started = now();
        encoder.encode(nv12, static_cast<std::uint64_t>(frame) * 16'667);
    }
    if (!times.empty()) times.erase(times.begin());  // the first keyframe
    return times;
}

void BM_HostEndToEnd1080p(benchmark::State& state) {
    const std::string program = testHostProgram();
    if (program.empty()) return state.SkipWithError("no test-host program (set ORVANTA_TEST_HOST)");
    auto server = orvanta::testing::XvfbServer::start({.width = kWidth, .height = kHeight});
    if (!server) return state.SkipWithError(("Xvfb: " + server.error()).c_str());
    auto x = platform::x11::XConnection::open((*server)->display());
    if (!x) return state.SkipWithError("no X connection");
    const xcb_gcontext_t gc = xcb_generate_id((*x)->get());
    xcb_create_gc((*x)->get(), gc, (*x)->root(), 0, nullptr);
    Desktop desktop;
    desktop.drawAll(**x, gc);
    char home[] = "/tmp/orvanta-bench-host-XXXXXX";
    if (!::mkdtemp(home)) return state.SkipWithError("no temporary folder");

    // While the blackout covers are up the capture does not see changes beneath them.
    orvanta::testing::TestHostProcess::storeSetting(home, host::StoredHostSettings::kBlackoutKey, false);
    for (auto _ : state) {
        auto host = orvanta::testing::TestHostProcess::start(program, home, {"DISPLAY=" + (*server)->display()});
        if (!host) return state.SkipWithError(("test-host: " + host.error()).c_str());
        pinHost((*host)->pid());
        const auto paired = orvanta::testing::postPair((*host)->loopbackPort(),
                                                       orvanta::testing::pairBody((*host)->pairCode(), "bench-device"));
        auto session = orvanta::testing::LoopbackSession::open((*host)->loopbackPort(),
                                                               hello(paired.body.value("deviceToken", "")), false);
        if (!session) return state.SkipWithError("no session");
        std::vector<double> latencies;
        std::vector<double> drawLatencies;
        double fps = 0;
        {
            FrameReader reader(**session);
            std::this_thread::sleep_for(1s);  // the pipeline starts and sends its first keyframe
            const int seconds = changingSeconds();
            const auto from = now();
            const auto start = std::chrono::steady_clock::now();
            int frame = 0;
            for (auto next = start; next < start + std::chrono::seconds(seconds); next += kFrameInterval) {
                std::this_thread::sleep_until(next);
                desktop.draw(**x, gc, ++frame, true);
            }
            const auto to = now();
            latencies = reader.agesBetween(from, to);
            drawLatencies = reader.drawAgesBetween(from, to);
            fps = static_cast<double>(latencies.size()) / seconds;

            // Still screen, device connected.
            std::this_thread::sleep_for(kIdleSettle);
            const double before = processCpuSeconds((*host)->pid());
            const double wakeUpsBefore = processWakeUps((*host)->pid());
            std::this_thread::sleep_for(kIdleMeasured);
            const double idle = processCpuSeconds((*host)->pid()) - before;
            const double idleSeconds = std::chrono::duration<double>(kIdleMeasured).count();
            state.counters["idle_cpu_percent"] = idle / idleSeconds * 100;
            state.counters["idle_wakeups_per_s"] = (processWakeUps((*host)->pid()) - wakeUpsBefore) / idleSeconds;
            state.counters["host_rss_MB"] = processStatusMegabytes((*host)->pid(), "VmRSS:");
            state.counters["host_rss_peak_MB"] = processStatusMegabytes((*host)->pid(), "VmHWM:");
        }
        session->reset();
        (*host)->terminate();

        const auto encode = bareEncodeTimes(desktop, 300);
        state.counters["latency_p50_ms"] = percentile(latencies, 0.5);
        state.counters["latency_p95_ms"] = percentile(latencies, 0.95);
        state.counters["fps"] = fps;
        state.counters["encode_p50_ms"] = percentile(encode, 0.5);
        state.counters["encode_p95_ms"] = percentile(encode, 0.95);
        state.counters["p95_ratio"] = percentile(latencies, 0.95) / percentile(encode, 0.95);
        state.counters["draw_latency_p50_ms"] = percentile(drawLatencies, 0.5);
        state.counters["draw_latency_p95_ms"] = percentile(drawLatencies, 0.95);
        state.counters["frames"] = static_cast<double>(latencies.size());
    }
    std::filesystem::remove_all(home);
}
BENCHMARK(BM_HostEndToEnd1080p)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
