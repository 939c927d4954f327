// The dialer over real loopback sockets, with the project's HTTP and WebSocket clients, against a
// host that runs the host's side of the clipboard channel; timers on virtual time.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "base/Json.h"
#include "clipboard/ClipboardOutbound.h"
#include "clipboard/ClipboardOutboundSupport.h"
#include "clipboard/LoopbackClipboardHost.h"
#include "platform/beast/BeastHttpClient.h"
#include "platform/beast/BeastWebSocketClient.h"

namespace orvanta::clipboard {
namespace {

using namespace std::chrono_literals;

class ClipboardOutboundLoopbackTest : public ::testing::Test {
protected:
    void TearDown() override {
        dialer.reset();
        main.runUntilIdle();
    }

    // The client's directory holds the host, paired as dev-1 with `token`.
    void dial(const std::string& token = "tok-1") {
        host.devices["dev-1"] = "tok-1";
        directory.add(host.baseURL(), token, "HOST-1");
        dialer = ClipboardOutbound::create(main, directory.store, *client.hub, http, sockets, [] { return "dev-1"; });
    }

    void attached() {
        ASSERT_TRUE(main.runUntil([&] { return hostMachine.hub->peerCount() == 1 && client.hub->peerCount() == 1; }));
        ASSERT_TRUE(main.runUntil([&] { return !host.texts.empty(); }));
    }

    // Moves virtual time a second at a time, letting socket completions arrive in between.
    bool advanceUntil(const std::function<bool()>& done, int seconds = 120) {
        for (int i = 0; i < seconds && !done(); ++i) {
            main.runUntil(done, 200ms);
            if (!done()) main.advance(1s);
        }
        return done();
    }

    std::optional<std::uint16_t> hostSawClose() {
        if (!main.runUntil([&] { return !host.closes.empty(); })) return std::nullopt;
        return host.closes.front();
    }

    testing::ManualExecutor main;
    testing::ClipboardMachine hostMachine{main, "host-mac"};
    testing::ClipboardMachine client{main, "client-mac"};
    testing::LoopbackClipboardHost host{main, *hostMachine.hub};
    platform::BeastHttpClient http;
    platform::BeastWebSocketClient sockets;
    testing::ClientDirectory directory;
    std::shared_ptr<ClipboardOutbound> dialer;
};

TEST_F(ClipboardOutboundLoopbackTest, TwoMachinesExchangeTextThroughHostAndClient) {
    dial();
    attached();
    ASSERT_EQ(host.hellos.size(), 1u);
    EXPECT_EQ(*base::parseJsonObject(host.hellos[0]),
              (base::Json{{"type", "hello"}, {"purpose", "clipboard"}, {"deviceId", "dev-1"}, {"token", "tok-1"}}));
    EXPECT_EQ(base::parseJsonObject(host.texts[0])->at("type"), "clipboardState");

    client.copies("from the client/1");
    main.runUntilIdle();
    ASSERT_TRUE(main.runUntil([&] { return hostMachine.board.text == "from the client/1"; }));
    hostMachine.copies("from the host");
    ASSERT_TRUE(main.runUntil([&] { return client.board.text == "from the host"; }));
    main.advance(3s);  // a few poll ticks: nothing comes back
    EXPECT_EQ(hostMachine.board.writes, 1);
    EXPECT_EQ(client.board.writes, 1);
    EXPECT_EQ(hostMachine.hub->seen().at("client-mac"), 1);
    EXPECT_EQ(client.hub->seen().at("host-mac"), 1);

    // Forgetting the host ends its channel from this side.
    const std::string id = directory.store.entries().front().id;
    directory.store.remove(id);
    EXPECT_EQ(hostSawClose(), 1001);
    ASSERT_TRUE(main.runUntil([&] { return hostMachine.hub->peerCount() == 0 && client.hub->peerCount() == 0; }));
}

TEST_F(ClipboardOutboundLoopbackTest, AWrongTokenIsDeniedAndNothingIsAttached) {
    dial("stolen");
    EXPECT_EQ(hostSawClose(), 4003);
    main.runUntilIdle();
    EXPECT_EQ(hostMachine.hub->peerCount(), 0u);
    EXPECT_EQ(client.hub->peerCount(), 0u);
    EXPECT_TRUE(host.texts.empty());
}

TEST_F(ClipboardOutboundLoopbackTest, AHostWithSyncOffIsProbedButNotDialled) {
    hostMachine.hub->setEnabled(false);
    dial();
    ASSERT_TRUE(advanceUntil([&] { return host.probes() == 2; }));
    EXPECT_TRUE(host.connections.empty());
    hostMachine.hub->setEnabled(true);
    ASSERT_TRUE(advanceUntil([&] { return hostMachine.hub->peerCount() == 1 && client.hub->peerCount() == 1; }));
    EXPECT_EQ(host.connections.size(), 1u);
}

TEST_F(ClipboardOutboundLoopbackTest, AStalledHostIsClosedTenSecondsAfterTheHello) {
    host.stalls = true;
    dial();
    ASSERT_TRUE(main.runUntil([&] { return host.hellos.size() == 1; }));
    main.advance(9s);
    main.runUntilIdle();
    EXPECT_TRUE(host.closes.empty());
    main.advance(1s);
    EXPECT_EQ(hostSawClose(), 1001);
    EXPECT_EQ(client.hub->peerCount(), 0u);
}

TEST_F(ClipboardOutboundLoopbackTest, AWelcomeWithoutPurposeGetsNoClipboardState) {
    host.reply = R"({"type":"welcome"})";
    dial();
    EXPECT_EQ(hostSawClose(), 1001);
    main.runUntilIdle();
    EXPECT_EQ(host.hellos.size(), 1u) << "nothing followed the hello";
    EXPECT_EQ(client.hub->peerCount(), 0u);
}

TEST_F(ClipboardOutboundLoopbackTest, ABinaryMessageEndsTheChannel) {
    dial();
    attached();
    host.sendBinary(base::Bytes{1, 2, 3});
    EXPECT_EQ(hostSawClose(), 1001);
    ASSERT_TRUE(main.runUntil([&] { return client.hub->peerCount() == 0; }));
    ASSERT_TRUE(main.runUntil([&] { return hostMachine.hub->peerCount() == 0; }));
}

TEST_F(ClipboardOutboundLoopbackTest, AReceiverFallingBehindLosesTheChannel) {
    dial();
    attached();
    main.runUntilIdle();
    // One text in flight and four waiting: the sixth in a burst finds the queue full.
    for (int i = 1; i <= 5; ++i) client.copies("text " + std::to_string(i));
    EXPECT_EQ(client.hub->peerCount(), 1u);
    client.copies("text 6");
    EXPECT_EQ(hostSawClose(), 1001);
    ASSERT_TRUE(main.runUntil([&] { return client.hub->peerCount() == 0; }));
    main.runUntilIdle();
    EXPECT_NE(hostMachine.board.text, "text 6");
}

}  // namespace
}  // namespace orvanta::clipboard
