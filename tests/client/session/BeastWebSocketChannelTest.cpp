// The Beast WebSocket client's channel contract over loopback, against the host's own WebSocket
// connection: ordered sends, whole messages up to the limit, pings, close codes, cancellation.
#include <gtest/gtest.h>

#include "LoopbackSessionHost.h"
#include "platform/beast/BeastWebSocketClient.h"

namespace orvanta::testing {
namespace {

using platform::WebSocketError;
using Kind = WebSocketError::Kind;
using namespace std::chrono_literals;

class BeastChannelTest : public ::testing::Test {
protected:
    BeastChannelTest() {
        host.onHello = [](auto&, const auto&) {};
    }

    std::shared_ptr<platform::WebSocketChannel> open(const std::string& path, std::size_t maxMessageBytes = 1 << 20) {
        platform::WebSocketOptions options;
        options.maxMessageBytes = maxMessageBytes;
        return sockets->open(wsURL() + path, options, executor);
    }

    std::string wsURL() { return host.baseURL().replace(0, 4, "ws"); }

    // Receives one message, waiting on the executor.
    std::expected<platform::WebSocketMessage, WebSocketError> receive(platform::WebSocketChannel& channel) {
        std::optional<std::expected<platform::WebSocketMessage, WebSocketError>> result;
        channel.receive([&](auto outcome) { result = std::move(outcome); });
        EXPECT_TRUE(executor.runUntil([&] { return result.has_value(); }));
        return result.value_or(std::unexpected(WebSocketError{}));
    }

    // Pings once, waiting on the executor for the outcome.
    std::expected<void, WebSocketError> ping(platform::WebSocketChannel& channel) {
        std::optional<std::expected<void, WebSocketError>> result;
        channel.ping([&](auto outcome) { result = std::move(outcome); });
        EXPECT_TRUE(executor.runUntil([&] { return result.has_value(); }));
        return result.value_or(std::unexpected(WebSocketError{}));
    }

    ManualExecutor executor;
    LoopbackSessionHost host{executor};
    std::shared_ptr<platform::BeastWebSocketClient> sockets = std::make_shared<platform::BeastWebSocketClient>();
};

TEST_F(BeastChannelTest, SendsLeaveInOrderAndCompleteInOrder) {
    auto channel = open("/v2/video");
    std::vector<int> completed;
    for (int i = 0; i < 20; ++i) {
        platform::WebSocketMessage message =
            i % 2 ? platform::WebSocketMessage(platform::WebSocketText{std::to_string(i)})
                  : platform::WebSocketBinary{base::Bytes(1000, std::uint8_t(i))};
        channel->send(std::move(message), [&completed, i](auto result) {
            EXPECT_TRUE(result);
            completed.push_back(i);
        });
    }
    ASSERT_TRUE(executor.runUntil([&] { return host.videoTexts.size() == 10 && host.videoBinaries.size() == 10; }));
    ASSERT_TRUE(executor.runUntil([&] { return completed.size() == 20; }));
    EXPECT_TRUE(std::ranges::is_sorted(completed));
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(host.videoTexts[i], std::to_string(2 * i + 1));
        EXPECT_EQ(host.videoBinaries[i][0], 2 * i);
    }
}

TEST_F(BeastChannelTest, ReceivesWholeMessagesUpToTheLimit) {
    auto channel = open("/v2/video", 2 << 20);
    ASSERT_TRUE(executor.runUntil([&] { return host.videos.size() == 1; }));
    base::Bytes big(1 << 20);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    host.sendVideo(big);
    host.videos.back()->sendText("after");
    auto first = receive(*channel);
    ASSERT_TRUE(first);
    EXPECT_EQ(std::get<platform::WebSocketBinary>(*first).data, big);
    auto second = receive(*channel);
    ASSERT_TRUE(second);
    EXPECT_EQ(std::get<platform::WebSocketText>(*second).text, "after");

    host.sendVideo(base::Bytes((2 << 20) + 1, 1));
    auto tooBig = receive(*channel);
    ASSERT_FALSE(tooBig);
    EXPECT_EQ(tooBig.error().kind, Kind::tooLarge);
    EXPECT_EQ(receive(*channel).error().kind, Kind::tooLarge) << "a failed channel keeps failing";
}

TEST_F(BeastChannelTest, ReportsThePeersCloseCode) {
    auto channel = open("/v2/control");
    ASSERT_TRUE(executor.runUntil([&] { return host.controls.size() == 1; }));
    EXPECT_EQ(channel->closeCode(), std::nullopt);
    host.controls.back()->close(4005, "revoked");
    auto result = receive(*channel);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, Kind::closed);
    EXPECT_EQ(result.error().closeCode, 4005);
    EXPECT_EQ(channel->closeCode(), 4005);
}

