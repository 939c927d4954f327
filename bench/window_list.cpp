// Listing the desktop's windows with their owners, names and frames, as the controller does on
// every window fit and aspect sweep: 50 client windows under openbox on a private Xvfb.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include "host/desktop/WindowManager.h"
#include "platform/x11/X11WindowSystem.h"
#include "support/FakeIconRenderer.h"
#include "support/X11TestWindows.h"
#include "support/XvfbFixture.h"

namespace {

namespace base = orvanta::base;
namespace host = orvanta::host;
namespace platform = orvanta::platform;
namespace testing = orvanta::testing;

constexpr int kWindows = 50;

struct Desktop {
    std::unique_ptr<platform::x11::X11WindowSystem> system;
    std::unique_ptr<testing::X11TestWindows> windows;
    std::string error;
};

Desktop& desktop() {
    static Desktop shared = [] {
        Desktop made;
        auto display = testing::sharedXvfb({.width = 1920, .height = 1080, .windowManager = true});
        if (!display) return Desktop{nullptr, nullptr, display.error()};
        auto system = platform::x11::X11WindowSystem::open(*display);
        auto windows = testing::X11TestWindows::open(*display);
        if (!system || !windows) return Desktop{nullptr, nullptr, "cannot connect to " + *display};
        made.system = std::move(*system);
        made.windows = std::move(*windows);
        for (int i = 0; i < kWindows; ++i) {
            testing::TestWindowSpec spec;
            spec.title = "window " + std::to_string(i);
            spec.pid = getppid();
            spec.width = 300 + i;
            spec.height = 200 + i;
            if (!made.windows->waitManaged(made.windows->create(spec))) made.error = "openbox did not manage a window";
        }
        return made;
    }();
    return shared;
}

void windowServerList(benchmark::State& state) {
    auto& d = desktop();
    if (!d.error.empty()) return state.SkipWithError(d.error.c_str());
    for (auto _ : state) {
        auto list = d.system->windowList(true);
        if (!list || list->size() < kWindows) return state.SkipWithError("windows missing from the list");
        benchmark::DoNotOptimize(list);
    }
}
BENCHMARK(windowServerList)->Unit(benchmark::kMillisecond);

void aspectWindows(benchmark::State& state) {
    auto& d = desktop();
    if (!d.error.empty()) return state.SkipWithError(d.error.c_str());
    testing::FakeIconRenderer icons;
    host::WindowManager manager(*d.system, icons, base::SystemClock::shared(), [](std::string_view) {});
    for (auto _ : state) benchmark::DoNotOptimize(manager.aspectWindows());
}
BENCHMARK(aspectWindows)->Unit(benchmark::kMillisecond);

void openWindowsSorted(benchmark::State& state) {
    auto& d = desktop();
    if (!d.error.empty()) return state.SkipWithError(d.error.c_str());
    testing::FakeIconRenderer icons;
    host::WindowManager manager(*d.system, icons, base::SystemClock::shared(), [](std::string_view) {});
    for (auto _ : state) benchmark::DoNotOptimize(manager.openWindows());
}
BENCHMARK(openWindowsSorted)->Unit(benchmark::kMillisecond);

}  // namespace
