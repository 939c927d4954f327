// Input messages through the injector to a flushed, answered XTest request on a private Xvfb: a
// pointer move, a key typed as text, and a key with a modifier. Input must never queue behind
// video, so one message should take well under 50 us on one core.
#include <benchmark/benchmark.h>

#include "host/desktop/InputInjector.h"
#include "platform/x11/X11InputSink.h"
#include "support/ManualExecutor.h"
#include "support/XvfbFixture.h"

namespace {

namespace host = orvanta::host;
namespace platform = orvanta::platform;
namespace protocol = orvanta::protocol;
namespace support = orvanta::testing;

struct Rig {
    support::ManualExecutor executor;
    std::unique_ptr<platform::x11::X11InputSink> sink;
    std::unique_ptr<host::InputInjector> injector;
};

std::unique_ptr<Rig> rig(benchmark::State& state) {
    auto display = support::sharedXvfb();
    if (!display) {
        state.SkipWithError(("Xvfb: " + display.error()).c_str());
        return nullptr;
    }
    auto made = std::make_unique<Rig>();
    auto sink = platform::x11::X11InputSink::open(made->executor, *display);
    if (!sink) {
        state.SkipWithError(sink.error().c_str());
        return nullptr;
    }
    made->sink = std::move(*sink);
    made->injector =
        std::make_unique<host::InputInjector>(made->executor, made->executor.clock(), *made->sink, [](std::string) {});
    return made;
}

void PointerMove(benchmark::State& state) {
    auto r = rig(state);
    if (!r) return;
    protocol::PointerInput move{0, "move", 0.25, 0.5};
    std::uint32_t seq = 0;
    for (auto _ : state) {
        move.seq = ++seq;
        move.x = (seq % 2) ? 0.25 : 0.75;
        if (r->injector->handle(move, "bench") != host::InputInjector::Result::ok) state.SkipWithError("move failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(PointerMove);

void KeyAsText(benchmark::State& state) {
    auto r = rig(state);
    if (!r) return;
    protocol::KeyInput key;
    key.name = "a";
    std::uint32_t seq = 0;
    for (auto _ : state) {
        key.seq = ++seq;
        if (r->injector->handle(key, "bench") != host::InputInjector::Result::ok) state.SkipWithError("key failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(KeyAsText);

void KeyWithCommand(benchmark::State& state) {
    auto r = rig(state);
    if (!r) return;
    protocol::KeyInput key;
    key.name = "c";
    key.command = true;
    std::uint32_t seq = 0;
    for (auto _ : state) {
        key.seq = ++seq;
        if (r->injector->handle(key, "bench") != host::InputInjector::Result::ok) state.SkipWithError("key failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(KeyWithCommand);

}  // namespace
