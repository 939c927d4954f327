// A host controller on virtual time with fake components and a real server on loopback, and the
// helpers its tests share: a pairing client over real HTTP and sessions over real WebSocket
// connections.
#pragma once

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/DispatchQueue.h"
#include "base/Json.h"
#include "host/controller/HostController.h"
#include "host/controller/HostControllerProbe.h"
#include "host/transport/WebSocketTestSupport.h"
#include "support/FakeHostComponents.h"
#include "support/FakeHostControl.h"
#include "support/FakeHostDevice.h"
#include "support/FakeServiceAdvertiser.h"
#include "support/ManualExecutor.h"
#include "support/MemorySecretStore.h"
#include "support/MemorySettings.h"

namespace orvanta::testing {

// A connection the controller holds, with the device's end of it.
struct LinkedConnection {
    std::unique_ptr<RawClient> device;
    std::shared_ptr<host::WebSocketConnection> connection;

    // The next text frame's JSON, of the given type when one is named (others are skipped);
    // nothing when the stream ended or the next frame was not text.
    std::optional<base::Json> nextText(std::string_view type = {}) {
        while (auto frame = device->readFrame()) {
            if (frame->opcode() != 1) return std::nullopt;
            auto json = base::Json::parse(std::string(frame->payload.begin(), frame->payload.end()), nullptr, false);
            if (type.empty() || json.value("type", "") == type) return json;
        }
        return std::nullopt;
    }
    // The close frame's code and reason, skipping text frames before it.
    std::optional<std::pair<int, std::string>> nextClose() {
        while (auto frame = device->readFrame()) {
            if (frame->opcode() != 8) continue;
            if (frame->payload.size() < 2) return std::pair<int, std::string>{0, {}};
            return std::pair<int, std::string>{(frame->payload[0] << 8) | frame->payload[1],
                                               std::string(frame->payload.begin() + 2, frame->payload.end())};
        }
        return std::nullopt;
    }
};

class HostControllerTest : public ::testing::Test {
protected:
    using Probe = host::HostControllerProbe;

    // The transport thread may still be handing read completions to the executors. The links'
    // sockets are closed here, while the executors still exist: their reads end now, not when the
    // kernel reports a device's socket closed after the fixture is gone. Then the executors stop,
    // so late posts are dropped, and the thread runs the aborted reads (posted by the first
    // round) before the second round returns.
    void TearDown() override {
        controller.reset();
        for (const auto& weak : links_) {
            if (auto connection = weak.lock()) connection->finish(std::nullopt);
        }
        queue.stop();
        main.stop();
        utility.stop();
        transport->sync([] {});
        transport->sync([] {});
    }

    void create() {
        host::HostControllerDependencies dependencies;
        dependencies.queue = &queue;
        dependencies.main = &main;
        dependencies.utility = &utility;
        dependencies.clock = &queue.clock();
        dependencies.registry = std::make_shared<host::DeviceRegistry>(secrets, [] {
            return std::chrono::system_clock::time_point(std::chrono::sys_days(std::chrono::year(2026) / 12 / 10));
        });
        registry = dependencies.registry;
        dependencies.settings = settings;
        advertiser = std::make_shared<FakeServiceAdvertiser>(queue);
        dependencies.advertiser = advertiser;
        const auto loopback = boost::asio::ip::address_v4::loopback();
        dependencies.serverOptions.loopback = {loopback, loopbackPort};
        dependencies.serverOptions.lan = {loopback, 0};
        dependencies.serverOptions.log = [](std::string_view) {};
        dependencies.components = fakes.components();
        dependencies.pairLinkLookup = [this](const std::string& code) -> std::optional<std::string> {
            lookedUp.push_back(code);
            if (!linkAvailable) return std::nullopt;
            return "https://host.example.ts.net/pair#" + code;
        };
        dependencies.environment = [this](std::string_view name) -> std::optional<std::string> {
            auto found = environment.find(std::string(name));
            if (found == environment.end()) return std::nullopt;
            return found->second;
        };
        dependencies.machineInfo = machineInfo;
        dependencies.log = [this](std::string_view line) { logs.emplace_back(line); };
        dependencies.recordInput = [this](std::string line) { inputLog.push_back(std::move(line)); };
        dependencies.control = controlFakes.components(utility);
        controller = host::HostController::create(std::move(dependencies));
        controller->published()->onChange = [this] { ++assignments; };
        main.runUntilIdle();
    }

