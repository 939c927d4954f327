// The clipboard channel against a fake hub and pasteboard, over real loopback connections.
#include <gtest/gtest.h>

#include "HostControllerHarness.h"
#include "base/Base64.h"
#include "host/controller/ClipboardChannel.h"

namespace orvanta::testing {
namespace {

using host::ConnectionRoute;

class HostClipboardTest : public HostControllerTest {
protected:
    void SetUp() override {
        channel = std::make_shared<host::ClipboardChannel>(queue, main, controlFakes.clipboard,
                                                           [this](std::string_view line) { logs.emplace_back(line); });
        channel->setCallbacks({.authenticate =
                                   [this](const std::string& token, const std::string& deviceId) {
                                       const auto paired = tokens.find(deviceId);
                                       return paired != tokens.end() && paired->second == token;
                                   }});
    }

    base::Json hello(const std::string& deviceId = "dev-1") const {
        return {{"type", "hello"}, {"purpose", "clipboard"}, {"token", tokens.at(deviceId)}, {"deviceId", deviceId}};
    }

    void accept(const LinkedConnection& device, const base::Json& message, ConnectionRoute route) {
        channel->accept(device.connection, message, route);
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

    std::shared_ptr<host::ClipboardChannel> channel;
    std::map<std::string, std::string> tokens{{"dev-1", "token-1"}, {"dev-2", "token-2"}};
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
    // Forgotten with its connection: revoking its device finds nothing left to detach.
    channel->revoke("dev-1");
    settle();
    EXPECT_EQ(std::ranges::count(*fakes.log, "clipboard.detach"), 1);
}

TEST_F(HostClipboardTest, TheHubClosingThePeerClosesTheConnection) {
    LinkedConnection device = link();
    accept(device, hello(), ConnectionRoute::local);
    controlFakes.clipboard->peers.begin()->second.close();
    settle();
    EXPECT_EQ(device.nextClose(), (std::pair<int, std::string>{1001, "clipboard disabled"}));
}

TEST_F(HostClipboardTest, RevokingClosesOnlyTheDevicesConnections) {
    LinkedConnection first = link();
    LinkedConnection second = link();
    LinkedConnection other = link();
    accept(first, hello(), ConnectionRoute::local);
    accept(second, hello(), ConnectionRoute::local);
    accept(other, hello("dev-2"), ConnectionRoute::local);
    ASSERT_EQ(controlFakes.clipboard->peers.size(), 3u);
    channel->revoke("dev-1");
    settle();
    EXPECT_EQ(first.nextClose(), (std::pair<int, std::string>{4005, "revoked"}));
    EXPECT_EQ(second.nextClose(), (std::pair<int, std::string>{4005, "revoked"}));
    EXPECT_EQ(controlFakes.clipboard->peers.size(), 1u);
    EXPECT_TRUE(controlFakes.clipboard->peers.contains(other.connection->id()));
    EXPECT_FALSE(other.connection->isClosing());
}

TEST_F(HostClipboardTest, InSessionTextAndImagesWithinTheirLimits) {
    EXPECT_EQ(channel->writeText({std::string(1'000'000, 'a')}), host::InputResult::ok);
    EXPECT_EQ(channel->writeText({std::string(1'000'001, 'a')}), host::InputResult::rejected);
    main.runUntilIdle();
    EXPECT_EQ(logs, (std::vector<std::string>{"clipboard: rejected 1000001 bytes (limit 1000000)",
                                              "clipboard: set 1000000 bytes"}));
    EXPECT_EQ(*fakes.log, (std::vector<std::string>{"pasteboard.text 1000000", "clipboard.sessionApplied"}));

    fakes.log->clear();
    logs.clear();
    channel->writeImage({base::base64Encode(base::asBytes(std::string_view("not an image at all")))});
    channel->writeImage({"%%%"});
    main.runUntilIdle();
    EXPECT_TRUE(fakes.log->empty());
    EXPECT_TRUE(logs.empty());
}

// The capability probe asks the hub, on the main thread, whether sync is on.
TEST_F(HostClipboardTest, TheCapabilityProbeAnswersWhetherSyncIsOn) {
    for (bool on : {true, false}) {
        controlFakes.clipboard->on = on;
        std::optional<bool> answer;
        channel->answerAvailable([&](bool available) { answer = available; });
        EXPECT_FALSE(answer);
        main.runUntilIdle();
        EXPECT_EQ(answer, on);
    }
}

// Over the wire: the controller's capability probe takes its answer from the clipboard seam.
using HostCapabilitiesTest = HostControllerTest;

TEST_F(HostCapabilitiesTest, TheProbeAnswersFromTheClipboardSeam) {
    startListening();
    for (bool on : {true, false}) {
        controlFakes.clipboard->on = on;
        auto answer =
            std::async(std::launch::async, [port = port] { return request(port, "GET", "/v2/capabilities"); });
        ASSERT_TRUE(drive([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        const auto got = answer.get();
        EXPECT_EQ(got.status, "200 OK");
        EXPECT_EQ(got.body, (base::Json{{"clipboard", on}}));
    }
}

}  // namespace
}  // namespace orvanta::testing
