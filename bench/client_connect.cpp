// The client's session over loopback: connecting and completing the hello, welcome and auth
// handshake against the project's own host transport, and receiving large binary messages (video
// access units) through the Beast WebSocket client.
#include <benchmark/benchmark.h>

// Asio's scheduler trips g++ 12's -Wnull-dereference once inlined at -O3 here; the code is Asio's.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#include "client/session/ConnectionManager.h"
#include "client/session/LoopbackSessionHost.h"
#include "platform/beast/BeastWebSocketClient.h"
#include "support/MemorySettings.h"
#pragma GCC diagnostic pop

namespace {

using orvanta::client::ConnectionManager;
using orvanta::testing::LoopbackSessionHost;
using orvanta::testing::ManualExecutor;

// From connect to the state connected: both channels opened, hello, welcome, auth.
void BM_ConnectAndHandshake(benchmark::State& state) {
    ManualExecutor executor;
    LoopbackSessionHost host(executor);
    auto sockets = std::make_shared<orvanta::platform::BeastWebSocketClient>();
    auto settings = std::make_shared<orvanta::testing::MemorySettings>();
    orvanta::client::HostListStore::Entry entry;
    entry.id = "BENCH";
    entry.baseURL = host.baseURL();
    for (auto _ : state) {
        auto manager = ConnectionManager::create(executor, executor.clock(), sockets, settings);
        manager->connect(entry, "token", "device", false);
        if (!executor.runUntil([&] { return manager->state() == ConnectionManager::State::connected; })) {
            state.SkipWithError("no welcome");
            break;
        }
        state.PauseTiming();
        auto closes = host.controlCloses.size();
        manager->disconnect();
        executor.runUntil([&] { return host.controlCloses.size() > closes; });
        manager.reset();
        host.forgetClosed();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ConnectAndHandshake)->Unit(benchmark::kMillisecond)->UseRealTime();

// 1 MB binary messages from the host's connection, received whole by the client's channel.
void BM_ReceiveBinary1MB(benchmark::State& state) {
    constexpr std::size_t kMessageBytes = 1 << 20;
    constexpr int kMessagesPerIteration = 16;
    ManualExecutor executor;
    LoopbackSessionHost host(executor);
    host.onHello = [](auto&, const auto&) {};
    auto sockets = std::make_shared<orvanta::platform::BeastWebSocketClient>();
    orvanta::platform::WebSocketOptions options;
    options.maxMessageBytes = ConnectionManager::kMaxMessageBytes;
    auto channel = sockets->open(host.baseURL().replace(0, 4, "ws") + "/v2/video", options, executor);
    executor.runUntil([&] { return host.videos.size() == 1; });
    orvanta::base::Bytes payload(kMessageBytes, 0x5A);

    for (auto _ : state) {
        int received = 0;
        bool failed = false;
        std::function<void()> next = [&] {
            channel->receive([&](auto result) {
                if (!result) {
                    failed = true;
                    return;
                }
                if (++received < kMessagesPerIteration) next();
            });
        };
        next();
        for (int i = 0; i < kMessagesPerIteration; ++i) host.sendVideo(payload);
        executor.runUntil([&] { return failed || received == kMessagesPerIteration; });
        if (failed) {
            state.SkipWithError("receive failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kMessagesPerIteration * static_cast<std::int64_t>(kMessageBytes));
    channel->cancel(1001, "");
}
BENCHMARK(BM_ReceiveBinary1MB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
