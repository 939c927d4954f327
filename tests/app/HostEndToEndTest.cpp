// The real host end to end: the test-host program on a private X display and PulseAudio server,
// driven over loopback as a device drives it.
#include <gtest/gtest.h>

#include <future>
#include <string>

#include "support/FakeHostDevice.h"
#include "support/LoopbackDevice.h"
#include "support/PulseFixture.h"
#include "support/TempDir.h"
#include "support/TestHostProcess.h"
#include "support/X11TestDesktop.h"

namespace orvanta::testing {
namespace {

constexpr std::string_view kDeviceId = "dev-e2e";

std::string hello(const std::string& token) {
    return base::Json{{"type", "hello"},
                      {"token", token},
                      {"deviceId", kDeviceId},
                      {"idiom", "pad"},
                      {"viewport", {{"width", 640}, {"height", 360}}},
                      {"caps", {{"codecs", {"h264"}}, {"lowPower", false}, {"maxFps", 60}}}}
        .dump();
}

// The close frame's code and reason.
std::optional<std::pair<int, std::string>> closeOf(LoopbackChannel& channel) {
    while (auto frame = channel.next()) {
        if (frame->opcode() != 8 || frame->payload.size() < 2) continue;
        return std::pair<int, std::string>{(frame->payload[0] << 8) | frame->payload[1],
                                           std::string(frame->payload.begin() + 2, frame->payload.end())};
    }
    return std::nullopt;
}

class HostEndToEndTest : public ::testing::Test {
protected:
    // Pairs with the code the host wrote to its debug file; the device token.
    std::string pair() {
        const auto answer = postPair(host->loopbackPort(), pairBody(host->pairCode(), std::string(kDeviceId), "E2E"));
        EXPECT_EQ(answer.status, "200 OK") << host->output();
        return answer.body.value("deviceToken", "");
    }

    // A welcomed control channel.
    std::unique_ptr<LoopbackChannel> welcomed(const std::string& token, base::Json& welcome) {
        auto control = std::make_unique<LoopbackChannel>(host->loopbackPort(), "/v2/control");
        control->send(hello(token));
        auto received = control->nextText("welcome");
        EXPECT_TRUE(received) << host->output();
        if (received) welcome = *received;
        return control;
    }

    // The host shuts down cleanly: exit status 0, so no sanitizer found a fault or a leak.
    void expectCleanExit() {
        EXPECT_EQ(host->terminate(), 0) << host->output();
        EXPECT_EQ(host->output().find("Sanitizer"), std::string::npos) << host->output();
    }

    TempDir home{"e2e"};
    std::unique_ptr<TestHostProcess> host;
};

TEST_F(HostEndToEndTest, PairsWelcomesAndGuardsTheVideoTicket) {
    ORVANTA_REQUIRE_X11_DESKTOP(1280, 720, 1920, 1080);
    ORVANTA_REQUIRE_PULSE();
    auto started = TestHostProcess::start(ORVANTA_TEST_HOST, home.path(),
                                          {"DISPLAY=" + desktop.server->display(), "PULSE_SERVER=" + pulse.server()});
    ASSERT_TRUE(started) << started.error();
    host = std::move(*started);
    EXPECT_NE(host->lanPort(), 0);

    const std::string token = pair();
    ASSERT_FALSE(token.empty());
    // The code is spent: a second pairing with it is refused.
    EXPECT_NE(postPair(host->loopbackPort(), pairBody(host->pairCode(), "dev-other")).status, "200 OK");

    base::Json welcome;
    auto control = welcomed(token, welcome);
    EXPECT_FALSE(welcome.value("sessionId", "").empty());
    const std::string ticket = welcome.value("videoTicket", "");
    ASSERT_FALSE(ticket.empty());

    LoopbackChannel wrong(host->loopbackPort(), "/v2/video");
    wrong.sendJson(base::Json{{"type", "auth"}, {"ticket", ticket + "x"}});
    EXPECT_EQ(closeOf(wrong), (std::pair<int, std::string>{4003, "auth failed"}));

    // A wrong token closes the control channel with 4003 and leaves the session alone.
    LoopbackChannel stranger(host->loopbackPort(), "/v2/control");
    stranger.send(hello("not-a-token"));
    EXPECT_EQ(closeOf(stranger)->first, 4003);

    control->close();
    expectCleanExit();
}

}  // namespace
}  // namespace orvanta::testing
