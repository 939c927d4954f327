// Control connections through the host's own listener: the first message, the hello and the
// welcome, on virtual time for the hello time-outs.
#include "HostControlDevice.h"
#include "HostControllerHelloSupport.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;
using Close = std::pair<int, std::string>;

struct FirstMessageCase {
    std::string name;
    std::string text;
    Close close;
};

TEST_F(HostHelloTest, FirstMessagesThatAreNoHelloOrFailAuthenticationAreClosed) {
    const std::vector<FirstMessageCase> cases = {
        {"not JSON", "hello?", {4002, "expected hello"}},
        {"not an object", R"(["hello"])", {4002, "expected hello"}},
        {"type not text", R"({"type":5})", {4002, "expected hello"}},
        {"another type", R"({"type":"pong","id":1})", {4002, "expected hello"}},
        {"unknown token", hello("wrong-token", "dev-a"), {4003, "auth failed"}},
        {"token of another device", hello(tokenA, "dev-b"), {4003, "auth failed"}},
        {"revoked device", hello(revokedToken, "dev-r"), {4003, "auth failed"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = open(c.text);
        EXPECT_EQ(await([&] { return device->nextClose(); }), c.close);
        device->write(closeFrame(c.close.first));  // the device answers; the connection ends
        EXPECT_TRUE(drive([&] { return !probe().session(); }));
    }
    EXPECT_TRUE(logged("control auth failed"));
}

TEST_F(HostHelloTest, FailedAuthenticationIsToldWhyBeforeTheClose) {
    auto device = open(hello("wrong-token", "dev-a"));
    const auto error = await([&] { return device->nextText("error"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->at("code"), 4003);
    EXPECT_EQ(error->at("message"), "認証に失敗しました");
}

TEST_F(HostHelloTest, ConnectionsWithoutAnAuthenticatedHelloAreClosedAfterTenSeconds) {
    auto silent = open("");
    auto undecodable = open(R"({"type":"hello"})");  // a hello that is not the typed message
    ASSERT_TRUE(drive([&] { return probe().session() != nullptr; }));
    advance(kHello - 1us);
    EXPECT_TRUE(probe().session());
    advance(1us);
    EXPECT_EQ(await([&] { return silent->nextClose(); }), (Close{4002, "hello timeout"}));
    EXPECT_EQ(await([&] { return undecodable->nextClose(); }), (Close{4002, "hello timeout"}));
}

TEST_F(HostHelloTest, AuthenticatedHelloIsWelcomedWithATicket) {
    auto device = open(hello(tokenA, "dev-a"));
    const auto welcome = await([&] { return device->nextText("welcome"); });
    ASSERT_TRUE(welcome);
    const auto session = probe().session();
    ASSERT_TRUE(session && session->authenticated);
    EXPECT_EQ(welcome->at("sessionId"), session->sessionId);
    const std::string ticket = welcome->at("videoTicket");
    EXPECT_EQ(ticket, session->ticket);
    EXPECT_EQ(ticket.size(), 43u);
    EXPECT_EQ(ticket.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_FALSE(welcome->contains("hostName"));
    EXPECT_FALSE(welcome->contains("viewOnly"));
    EXPECT_EQ(session->deviceName, "Tablet A");
    EXPECT_EQ(session->viewportWidth, 1024);
    EXPECT_EQ(session->deviceKind, host::DeviceKind::iPad);
    EXPECT_EQ(session->control->parser().maxMessage, 8'388'608);
    EXPECT_EQ(*fakes.log, (std::vector<std::string>{"input.releaseKeys", "input.releasePointerInputs",
                                                    "input.beginSession dev-a", "blackout.on"}));
    EXPECT_TRUE(registry->devices().front().lastSeen);
    EXPECT_TRUE(drive([&] { return shown().statusText == "接続中: Tablet A"; }));
    EXPECT_EQ(shown().links.at("dev-a").role, host::LinkRole::main);
    EXPECT_TRUE(logged("session started for dev-a"));
}

TEST_F(HostHelloTest, PausedHostFollowsTheWelcomeWithNoticeLocked) {
    lockScreen(true);
    auto device = open(hello(tokenA, "dev-a"));
    const auto welcome = await([&] { return device->nextText(); });
    ASSERT_TRUE(welcome);
    EXPECT_EQ(welcome->at("type"), "welcome");
    const auto notice = await([&] { return device->nextText(); });
    ASSERT_TRUE(notice);
    EXPECT_EQ(*notice, (base::Json{{"type", "notice"}, {"kind", "locked"}}));
}

TEST_F(HostHelloTest, DuplicateHelloClosesWithoutAuthenticatingAgain) {
    auto device = open(hello(tokenA, "dev-a"));
    ASSERT_TRUE(await([&] { return device->nextText("welcome"); }));
    const std::string sessionId = probe().session()->sessionId;
    device->send(hello(tokenA, "dev-a"));
    EXPECT_EQ(await([&] { return device->nextClose(); }), (Close{4002, "duplicate hello"}));
    EXPECT_EQ(probe().session()->sessionId, sessionId);
}

TEST_F(HostHelloTest, WindowsScreenSizesAreCappedAndCheckedAgainstTheMacroblockLimit) {
    struct Case {
        protocol::Viewport pixels;
        std::vector<std::string> lines;
        std::optional<std::pair<int, int>> kept;
    };
    const std::vector<Case> cases = {
        {{5120, 2880},
         {"hello windows-desktop screenPixels=5120x2880px",
          "windows video: screenPixels=5120x2880px capped to 3840x2880px by 3840x4096px limit",
          "windows video: 3840x2880px exceeds H.264 limit of 34560 macroblocks"},
         std::pair{5120, 2880}},
        {{3840, 4096},
         {"hello windows-desktop screenPixels=3840x4096px",
          "windows video: 3840x4096px exceeds H.264 limit of 34560 macroblocks"},
         std::pair{3840, 4096}},
        {{1920, 1080}, {"hello windows-desktop screenPixels=1920x1080px"}, std::pair{1920, 1080}},
        {{0, 1080}, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pixels.width);
        logs.clear();
        auto device = open(windowsHello(tokenA, c.pixels));
        ASSERT_TRUE(await([&] { return device->nextText("welcome"); }));
        EXPECT_EQ(probe().session()->windowsScreenPixels, c.kept);
        std::vector<std::string> windowsLines;
        for (const auto& line : logs) {
            if (line.starts_with("hello windows") || line.starts_with("windows video")) windowsLines.push_back(line);
        }
        EXPECT_EQ(windowsLines, c.lines);
        endCurrentSession();
    }
}

TEST_F(HostHelloTest, ClipboardHelloIsHandedOffAndAnyOtherPurposeIsAScreenHello) {
    auto clipboard = open(hello(tokenA, "dev-a", R"("purpose":"clipboard",)"));
    auto screen = open(hello(tokenA, "dev-a", R"("purpose":"screen",)"));
    EXPECT_TRUE(await([&] { return screen->nextText("welcome"); }));
    EXPECT_EQ(await([&] { return clipboard->nextText(); }), (base::Json{{"type", "welcome"}, {"purpose", "clipboard"}}));
    // Not left to the hello time-out: the device's own close is the first.
    advance(kHello);
    clipboard->write(closeFrame(1000));
    EXPECT_EQ(await([&] { return clipboard->nextClose(); }), (Close{1000, ""}));
}

TEST_F(HostHelloTest, ControlClosedBeforeTheHelloEndsTheSessionAtOnce) {
    auto device = open(R"({"type":"hello"})");
    ASSERT_TRUE(drive([&] { return probe().session() != nullptr; }));
    device->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return logged("session ended: control closed before hello"); }));
    EXPECT_FALSE(probe().session());
    EXPECT_FALSE(std::ranges::count(*fakes.log, "input.releaseKeys"));
}

TEST_F(HostHelloTest, ControlUpgradesOfTheListenerReachTheHello) {
    HostControlDevice device(port, textFrame(hello(tokenA, "dev-a")));
    EXPECT_TRUE(await([&] { return device.nextText("welcome"); }));
    // Ended by the device, so that no read of it is left for the listener's transport.
    device.write(closeFrame(1000));
    EXPECT_EQ(await([&] { return device.nextClose(); }), (std::pair<int, std::string>{1000, ""}));
    EXPECT_TRUE(drive([&] { return probe().session() && probe().session()->detachedAt; }));
}

}  // namespace
}  // namespace orvanta::testing
