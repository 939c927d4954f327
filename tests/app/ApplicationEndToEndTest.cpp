// The whole application twice, with its default settings, each instance on a desktop of its own
// (Xvfb with a window manager, PulseAudio, a fresh user's folders): the first serves its changing
// screen as the host and writes a debug pairing code; the second is driven by the client automation
// through pairing, connecting, the input check and a side switch, and then ends itself. The client's
// debug log and the host's output tell whether it paired, saw video, sent input the host applied
// and kept its session across the switch. Both logs are kept as test artifacts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

#include "support/ChildProcess.h"
#include "support/ProgramRun.h"
#include "support/PulseFixture.h"
#include "support/TempDir.h"
#include "support/X11TestDesktop.h"
#include "support/XvfbFixture.h"

// The test runs the program, which the build makes where the application is part of it.
#ifdef ORVANTA_APP
namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;

// One instance's user, with its home and folders: the one-instance rule must not hand the second
// start to the first.
std::vector<std::string> userEnvironment(const FreshUser& user, const std::string& display, const PulseServer& pulse) {
    std::vector<std::string> environment{"HOME=" + user.home().string(), "DISPLAY=" + display,
                                         "PULSE_SERVER=" + pulse.server()};
    std::ranges::move(user.folders(), std::back_inserter(environment));
    return environment;
}

void keepArtifact(const std::filesystem::path& file, const std::string& name) {
    const std::filesystem::path folder(ORVANTA_TEST_ARTIFACTS);
    std::filesystem::create_directories(folder);
    std::error_code ignored;
    std::filesystem::copy_file(file, folder / name, std::filesystem::copy_options::overwrite_existing, ignored);
}

// The client ended on its own. Its graphics driver, unloaded at exit, leaves allocations behind that
// the leak checker reports without any name; every other report fails the test.
bool endedCleanly(std::optional<int> status, const std::string& output) {
    if (status == 0) return true;
    if (output.find("ERROR: LeakSanitizer") == std::string::npos) return false;
    if (output.find("ERROR: AddressSanitizer") != std::string::npos) return false;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("    #1 ") && line.find("(<unknown module>)") == std::string::npos) return false;
    }
    return true;
}

std::optional<std::string> lineStartingWith(const std::string& log, std::string_view prefix) {
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const auto text = line.find("] ");
        if (text != std::string::npos && std::string_view(line).substr(text + 2).starts_with(prefix)) {
            return line.substr(text + 2);
        }
    }
    return std::nullopt;
}

