// The session hub on its own, over real loopback connections on virtual time: its neighbours are
// recording fakes that take the coordinator's part where a step needs it (an end releases and
// closes the session, a detach marks it).
#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <future>

#include "HostControlDevice.h"
#include "base/DispatchQueue.h"
#include "host/controller/SessionHub.h"
#include "support/ManualExecutor.h"
#include "support/MemorySecretStore.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;
using Close = std::pair<int, std::string>;

class SessionHubTest : public ::testing::Test {
protected:
    void SetUp() override {
        tokenA = registry->registerDevice("dev-a", "Tablet A").value();
        tokenB = registry->registerDevice("dev-b", "Laptop B").value();
        hub->onSessionStarting = [this](const host::DeviceRecord& record) { calls.push_back("starting " + record.deviceId); };
        hub->onSessionStarted = [this](const std::shared_ptr<host::HostSession>& session) {
            calls.push_back("started " + session->deviceId);
            session->control->sendText(R"({"type":"welcome"})");
        };
        hub->onResume = [this](const std::shared_ptr<host::HostSession>& current,
                               const std::shared_ptr<host::BusyWaiter>& waiter) {
            calls.push_back("resume");
            hub->replace(current, waiter);
        };
        hub->onDetach = [this](const std::shared_ptr<host::HostSession>& session) {
            calls.push_back("detach");
            hub->markDetached(*session);
        };
        hub->onEnd = [this](const std::shared_ptr<host::HostSession>& session, std::optional<std::uint16_t> code,
                            std::string_view reason) {
            calls.push_back("end " + std::string(reason));
            const auto ended = session;  // the reference is the hub's own slot
            if (hub->release(ended)) ended->control->close(code.value_or(1001), reason);
        };
        hub->onMessage = [this](protocol::ControlMessage&, const std::shared_ptr<host::HostSession>&) {
            calls.push_back("message");
        };
        hub->onUndecodable = [this] { calls.push_back("undecodable"); };
        hub->onControllerMessage = [this](const protocol::ControlMessage&,
                                          const std::shared_ptr<host::ControllerSession>&) {
            calls.push_back("controller message");
        };
        hub->onClipboardHello = [this](const std::shared_ptr<host::WebSocketConnection>&, const base::Json&,
                                       host::ConnectionRoute) { calls.push_back("clipboard"); };
        hub->onControllerJoined = [this](const std::string& id) { calls.push_back("controller joined " + id); };
        hub->onControllerEnded = [this](const std::string& id) { calls.push_back("controller ended " + id); };
        hub->onDevicesChanged = [] {};
        hub->onLinksChanged = [] {};
        hub->log = [this](std::string_view line) { logs.emplace_back(line); };
    }

    // As the controller's harness: the transport may still be handing completions to the queue.
    void TearDown() override {
        hub.reset();
        queue.stop();
        transport->sync([] {});
    }

