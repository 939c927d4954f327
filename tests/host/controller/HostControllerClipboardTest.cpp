#include <gtest/gtest.h>

#include "HostControllerHarness.h"
#include "base/Base64.h"

namespace orvanta::testing {
namespace {

using host::ConnectionRoute;

class HostClipboardTest : public HostControllerTest {
protected:
    void SetUp() override {
        create();
        token = registry->registerDevice("dev-1", "Tab").value();
    }

    base::Json hello() const {
        return {{"type", "hello"}, {"purpose", "clipboard"}, {"token", token}, {"deviceId", "dev-1"}};
    }

    void accept(const LinkedConnection& device, const base::Json& message, ConnectionRoute route) {
        controller->acceptClipboard(device.connection, message, route);
        settle();
    }

    // Runs the hops between the queue and the main thread until neither has work left.
    void settle() {
        drive([&] { return queue.runUntilIdle() + main.runUntilIdle() == 0; });
    }

    // The next frame's raw text, nothing when it is not a text frame.
    static std::optional<std::string> rawText(LinkedConnection& device) {
        auto frame = device.device->readFrame();
        if (!frame || frame->opcode() != 1) return std::nullopt;
        return std::string(frame->payload.begin(), frame->payload.end());
    }

    void send(LinkedConnection& device, const std::string& text) { device.device->write(textFrame(text)); }

    std::string token;
};

TEST_F(HostClipboardTest, RefusesTheLanRouteAndPeersThatDoNotAuthenticate) {
    auto without = [&](const char* key) {
        auto message = hello();
        message.erase(key);
        return message;
    };
    auto wrongToken = hello();
    wrongToken["token"] = "nope";
    auto numericId = hello();
    numericId["deviceId"] = 7;
    const std::vector<std::pair<base::Json, ConnectionRoute>> refused = {{hello(), ConnectionRoute::lan},
                                                                         {without("token"), ConnectionRoute::local},
                                                                         {without("deviceId"), ConnectionRoute::local},
                                                                         {wrongToken, ConnectionRoute::local},
                                                                         {numericId, ConnectionRoute::local}};
    for (const auto& [message, route] : refused) {
        SCOPED_TRACE(message.dump());
        LinkedConnection device = link();
        accept(device, message, route);
        EXPECT_EQ(device.nextClose(), (std::pair<int, std::string>{4003, "clipboard denied"}));
        EXPECT_TRUE(probe().clipboardSubscribers().empty());
    }
    EXPECT_TRUE(controlFakes.clipboard->peers.empty());
}

TEST_F(HostClipboardTest, SyncSwitchedOffClosesWithoutAWelcome) {
    controlFakes.clipboard->on = false;
    LinkedConnection device = link();
    accept(device, hello(), ConnectionRoute::local);
    auto first = device.device->readFrame();  // the close, with no welcome before it
    ASSERT_TRUE(first);
    ASSERT_EQ(first->opcode(), 8);
    EXPECT_EQ(std::string(first->payload.begin() + 2, first->payload.end()), "clipboard disabled");
    EXPECT_EQ((first->payload[0] << 8) | first->payload[1], 1008);
    EXPECT_TRUE(controlFakes.clipboard->peers.empty());
}

TEST_F(HostClipboardTest, WelcomesThenBridgesTheHubAndCleansUpOnClose) {
    LinkedConnection device = link();
    accept(device, hello(), ConnectionRoute::local);
    EXPECT_EQ(rawText(device), R"({"type":"welcome","purpose":"clipboard"})");
    EXPECT_EQ(device.connection->parser().maxMessage, 8'388'608);
    ASSERT_EQ(controlFakes.clipboard->peers.size(), 1u);
    const std::string id = device.connection->id();
    EXPECT_EQ(probe().clipboardSubscribers().at(id).second, "dev-1");

    auto& peer = controlFakes.clipboard->peers.at(id);
    peer.send({{"type", "clipboardState"}, {"url", "a/b"}});
    settle();
    EXPECT_EQ(rawText(device), R"({"type":"clipboardState","url":"a/b"})");

    send(device, R"({"type":"ping"})");
    send(device, "not json");
    send(device, R"({"type":"clipboard","text":"x"})");
    ASSERT_TRUE(drive([&] { return !controlFakes.clipboard->received.empty(); }));
    ASSERT_EQ(controlFakes.clipboard->received.size(), 1u);
    EXPECT_EQ(controlFakes.clipboard->received[0],
              (std::pair<base::Json, std::string>{{{"type", "clipboard"}, {"text", "x"}}, id}));

    device.device->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return controlFakes.clipboard->peers.empty(); }));
    EXPECT_TRUE(probe().clipboardSubscribers().empty());
}

TEST_F(HostClipboardTest, TheHubClosingThePeerClosesTheConnection) {
    LinkedConnection device = link();
    accept(device, hello(), ConnectionRoute::local);
    controlFakes.clipboard->peers.begin()->second.close();
    settle();
    EXPECT_EQ(device.nextClose(), (std::pair<int, std::string>{1001, "clipboard disabled"}));
}

TEST_F(HostClipboardTest, InSessionTextAndImagesWithinTheirLimits) {
    LinkedConnection device = link();
    auto session = authenticatedSession(device);
    auto receive = [&](const protocol::ControlMessage& message) {
        controller->handleControlText(message.jsonString().value(), session);
        main.runUntilIdle();
    };
    receive(protocol::ClipboardText{std::string(1'000'000, 'a')});
    receive(protocol::ClipboardText{std::string(1'000'001, 'a')});
    EXPECT_TRUE(logged("clipboard: set 1000000 bytes"));
    EXPECT_TRUE(logged("clipboard: rejected 1000001 bytes (limit 1000000)"));
    EXPECT_EQ(*fakes.log, (std::vector<std::string>{"pasteboard.text 1000000", "clipboard.sessionApplied"}));

    fakes.log->clear();
    logs.clear();
    receive(protocol::ClipboardImage{base::base64Encode(base::asBytes(std::string_view("not an image at all")))});
    receive(protocol::ClipboardImage{"%%%"});
    EXPECT_TRUE(fakes.log->empty());
    EXPECT_TRUE(logs.empty());
}

}  // namespace
}  // namespace orvanta::testing
