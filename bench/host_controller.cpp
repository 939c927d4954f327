// The host controller: the pairing endpoint's answer over loopback, and one housekeeping tick of
// an idle controller.
#include <benchmark/benchmark.h>

#include "base/DispatchQueue.h"
#include "host/controller/HostController.h"
#include "host/controller/HostControllerProbe.h"
#include "support/FakeHostComponents.h"
#include "support/FakeHostDevice.h"
#include "support/FakeServiceAdvertiser.h"
#include "support/ManualExecutor.h"
#include "support/MemorySecretStore.h"
#include "support/MemorySettings.h"

namespace orvanta {
namespace {

using namespace std::chrono_literals;

// A sender whose stall check does nothing, as with no video connection.
class IdleSender final : public host::HostVideoSender {
public:
    void checkStall(std::uint64_t, host::HostEncoder*) override {}
    void rebaseStallClock(std::uint64_t) override {}
    void detach() override {}
    void attach(std::shared_ptr<host::WebSocketConnection>, bool) override {}
    bool hasConnection() const override { return false; }
    void setGeneration(std::uint16_t) override {}
    void setConfig(const protocol::StreamConfig&) override {}
    bool sendFrame(base::Bytes, bool, std::uint64_t) override { return false; }
    void recordCaptureStart(std::uint64_t) override {}
    bool ackReceived(std::uint16_t, std::uint32_t) override { return false; }
    void setBaseRTTMicros(std::uint64_t) override {}
};

host::HostControllerDependencies dependencies(base::Executor& queue, base::Executor& main, base::Executor& utility,
                                              const base::Clock& clock, testing::FakeHostComponents& fakes) {
    host::HostControllerDependencies result;
    result.queue = &queue;
    result.main = &main;
    result.utility = &utility;
    result.clock = &clock;
    result.registry = std::make_shared<host::DeviceRegistry>(std::make_shared<testing::MemorySecretStore>());
    result.settings = std::make_shared<testing::MemorySettings>();
    result.advertiser = std::make_shared<testing::FakeServiceAdvertiser>(queue);
    const auto loopback = boost::asio::ip::address_v4::loopback();
    result.serverOptions.loopback = {loopback, 0};
    result.serverOptions.lan = {loopback, 0};
    result.serverOptions.log = [](std::string_view) {};
    result.components = fakes.components();
    result.components.sender = std::make_shared<IdleSender>();
    result.environment = [](std::string_view) { return std::nullopt; };
    result.log = [](std::string_view) {};
    return result;
}

// Real queues; the clock moves 2 s before each request, so the attempt spacing never answers.
void PairingAnswerOverLoopback(benchmark::State& state) {
    base::DispatchQueue queue("zq2.host");
    base::DispatchQueue main("main");
    base::DispatchQueue utility("utility");
    testing::ManualClock clock;
    testing::FakeHostComponents fakes;
    auto controller = host::HostController::create(dependencies(queue, main, utility, clock, fakes));
    controller->start();
    std::optional<std::uint16_t> port;
    while (!port) port = queue.sync([&] { return controller->loopbackPort(); });
    const std::string body = testing::pairBody("ABCD-EFGH-JK", "bench-device", "Bench");
    for (auto _ : state) {
        state.PauseTiming();
        clock.advance(2s);
        state.ResumeTiming();
        auto answer = testing::postPair(*port, body);
        if (answer.status != "401 Unauthorized") state.SkipWithError(("unexpected answer " + answer.status).c_str());
    }
    queue.sync([&] { controller.reset(); });
}
BENCHMARK(PairingAnswerOverLoopback)->Unit(benchmark::kMicrosecond);

void IdleHousekeepingTick(benchmark::State& state) {
    testing::ManualExecutor queue;
    testing::ManualExecutor main;
    testing::FakeHostComponents fakes;
    auto controller = host::HostController::create(dependencies(queue, main, main, queue.clock(), fakes));
    host::HostControllerProbe probe(*controller);
    for (auto _ : state) probe.housekeepingTick();
}
BENCHMARK(IdleHousekeepingTick);

}  // namespace
}  // namespace orvanta
