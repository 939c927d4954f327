// The connection manager over real loopback sockets: the Beast client against the project's own
// host transport.
#include <gtest/gtest.h>

#include "LoopbackSessionHost.h"
#include "client/session/ConnectionManager.h"
#include "client/session/H264TestStream.h"
#include "client/session/StreamAssembler.h"
#include "platform/beast/BeastWebSocketClient.h"
#include "protocol/CloseCodes.h"
#include "protocol/StreamConfig.h"
#include "protocol/VideoPacket.h"
#include "support/MemorySettings.h"

namespace orvanta::testing {
namespace {

using client::ConnectionManager;
using State = ConnectionManager::State;
using namespace std::chrono_literals;

class LoopbackSessionTest : public ::testing::Test {
protected:
    void start(std::optional<TlsIdentity> identity = std::nullopt, std::optional<std::string> trusted = std::nullopt) {
        host.emplace(executor, identity);
        sockets = std::make_shared<platform::BeastWebSocketClient>(platform::BeastWebSocketClient::Options{trusted});
        manager = ConnectionManager::create(executor, executor.clock(), sockets, std::make_shared<MemorySettings>());
    }

    void connect(const std::string& baseURL) {
        client::HostListStore::Entry entry;
        entry.id = "ENTRY";
        entry.baseURL = baseURL;
        manager->connect(entry, "token", "device", false);
    }

    bool until(const std::function<bool()>& done) { return executor.runUntil(done); }
    bool reaches(State state) {
        return until([&] { return manager->state() == state; });
    }
    std::vector<std::string> controlTypes() const {
        std::vector<std::string> names;
        for (const auto& message : host->controlMessages) names.emplace_back(message.typeName());
        return names;
    }

    ManualExecutor executor;
    std::optional<LoopbackSessionHost> host;
    std::shared_ptr<platform::BeastWebSocketClient> sockets;
    std::shared_ptr<ConnectionManager> manager;

    void TearDown() override {
        manager.reset();
        sockets.reset();
        host.reset();
    }
};

TEST_F(LoopbackSessionTest, CompletesTheHandshakeOnBothChannels) {
    start();
    connect(host->baseURL());
    ASSERT_TRUE(reaches(State::connected));
    ASSERT_TRUE(until([&] { return host->controlMessages.size() == 3 && host->videoTexts.size() == 1; }));
    EXPECT_EQ(controlTypes(), (std::vector<std::string>{"hello", "pointer", "displayAspectFit"}));
    EXPECT_EQ(host->videoTexts[0], *protocol::ControlMessage(protocol::Auth{"TICKET"}).jsonString());
    EXPECT_EQ(host->controlMessages[0].as<protocol::Hello>()->token, "token");

    manager->disconnect();
    ASSERT_TRUE(until([&] { return host->controlCloses.size() == 1; }));
    EXPECT_EQ(host->controlCloses[0], 1001);
    EXPECT_EQ(controlTypes().back(), "pointer") << "the pointer cancel goes out before the close";
}

TEST_F(LoopbackSessionTest, ShowsAndAcknowledgesFramesFromTheMediaChannel) {
    auto stream = encodeTestStream(64, 48, 2);
    ASSERT_EQ(stream.accessUnits.size(), 2u);
    start();
    std::vector<std::shared_ptr<const client::VideoSample>> shown;
    manager->onFrame = [&](auto sample) { shown.push_back(std::move(sample)); };
    connect(host->baseURL());
    ASSERT_TRUE(reaches(State::connected));
    ASSERT_TRUE(until([&] { return host->videoTexts.size() == 1; }));
    host->sendVideo(protocol::StreamConfig{7, "h264", 64, 48, 60, stream.sps, stream.pps}.packet(0, 0)->encoded());
    host->sendVideo(protocol::VideoPacket::make(protocol::PacketType::video, protocol::PacketFlags::keyframe, 7, 1,
                                                5000, stream.accessUnits[0])
                        ->encoded());
    ASSERT_TRUE(
        until([&] { return !host->controlMessages.empty() && host->controlMessages.back().as<protocol::Ack>(); }));
    EXPECT_EQ(host->controlMessages.back().as<protocol::Ack>()->gen, 7);
    EXPECT_EQ(host->controlMessages.back().as<protocol::Ack>()->seq, 1u);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0]->avcc, stream.accessUnits[0]);
    EXPECT_EQ(manager->streamSize(), (client::StreamSize{64, 48}));
}

