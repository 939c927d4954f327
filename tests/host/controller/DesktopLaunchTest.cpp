#include "host/controller/DesktopLaunch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "support/ChildProcess.h"
#include "support/ProgramRun.h"
#include "support/TempDir.h"

namespace orvanta::testing {
namespace {

using Arguments = std::vector<std::string>;

constexpr std::chrono::seconds kEndWait{10};  // a bound on the wait for an ended child, never reached

TEST(DesktopLaunchTest, SplitsTheCommandLineAndDropsFieldCodes) {
    const std::vector<std::pair<std::string, Arguments>> cases = {
        {"gedit %U", {"gedit"}},
        {"  editor --new-window %f  ", {"editor", "--new-window"}},
        {R"("/opt/My App/run" --name "a \"b\"" 100%%)", {"/opt/My App/run", "--name", "a \"b\"", "100%"}},
        {"viewer --file=%f %i %c %k", {"viewer", "--file="}},
        {"tool \"\"", {"tool", ""}},
    };
    for (const auto& [exec, expected] : cases) EXPECT_EQ(host::execArguments(exec), expected) << exec;
    for (const char* broken : {"", "   %U", "run \"open"}) EXPECT_FALSE(host::execArguments(broken)) << broken;
}

TEST(DesktopLaunchTest, ReadsTheMainGroupsExecLine) {
    TempDir folder;
    const auto entry = folder.path() / "editor.desktop";
    std::ofstream(entry) << "[Desktop Action new]\nExec=other\n[Desktop Entry]\nName=Editor\nExec=editor %F\n";
    EXPECT_EQ(host::desktopExec(entry), "editor %F");
    EXPECT_FALSE(host::desktopExec(folder.path() / "missing.desktop"));
}

// The descriptors a process holds: number -> what it points at.
std::map<int, std::string> descriptorsOf(pid_t pid) {
    std::map<int, std::string> held;
    const auto folder = std::filesystem::path("/proc") / std::to_string(pid) / "fd";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::error_code ignored;
        held[std::stoi(entry.path().filename().string())] = std::filesystem::read_symlink(entry, ignored).string();
    }
    return held;
}

std::string statusLine(pid_t pid, std::string_view key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(key)) return line;
    }
    return {};
}

TEST(DesktopLaunchTest, SpawnsWithoutAShellAndFollowsTheProcess) {
    TempDir folder;
    const auto output = folder / "state/applications.log";
    EXPECT_FALSE(host::spawnProgram({"no-such-program-here"}, output));
    // A shell would expand this; spawned directly it is one literal argument to echo.
    auto echoed = host::spawnProgram({"echo", "$(touch /tmp/should-not-exist)"}, output);
    ASSERT_TRUE(echoed);
    EXPECT_TRUE(processGoneWithin(*echoed, kEndWait));
    EXPECT_FALSE(std::filesystem::exists("/tmp/should-not-exist"));
    std::stringstream written;
    written << std::ifstream(output).rdbuf();
    EXPECT_EQ(written.str(), "$(touch /tmp/should-not-exist)\n");

    auto waiting = host::spawnProgram({"sleep", "30"}, output);
    ASSERT_TRUE(waiting);
    EXPECT_TRUE(host::processFamily({::getpid()}).contains(*waiting));
    ::kill(*waiting, SIGKILL);
    EXPECT_TRUE(processGoneWithin(*waiting, kEndWait));
    EXPECT_FALSE(host::processFamily({::getpid()}).contains(*waiting));
}

// A listener as Asio opens one, without close-on-exec, and the signals the host blocks in every thread.
TEST(DesktopLaunchTest, AChildHoldsNothingOfTheHostsAndIsReapedWhenItEnds) {
    TempDir folder;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    const auto output = folder / "applications.log";
    auto child = host::spawnProgram({"sleep", "30"}, output);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(listener);
    ASSERT_TRUE(child);

    // The program's own loader opens files for a moment while it starts; what it inherited stays.
    const std::map<int, std::string> expected{{0, "/dev/null"}, {1, output.string()}, {2, output.string()}};
    std::map<int, std::string> held;
    waitUntil([&] { return (held = descriptorsOf(*child)) == expected; }, kEndWait, std::chrono::milliseconds(5));
    EXPECT_EQ(held, expected);
    EXPECT_EQ(statusLine(*child, "SigBlk:"), "SigBlk:\t0000000000000000");
    ::kill(*child, SIGTERM);  // ends it, unblocked
    EXPECT_TRUE(processGoneWithin(*child, kEndWait)) << statusLine(*child, "State:");
}
}  // namespace
}  // namespace orvanta::testing
