// The whole application twice, with its default settings, each instance on a desktop of its own
// (Xvfb with a window manager, PulseAudio, a fresh user's folders): the first serves its changing
// screen as the host and writes a debug pairing code; the second is driven by the client automation
// through pairing, connecting, the input check and a side switch, and then ends itself. The client's
// debug log and the host's output tell whether it paired, saw video, sent input the host applied
// and kept its session across the switch. Both logs are kept as test artifacts.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "support/ChildProcess.h"
#include "support/PulseFixture.h"
#include "support/X11TestDesktop.h"

// The test runs the program, which the build makes where the application is part of it.
#ifdef ORVANTA_APP
namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

template <class F>
bool waitUntil(F done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(100ms);
    }
    return done();
}

// One instance's user: a home with short paths (local sockets live in it) and its own folders, so
// the one-instance rule does not hand the second start to the first.
class Account {
public:
    Account() {
        char name[] = "/tmp/orv-e2e-XXXXXX";
        if (::mkdtemp(name)) home_ = name;
    }
    ~Account() {
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }
    const std::filesystem::path& home() const { return home_; }
    std::vector<std::string> environment(const std::string& display, const PulseServer& pulse) const {
        std::vector<std::string> environment{"HOME=" + home_.string(), "DISPLAY=" + display,
                                             "PULSE_SERVER=" + pulse.server()};
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"}) {
            const auto folder = home_ / name;
            std::filesystem::create_directories(folder);
            std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
            environment.push_back(std::string(name) + "=" + folder.string());
        }
        return environment;
    }

private:
    std::filesystem::path home_;
};

std::optional<int> exitedWithin(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    if (!waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit)) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

    Account hostAccount;
    Account clientAccount;
    const auto code = hostAccount.home() / "pair-code";
    const auto hostOutput = hostAccount.home() / "host-output.log";
    auto hostEnvironment = hostAccount.environment(hostDesktop->server->display(), **hostPulse);
    hostEnvironment.push_back("ZQ2_DEBUG_PAIR_FILE=" + code.string());
    hostEnvironment.push_back("ZQ2_DEBUG_INPUT=1");
    auto host =
        startChild({.argv = {ORVANTA_APP}, .extraEnvironment = hostEnvironment, .logPath = hostOutput.string()});
    ASSERT_TRUE(host) << host.error();
    const bool codeWritten = waitUntil(
        [&] { return fileText(hostOutput).find("debug pairing code written to file") != std::string::npos; }, 60s);

    const auto clientLog = clientAccount.home() / "client-debug.log";
    const auto clientOutput = clientAccount.home() / "client-output.log";
    auto clientEnvironment = clientAccount.environment((*clientServer)->display(), **clientPulse);
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

    ASSERT_TRUE(codeWritten) << fileText(hostOutput);
    ASSERT_TRUE(clientExit) << "the client did not end on its own";
    EXPECT_TRUE(endedCleanly(clientExit, fileText(clientOutput))) << fileText(clientOutput);
    const std::string log = fileText(clientLog);
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

    const std::string hostLines = fileText(hostOutput);
    EXPECT_TRUE(std::regex_search(hostLines, std::regex("input pointer move seq=\\d+ -> ok"))) << hostLines;
}

}  // namespace
}  // namespace orvanta::testing
#endif
