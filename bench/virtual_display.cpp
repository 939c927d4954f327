// Creating and releasing a virtual display: a span on Xvfb (started large and fitted to
// 1920x1080), and a spare output on Xorg with the dummy driver where this runs as root.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "platform/x11/X11VirtualDisplay.h"
#include "support/X11TestDesktop.h"
#include "support/XorgDummyFixture.h"

namespace {

using namespace orvanta;
using platform::x11::X11VirtualDisplayFactory;

const platform::VirtualDisplayRequest kSpec{
    std::string(platform::kVirtualDisplayMark), {2254, 1268}, {{2254, 1268}}, 60};

std::filesystem::path stateFile() {
    return std::filesystem::temp_directory_path() / ("orvanta-bench-vd-" + std::to_string(::getpid()) + ".json");
}

void run(benchmark::State& state, const std::string& display, bool measureCreate) {
    auto factory = X11VirtualDisplayFactory::open(display, stateFile());
    if (!factory || !(*factory)->isAvailable()) {
        state.SkipWithError("no virtual display on this server");
        return;
    }
    for (auto _ : state) {
        if (!measureCreate) state.PauseTiming();
        const auto id = (*factory)->create(kSpec);
        if (!id) {
            state.SkipWithError(id.error().c_str());
            return;
        }
        if (measureCreate)
            state.PauseTiming();
        else
            state.ResumeTiming();
        (*factory)->release(*id);
        if (measureCreate) state.ResumeTiming();
    }
}

const std::string& xvfb() {
    static orvanta::testing::X11TestDesktop* desktop = [] {
        auto started = orvanta::testing::X11TestDesktop::start();
        if (!started) {
            std::fprintf(stderr, "Xvfb: %s\n", started.error().c_str());
            std::exit(1);
        }
        return new orvanta::testing::X11TestDesktop(std::move(*started));
    }();
    return desktop->server->display();
}

std::string xorg() {
    static std::unique_ptr<orvanta::testing::XorgDummyServer> server = [] {
        if (!orvanta::testing::XorgDummyServer::runnable()) return std::unique_ptr<orvanta::testing::XorgDummyServer>();
        auto started = orvanta::testing::XorgDummyServer::start();
        return started ? std::move(*started) : nullptr;
    }();
    return server ? server->display() : std::string();
}

void BM_SpanCreate(benchmark::State& state) { run(state, xvfb(), true); }
void BM_SpanRelease(benchmark::State& state) { run(state, xvfb(), false); }
void BM_SpareOutputCreate(benchmark::State& state) {
    const auto display = xorg();
    if (display.empty()) return state.SkipWithError("Xorg with the dummy driver needs root");
    run(state, display, true);
}
void BM_SpareOutputRelease(benchmark::State& state) {
    const auto display = xorg();
    if (display.empty()) return state.SkipWithError("Xorg with the dummy driver needs root");
    run(state, display, false);
}

BENCHMARK(BM_SpanCreate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SpanRelease)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SpareOutputCreate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SpareOutputRelease)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