TEST_F(BeastChannelTest, APingCompletesOnThePongWhetherOrNotAReceiveWaits) {
    auto channel = open("/v2/control");
    ASSERT_TRUE(executor.runUntil([&] { return host.controls.size() == 1; }));
    EXPECT_TRUE(ping(*channel)) << "no receive pending";

    // A message ahead of the pong is kept for the next receive.
    host.controls.back()->sendText("before");
    std::optional<std::expected<void, WebSocketError>> ponged;
    channel->ping([&](auto outcome) { ponged = std::move(outcome); });
    auto before = receive(*channel);
    ASSERT_TRUE(before);
    EXPECT_EQ(std::get<platform::WebSocketText>(*before).text, "before");
    ASSERT_TRUE(executor.runUntil([&] { return ponged.has_value(); }));
    EXPECT_TRUE(*ponged);

    std::optional<std::expected<platform::WebSocketMessage, WebSocketError>> pending;
    channel->receive([&](auto outcome) { pending = std::move(outcome); });
    EXPECT_TRUE(ping(*channel)) << "a receive pending";
    EXPECT_FALSE(pending.has_value());
    host.controls.back()->sendText("after");
    ASSERT_TRUE(executor.runUntil([&] { return pending.has_value(); }));
    ASSERT_TRUE(*pending);
    EXPECT_EQ(std::get<platform::WebSocketText>(**pending).text, "after");
}

TEST_F(BeastChannelTest, APingOnAChannelThePeerClosesFailsWithTheClose) {
    auto channel = open("/v2/control");
    ASSERT_TRUE(executor.runUntil([&] { return host.controls.size() == 1; }));
    host.controls.back()->close(4005, "revoked");  // a closing host answers no ping
    auto result = ping(*channel);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, Kind::closed);
    EXPECT_EQ(result.error().closeCode, 4005);
    EXPECT_EQ(channel->closeCode(), 4005);
    EXPECT_EQ(ping(*channel).error().kind, Kind::closed) << "a closed channel fails later pings alike";
}

TEST_F(BeastChannelTest, CancelClosesWithTheCodeAndFailsWhatWaits) {
    auto channel = open("/v2/control");
    bool open = false;  // a completed send means the opening handshake is done
    channel->send(platform::WebSocketText{"{}"}, [&](auto result) { open = result.has_value(); });
    ASSERT_TRUE(executor.runUntil([&] { return open; }));
    std::optional<WebSocketError> pending;
    channel->receive([&](auto result) { pending = result.error(); });
    channel->cancel(1001, "");
    ASSERT_TRUE(executor.runUntil([&] { return pending && host.controlCloses.size() == 1; }));
    EXPECT_EQ(pending->kind, Kind::cancelled);
    EXPECT_EQ(host.controlCloses[0], 1001);
    std::optional<WebSocketError> late;
    channel->send(platform::WebSocketText{"late"}, [&](auto result) { late = result.error(); });
    ASSERT_TRUE(executor.runUntil([&] { return late.has_value(); }));
    EXPECT_EQ(late->kind, Kind::cancelled);
}

TEST_F(BeastChannelTest, RefusesWhatIsNotAWebSocketEndpoint) {
    const std::vector<std::pair<std::string, Kind>> cases = {
        {"http://127.0.0.1:1/v2/control", Kind::invalidUrl},
        {"ws:///v2/control", Kind::invalidUrl},
        {"ws://127.0.0.1:1/v2/control", Kind::unreachable},
        {wsURL() + "/v2/elsewhere", Kind::handshakeRefused},
    };
    for (const auto& [url, kind] : cases) {
        auto channel = sockets->open(url, {}, executor);
        auto result = receive(*channel);
        ASSERT_FALSE(result) << url;
        EXPECT_EQ(result.error().kind, kind) << url << ": " << platform::describe(result.error());
    }
}

TEST_F(BeastChannelTest, DestroyingTheClientDropsOpenChannels) {
    auto channel = open("/v2/control");
    ASSERT_TRUE(executor.runUntil([&] { return host.controls.size() == 1; }));
    bool called = false;
    channel->receive([&](auto) { called = true; });
    sockets.reset();
    executor.advance(1s);
    EXPECT_FALSE(called);
}

}  // namespace
}  // namespace orvanta::testing