TEST(ApplicationEndToEndTest, ClientPairsSeesVideoSendsInputAndKeepsItsSessionAcrossASideSwitch) {
    ORVANTA_REQUIRE_FREE_PROGRAM_PORT();
    auto hostDesktop = X11TestDesktop::start(1920, 1080, 8192, 4096, true);
    if (!hostDesktop) return skipOrFailWithoutService("Xvfb: " + hostDesktop.error());
    auto clientServer = XvfbServer::start({.windowManager = true});
    if (!clientServer) return skipOrFailWithoutService("Xvfb: " + clientServer.error());
    auto hostPulse = PulseServer::start();
    auto clientPulse = PulseServer::start();
    if (!hostPulse || !clientPulse) {
        return skipOrFailWithoutService("PulseAudio: " + (hostPulse ? clientPulse.error() : hostPulse.error()));
    }

    // The host sends a picture only when its screen changes, and the client waits for 31 of them.
    std::atomic<bool> animating{true};
    std::thread animation([&, desktop = &*hostDesktop] {
        for (std::uint32_t colour = 0x203040; animating; colour = (colour + 0x030507) & 0xFFFFFF) {
            desktop->setBackground(colour);
            std::this_thread::sleep_for(20ms);
        }
    });

    FreshUser hostAccount("e2e");
    FreshUser clientAccount("e2e");
    const auto code = hostAccount.home() / "pair-code";
    const auto hostOutput = hostAccount.home() / "host-output.log";
    auto hostEnvironment = userEnvironment(hostAccount, hostDesktop->server->display(), **hostPulse);
    hostEnvironment.push_back("ZQ2_DEBUG_PAIR_FILE=" + code.string());
    hostEnvironment.push_back("ZQ2_DEBUG_INPUT=1");
    auto host =
        startChild({.argv = {ORVANTA_APP}, .extraEnvironment = hostEnvironment, .logPath = hostOutput.string()});
    ASSERT_TRUE(host) << host.error();
    // The code is written before the listeners answer.
    const bool codeWritten = waitUntil(
        [&] {
            const auto output = readFile(hostOutput);
            return output.find("debug pairing code written to file") != std::string::npos &&
                   output.find("server ready on 127.0.0.1:8766") != std::string::npos;
        },
        60s);

    const auto clientLog = clientAccount.home() / "client-debug.log";
    const auto clientOutput = clientAccount.home() / "client-output.log";
    auto clientEnvironment = userEnvironment(clientAccount, (*clientServer)->display(), **clientPulse);
    for (const std::string& variable :
         {"TESSARIL_CLIENT_DEBUG_LOG=" + clientLog.string(),
          "TESSARIL_CLIENT_DEBUG_PAIR=http://127.0.0.1:8766|" + code.string() + "|mac",
          std::string("TESSARIL_CLIENT_DEBUG_CONNECT=1"), std::string("TESSARIL_CLIENT_DEBUG_INPUT=1"),
          std::string("TESSARIL_CLIENT_DEBUG_SIDE_TOGGLE=2"), std::string("TESSARIL_CLIENT_DEBUG_QUIT_AFTER=45"),
          std::string("TESSARIL_CLIENT_DEBUG_TERMINATE=1")}) {
        clientEnvironment.push_back(variable);
    }
    std::optional<int> clientExit;
    if (codeWritten) {
        auto client = startChild(
            {.argv = {ORVANTA_APP}, .extraEnvironment = clientEnvironment, .logPath = clientOutput.string()});
        ASSERT_TRUE(client) << client.error();
        clientExit = exitedWithin(*client, 90s);
        if (!clientExit) stopChild(*client);
    }
    stopChild(*host);
    animating = false;
    animation.join();
    keepArtifact(hostOutput, "application-e2e-host-output.log");
    keepArtifact(clientLog, "application-e2e-client-debug.log");
    keepArtifact(clientOutput, "application-e2e-client-output.log");

    ASSERT_TRUE(codeWritten) << readFile(hostOutput);
    ASSERT_TRUE(clientExit) << "the client did not end on its own";
    EXPECT_TRUE(endedCleanly(clientExit, readFile(clientOutput))) << readFile(clientOutput);
    const std::string log = readFile(clientLog);
    EXPECT_EQ(lineStartingWith(log, "pair:"), "pair: ok entries=1") << log;
    const auto video = lineStartingWith(log, "video:");
    ASSERT_TRUE(video) << log;
    std::smatch frames;
    ASSERT_TRUE(std::regex_search(*video, frames, std::regex("^video: frames=(\\d+) state=connected "))) << *video;
    EXPECT_GE(std::stoi(frames[1]), 31);
    const auto move = lineStartingWith(log, "input: move to ");
    ASSERT_TRUE(move) << log;
    EXPECT_TRUE(move->ends_with(" OK")) << *move;
    const auto back = lineStartingWith(log, "side-toggle: back to client:");
    ASSERT_TRUE(back) << log;
    EXPECT_TRUE(back->ends_with(" session kept")) << *back;
    EXPECT_TRUE(lineStartingWith(log, "quit: frames="));

    const std::string hostLines = readFile(hostOutput);
    EXPECT_TRUE(std::regex_search(hostLines, std::regex("input pointer move seq=\\d+ -> ok"))) << hostLines;
}

}  // namespace
}  // namespace orvanta::testing
#endif
