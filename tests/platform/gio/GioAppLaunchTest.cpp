// Applications started from their desktop entries through GIO: the command line as the entry
// writes it, no shell in between, and nothing of the host's carried into the program.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "platform/ProcessFamily.h"
#include "platform/gio/GioAppDirectory.h"
#include "support/ChildProcess.h"
#include "support/ProgramRun.h"
#include "support/TempDir.h"

namespace orvanta::platform::gio {
namespace {

using Arguments = std::vector<std::string>;

constexpr std::chrono::seconds kEndWait{10};  // a bound on the wait for an ended child, never reached

class GioAppLaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Prints each argument it gets on a line of its own, bracketed.
        const auto script = program("args");
        std::filesystem::create_directories(script.parent_path());
        std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do printf '<%s>\\n' \"$a\"; done\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    }

    std::filesystem::path program(const std::string& name) const { return folder / "My Programs" / name; }

    std::string entry(const std::string& text) {
        const auto path = folder / ("entry" + std::to_string(++entries) + ".desktop");
        std::ofstream(path) << text;
        return path.string();
    }
    std::string application(const std::string& exec) {
        return entry("[Desktop Entry]\nType=Application\nName=Viewer\nExec=" + exec + "\n");
    }

    // What the launched program wrote, once it has ended.
    std::string outputOf(pid_t child) {
        EXPECT_TRUE(testing::processGoneWithin(child, kEndWait));
        std::stringstream written;
        written << std::ifstream(output).rdbuf();
        std::filesystem::remove(output);
        return written.str();
    }
    // The arguments the printing program got from the entry, or why it did not start.
    std::expected<Arguments, std::string> arguments(const std::string& path) {
        const auto child = directory.launch(path);
        if (!child) return std::unexpected(child.error());
        Arguments got;
        std::istringstream lines(outputOf(*child));
        for (std::string line; std::getline(lines, line);) got.push_back(line.substr(1, line.size() - 2));
        return got;
    }

    testing::TempDir folder{"launch"};
    std::filesystem::path output = folder / "state/applications.log";
    GioAppDirectory directory{output};
    int entries = 0;
};

// The entry's quoting is undone once for the key file and once for the command line; field codes
// stand for files this launch does not pass, or for the entry's own name.
TEST_F(GioAppLaunchTest, SplitsTheCommandLineAndResolvesFieldCodes) {
    const std::string args = '"' + program("args").string() + '"';
    const std::vector<std::pair<std::string, Arguments>> cases = {
        {args + " %U", {}},
        {"  " + args + " --new-window %f  ", {"--new-window"}},
        {args + R"( --name "a \\"b\\"" 100%%)", {"--name", "a \"b\"", "100%"}},
        {args + " --file=%f %i %c", {"--file=", "Viewer"}},
        {args + " \"\"", {""}},
    };
    for (const auto& [exec, expected] : cases) EXPECT_EQ(arguments(application(exec)), expected) << exec;
    for (const char* broken : {"", "   %U", "run \"open"}) {
        EXPECT_FALSE(directory.launch(application(broken))) << broken;
    }
    EXPECT_FALSE(directory.launch((folder / "missing.desktop").string()));
}

TEST_F(GioAppLaunchTest, RunsTheMainGroupsCommand) {
    const auto args = '"' + program("args").string() + '"';
    const auto path = entry("[Desktop Entry]\nType=Application\nName=Viewer\nActions=new;\nExec=" + args +
                            " main\n[Desktop Action new]\nName=New\nExec=" + args + " action\n");
    EXPECT_EQ(arguments(path), Arguments{"main"});
}

TEST_F(GioAppLaunchTest, StartsWithoutAShellAndFollowsTheProcess) {
    const auto shellRan = folder / "shell-ran";
    const auto missing = directory.launch(application("no-such-program-here --flag"));
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().starts_with("no-such-program-here")) << missing.error();
    // A shell would run this; without one it is one literal argument to echo.
    auto echoed = directory.launch(application("echo \"$(touch " + shellRan.string() + ")\""));
    ASSERT_TRUE(echoed) << echoed.error();
    EXPECT_EQ(outputOf(*echoed), "$(touch " + shellRan.string() + ")\n");
    EXPECT_FALSE(std::filesystem::exists(shellRan));

    auto waiting = directory.launch(application("sleep 30"));
    ASSERT_TRUE(waiting) << waiting.error();
    EXPECT_TRUE(processFamily({::getpid()}).contains(*waiting));
    ::kill(*waiting, SIGKILL);
    EXPECT_TRUE(testing::processGoneWithin(*waiting, kEndWait));
    EXPECT_FALSE(processFamily({::getpid()}).contains(*waiting));
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

// A listener as Asio opens one, without close-on-exec, and the signals the host blocks in every thread.
TEST_F(GioAppLaunchTest, AChildHoldsNothingOfTheHostsAndIsReapedWhenItEnds) {
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
    auto child = directory.launch(application("sleep 30"));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(listener);
    ASSERT_TRUE(child) << child.error();

    // The program's own loader opens files for a moment while it starts; what it inherited stays.
    const std::map<int, std::string> expected{{0, "/dev/null"}, {1, output.string()}, {2, output.string()}};
    std::map<int, std::string> held;
    testing::waitUntil([&] { return (held = descriptorsOf(*child)) == expected; }, kEndWait,
                       std::chrono::milliseconds(5));
    EXPECT_EQ(held, expected);
    EXPECT_EQ(statusLine(*child, "SigBlk:"), "SigBlk:\t0000000000000000");
    EXPECT_EQ(::getsid(*child), *child);  // a session of its own
    ::kill(*child, SIGTERM);              // ends it, unblocked
    EXPECT_TRUE(testing::processGoneWithin(*child, kEndWait)) << statusLine(*child, "State:");
}

}  // namespace
}  // namespace orvanta::platform::gio