    static std::string hello(const std::string& token, const std::string& deviceId) {
        return R"({"caps":{"codecs":["h264"],"lowPower":false,"maxFps":60},"deviceId":")" + deviceId +
               R"(","idiom":"pad","token":")" + token + R"(","type":"hello","viewport":{"height":768,"width":1024}})";
    }

    std::unique_ptr<HostControlDevice> open(const std::string& first) {
        auto device = std::make_unique<HostControlDevice>(acceptor.local_endpoint().port(), base::Bytes{}, false);
        boost::asio::ip::tcp::socket socket(transport->context());
        acceptor.accept(socket);
        hub->accept({transport, std::move(socket)}, textFrame(first), host::ConnectionRoute::local);
        return device;
    }

    bool drive(const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < limit) {
            queue.runUntil([] { return true; }, std::chrono::milliseconds(2));
            if (done()) return true;
        }
        return false;
    }

    template <class Read>
    auto await(Read read) {
        auto result = std::async(std::launch::async, read);
        drive([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
        return result.get();
    }

    // A device holding the main session, welcomed.
    std::unique_ptr<HostControlDevice> mainSession() {
        auto device = open(hello(tokenA, "dev-a"));
        EXPECT_TRUE(await([&] { return device->nextText("welcome"); }));
        return device;
    }

    bool called(std::string_view call) const { return std::ranges::find(calls, call) != calls.end(); }

    std::shared_ptr<base::DispatchQueue> transport = std::make_shared<base::DispatchQueue>("test.transport");
    boost::asio::ip::tcp::acceptor acceptor{transport->context(), {boost::asio::ip::address_v4::loopback(), 0}};
    ManualExecutor queue;
    std::shared_ptr<host::DeviceRegistry> registry =
        std::make_shared<host::DeviceRegistry>(std::make_shared<MemorySecretStore>());
    std::shared_ptr<host::SessionHub> hub = std::make_shared<host::SessionHub>(queue, queue.clock(), registry);
    std::string tokenA;
    std::string tokenB;
    std::vector<std::string> calls;
    std::vector<std::string> logs;
};

// A pong older than five seconds at a tick ends the session; exactly five seconds still pings.
TEST_F(SessionHubTest, KeepAlivePingsTheLiveSessionAndEndsItWhenItsPongsStop) {
    auto device = mainSession();
    const std::uint64_t startedAt = queue.nowMicros();
    queue.advance(5s);
    hub->keepAlive();
    EXPECT_EQ(await([&] { return device->nextText("ping"); }),
              (base::Json{{"type", "ping"}, {"id", 1}, {"t", startedAt + 5'000'000}}));
    queue.advance(1us);
    hub->keepAlive();
    EXPECT_EQ(await([&] { return device->nextClose(); }), (Close{1001, "control timeout"}));
    EXPECT_EQ(calls.back(), "end control timeout");
    EXPECT_FALSE(hub->session());
}

TEST_F(SessionHubTest, DetachedOrUnauthenticatedSessionsGetNoPingAndNoTimeout) {
    for (const bool detached : {true, false}) {
        SCOPED_TRACE(detached ? "detached" : "unauthenticated");
        calls.clear();
        auto device = open(detached ? hello(tokenA, "dev-a") : R"({"type":"hello"})");
        ASSERT_TRUE(drive([&] { return hub->session() && (!detached || hub->session()->authenticated); }));
        const auto session = hub->session();
        if (detached) {
            device->write(closeFrame(1000));
            ASSERT_TRUE(drive([&] { return session->detachedAt.has_value(); }));
        }
        queue.advance(6s);
        hub->keepAlive();
        EXPECT_EQ(hub->session(), session);
        EXPECT_EQ(session->pingId, 0u);
        EXPECT_FALSE(called("end control timeout"));
        const auto ended = hub->session();
        hub->release(ended);
    }
}

// The controller's pongs are the hub's own: one keeps it alive, five silent seconds after it end it.
TEST_F(SessionHubTest, KeepAliveClosesASilentControllerSession) {
    auto a = mainSession();
    auto b = open(hello(tokenB, "dev-b"));
    ASSERT_TRUE(await([&] { return b->nextText("busy"); }));
    b->send(R"({"type":"joinController"})");
    ASSERT_TRUE(await([&] { return b->nextText("controllerJoined"); }));
    EXPECT_EQ(calls.back(), "controller joined dev-b");
    queue.advance(3s);
    b->send(R"({"type":"pong","id":1,"t":0,"clientTime":0})");
    const std::uint64_t pongAt = queue.nowMicros();
    ASSERT_TRUE(drive([&] { return hub->controller()->lastPongAt == pongAt; }));
    EXPECT_FALSE(called("controller message"));
    queue.advance(5s);
    hub->keepAlive();
    EXPECT_EQ(await([&] { return b->nextText("ping"); })->at("id"), 1);
    queue.advance(1us);
    hub->keepAlive();
    EXPECT_EQ(await([&] { return b->nextClose(); }), (Close{1001, "controller timeout"}));
    EXPECT_FALSE(hub->controller());
    EXPECT_EQ(std::ranges::count(calls, "controller ended dev-b"), 1);
    EXPECT_TRUE(std::ranges::find(logs, "controller closed: controller timeout") != logs.end());
}

}  // namespace
}  // namespace orvanta::testing