    Probe probe() { return Probe(*controller); }
    const host::HostPublishedState& shown() const { return controller->published()->state(); }

    // Runs the three executors, waiting for the server's transport thread, until `done` holds.
    bool drive(const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < limit) {
            queue.runUntil([] { return true; }, std::chrono::milliseconds(2));
            utility.runUntilIdle();
            main.runUntilIdle();
            if (done()) return true;
        }
        return false;
    }

    void startListening() {
        create();
        controller->start();
        ASSERT_TRUE(drive([&] { return shown().listenState == host::ListenState::ready; }));
        port = queue.sync([&] { return controller->loopbackPort(); }).value_or(0);
    }

    HttpAnswer pair(const std::string& body) {
        auto answer = std::async(std::launch::async, [port = port, body] { return postPair(port, body); });
        EXPECT_TRUE(drive([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        return answer.get();
    }

    // Issues a code through the screen's path and returns its normalised form.
    std::string issue() {
        controller->issueCode();
        drive([] { return true; });
        return host::PairingManager::normalize(shown().codeText.value_or(""));
    }

    // Virtual time passes with every executor kept in step.
    void advance(std::chrono::microseconds delta) {
        queue.advance(delta);
        utility.runUntilIdle();
        main.runUntilIdle();
    }

    LinkedConnection link() {
        LinkedConnection linked;
        linked.device = std::make_unique<RawClient>(acceptor.local_endpoint().port());
        boost::asio::ip::tcp::socket socket(transport->context());
        acceptor.accept(socket);
        linked.connection = host::WebSocketConnection::create({transport, std::move(socket)}, {}, queue, queue.clock(),
                                                              [](std::string_view) {});
        linked.connection->start();
        links_.push_back(linked.connection);
        return linked;
    }

    // An authenticated main session of a device, as the hello leaves it.
    std::shared_ptr<host::HostController::Session> authenticatedSession(const LinkedConnection& linked,
                                                                        const std::string& deviceId = "dev-1") {
        auto session = std::make_shared<host::HostController::Session>(linked.connection, queue.nowMicros());
        session->deviceId = deviceId;
        session->deviceName = "Tab";
        session->authenticated = true;
        probe().session() = session;
        return session;
    }

    std::shared_ptr<host::HostController::ControllerSession> controllerSession(const LinkedConnection& linked,
                                                                               const std::string& deviceId = "dev-2") {
        auto session =
            std::make_shared<host::HostController::ControllerSession>(host::HostController::ControllerSession{
                linked.connection, deviceId, host::ConnectionRoute::lan, queue.nowMicros(), 0});
        probe().controllerSession() = session;
        return session;
    }

    // The screen locks or unlocks as the lock poll reads it: the host pauses or resumes with the
    // effects across it.
    void lockScreen(bool locked) {
        fakes.unlock->locked = locked;
        probe().pollLock();
    }

    bool logged(std::string_view line) const { return std::ranges::find(logs, line) != logs.end(); }

    std::shared_ptr<base::DispatchQueue> transport = std::make_shared<base::DispatchQueue>("test.transport");
    boost::asio::ip::tcp::acceptor acceptor{transport->context(), {boost::asio::ip::address_v4::loopback(), 0}};
    std::vector<std::weak_ptr<host::WebSocketConnection>> links_;
    ManualExecutor queue;
    ManualExecutor main;
    ManualExecutor utility;
    FakeHostComponents fakes;
    std::vector<std::string> inputLog;  // the input diagnostic log's lines
    std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
    std::shared_ptr<MemorySettings> settings = std::make_shared<MemorySettings>();
    std::shared_ptr<host::DeviceRegistry> registry;
    std::shared_ptr<FakeServiceAdvertiser> advertiser;
    std::map<std::string, std::string> environment;
    std::filesystem::path machineInfo = "/nonexistent/machine-info";
    std::uint16_t loopbackPort = 0;
    bool linkAvailable = true;
    std::vector<std::string> lookedUp;
    std::vector<std::string> logs;
    std::shared_ptr<host::HostController> controller;
    int assignments = 0;
    std::uint16_t port = 0;
    FakeHostControl controlFakes{fakes.log};
};

}  // namespace orvanta::testing