TEST_F(LoopbackSessionTest, TerminalServerErrorsStopTheSession) {
    const std::vector<std::pair<std::int64_t, State>> cases = {
        {4003, State::authFailed}, {4004, State::busy}, {4005, State::revoked}, {4006, State::disconnected}};
    start();
    for (const auto& [code, state] : cases) {
        connect(host->baseURL());
        ASSERT_TRUE(reaches(State::connected));
        host->sendControl(protocol::ErrorMessage{code, "refused " + std::to_string(code)});
        ASSERT_TRUE(reaches(state)) << code;
        EXPECT_EQ(manager->lastError(), "refused " + std::to_string(code));
    }
}

TEST_F(LoopbackSessionTest, ReconnectsAfterADroppedConnection) {
    start();
    connect(host->baseURL());
    ASSERT_TRUE(reaches(State::connected));
    host->controls.back()->close(1011, "");
    ASSERT_TRUE(reaches(State::recovering));
    executor.advance(1s);
    ASSERT_TRUE(until([&] { return host->controls.size() == 2; }));
    ASSERT_TRUE(reaches(State::connected));
    EXPECT_EQ(std::ranges::count(controlTypes(), "hello"), 2);
}

TEST_F(LoopbackSessionTest, CloseWithNotBroadcastingStops) {
    start();
    connect(host->baseURL());
    ASSERT_TRUE(reaches(State::connected));
    host->controls.back()->close(protocol::rawValue(protocol::CloseCode::notBroadcasting), "");
    ASSERT_TRUE(reaches(State::disconnected));
    EXPECT_EQ(manager->lastError(), std::string(protocol::kNotBroadcastingMessage));
    executor.advance(60s);
    EXPECT_EQ(host->controls.size(), 1u);
}

TEST_F(LoopbackSessionTest, ConnectsOverTlsOnlyToATrustedCertificateForTheHost) {
    auto identity = makeSelfSignedIdentity("DNS:localhost,IP:127.0.0.1");
    auto stranger = makeSelfSignedIdentity("DNS:localhost,IP:127.0.0.1");
    auto elsewhere = makeSelfSignedIdentity("DNS:elsewhere.test");
    struct Case {
        std::string name;
        TlsIdentity served;
        std::string trusted;
        std::string hostName;
        bool connects;
    };
    const std::vector<Case> cases = {
        {"trusted, by address", identity, identity.certificatePem, "127.0.0.1", true},
        {"trusted, by name", identity, identity.certificatePem, "localhost", true},
        {"untrusted", identity, stranger.certificatePem, "127.0.0.1", false},
        {"trusted for another host", elsewhere, elsewhere.certificatePem, "localhost", false},
    };
    for (const auto& c : cases) {
        start(c.served, c.trusted);
        connect(host->baseURL(c.hostName));
        if (c.connects) {
            EXPECT_TRUE(reaches(State::connected)) << c.name;
        } else {
            ASSERT_TRUE(reaches(State::recovering)) << c.name;
            EXPECT_TRUE(manager->lastError()->starts_with("TLS failure")) << c.name << ": " << *manager->lastError();
        }
        TearDown();
    }
}

TEST_F(LoopbackSessionTest, AHostThatNeverAnswersTimesOut) {
    start();
    LoopbackHttpServer silent([](const auto&) { return LoopbackHttpServer::Reply::silent(); });
    connect(silent.url());
    ASSERT_TRUE(silent.waitForRequests(2));
    executor.advance(59s);
    EXPECT_EQ(manager->state(), State::connecting);
    executor.advance(1s);
    ASSERT_TRUE(reaches(State::recovering));
    EXPECT_TRUE(manager->lastError()->starts_with("timed out")) << *manager->lastError();
}

}  // namespace
}  // namespace orvanta::testing
