// The orvanta program as a user starts it, with its default settings: on a desktop with a window
// manager it opens its window and listens; through scripts/run on a machine without a display it
// brings up its own desktop, prints a pairing code a device pairs with and gets video from, and
// Ctrl+C leaves nothing running.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/x11/X11WindowSystem.h"
#include "support/ChildProcess.h"
#include "support/FakeHostDevice.h"
#include "support/LoopbackDevice.h"
#include "support/ProcSockets.h"
#include "support/TempDir.h"
#include "support/XvfbFixture.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint16_t kLoopbackPort = 8766;

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
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

// Whether something accepts connections on the loopback port.
bool listening(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr generic{};
    std::memcpy(&generic, &address, sizeof address);
    const bool accepted = ::connect(fd, &generic, sizeof address) == 0;
    ::close(fd);
    return accepted;
}

// A folder with a short path: local socket paths inside it must stay under 108 bytes.
class ShortDir {
public:
    ShortDir() {
        char name[] = "/tmp/orv-XXXXXX";
        if (::mkdtemp(name)) path_ = name;
    }
    ~ShortDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A fresh user's folders, private to the test.
std::vector<std::string> freshAccount(const std::filesystem::path& home) {
    std::vector<std::string> environment;
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"}) {
        const auto folder = home / (std::string(name) == "XDG_RUNTIME_DIR" ? "run" : name);
        std::filesystem::create_directories(folder);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
        environment.push_back(std::string(name) + "=" + folder.string());
    }
    return environment;
}

// Our own child has ended and is reaped here; its exit status, or nothing after `limit`.
std::optional<int> exitedWithin(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    const bool ended = waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!ended) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Every process below `root`, children first found through /proc.
std::set<pid_t> descendants(pid_t root) {
    std::set<pid_t> found{root};
    bool grew = true;
    while (grew) {
        grew = false;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            const std::string stat = fileText(entry.path() / "stat");
            const auto close = stat.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream rest(stat.substr(close + 2));
            char state = 0;
            pid_t parent = 0;
            rest >> state >> parent;
            const pid_t pid = std::stoi(name);
            if (found.contains(parent) && found.insert(pid).second) grew = true;
        }
    }
    return found;
}

std::string hello(const std::string& token) {
    return base::Json{{"type", "hello"},
                      {"token", token},
                      {"deviceId", "run-device"},
                      {"idiom", "pad"},
                      {"viewport", {{"width", 640}, {"height", 360}}},
                      {"caps", {{"codecs", {"h264"}}, {"lowPower", false}, {"maxFps", 30}}}}
        .dump();
}

// The program listens on the standard ports; another program on this machine may hold them.
#define ORVANTA_REQUIRE_FREE_PORTS() \
    if (listening(kLoopbackPort)) GTEST_SKIP() << "another program listens on 127.0.0.1:8766"

TEST(OrvantaProgramTest, OpensItsWindowOnTheDesktopAndListens) {
    ORVANTA_REQUIRE_XVFB(XvfbOptions{.windowManager = true});
    ORVANTA_REQUIRE_FREE_PORTS();
    ShortDir home;
    auto environment = freshAccount(home.path());
    environment.push_back("DISPLAY=" + display);
    const auto log = home.path() / "orvanta.log";
    const auto started = std::chrono::steady_clock::now();
    auto pid = startChild({.argv = {ORVANTA_APP}, .extraEnvironment = environment, .logPath = log.string()});
    ASSERT_TRUE(pid) << pid.error();
    ASSERT_TRUE(waitUntil([] { return listening(kLoopbackPort); }, 20s)) << fileText(log);
    std::cout
        << "start to listening: "
        << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count()
        << " ms (debug build with sanitizers)\n";

    auto windows = platform::x11::X11WindowSystem::open(display);
    ASSERT_TRUE(windows) << windows.error();
    const auto titled = [&] {
        const auto list = (*windows)->windowList(true);
        return list && std::any_of(list->begin(), list->end(), [&](const platform::WindowDescription& window) {
                   return window.title == "Orvanta" && window.ownerPid == *pid;
               });
    };
    EXPECT_TRUE(waitUntil(titled, 10s));

    // A second start hands over to the first one and ends.
    auto second = startChild({.argv = {ORVANTA_APP}, .extraEnvironment = environment, .logPath = {}});
    ASSERT_TRUE(second);
    EXPECT_EQ(exitedWithin(*second, 20s), 0);

    ::kill(*pid, SIGINT);
    EXPECT_EQ(exitedWithin(*pid, 20s), 0) << fileText(log);
    EXPECT_EQ(fileText(log).find("Sanitizer"), std::string::npos) << fileText(log);
}

TEST(OrvantaProgramTest, RunWithoutADisplayServesItsOwnDesktopUntilCtrlC) {
    ORVANTA_REQUIRE_FREE_PORTS();
    ShortDir home;
    auto environment = freshAccount(home.path());
    environment.push_back("DISPLAY=");
    environment.push_back("TMPDIR=" + home.path().string());
    // The build this test belongs to, so the script finds its program built.
    environment.push_back("ORVANTA_RUN_BUILD_DIR=" + std::filesystem::path(ORVANTA_APP).parent_path().string());
    const auto log = home.path() / "run.log";
    auto script = startChild({.argv = {std::string(ORVANTA_SOURCE_DIR) + "/scripts/run"},
                              .extraEnvironment = environment,
                              .logPath = log.string()});
    ASSERT_TRUE(script) << script.error();
    // Whatever the test finds, the script is interrupted as Ctrl+C would, so it ends what it started.
    struct Interrupt {
        pid_t pid;
        std::optional<int> status;
        ~Interrupt() {
            if (status) return;
            ::kill(pid, SIGINT);
            exitedWithin(pid, 30s);
        }
    } interrupt{*script, std::nullopt};

    const std::regex codeLine("Pairing code: ([A-Z0-9]{4}-[A-Z0-9]{4}-[A-Z0-9]{2})");
    std::smatch match;
    std::string printed;
    ASSERT_TRUE(waitUntil(
        [&] {
            printed = fileText(log);
            if (printed.find("orvanta: ") != std::string::npos) return true;  // the script gave up
            return std::regex_search(printed, match, codeLine) && printed.find("Ctrl+C") != std::string::npos;
        },
        120s));
    ASSERT_TRUE(std::regex_search(printed, match, codeLine)) << printed;
    const std::string code = match[1];
    EXPECT_NE(printed.find("5 minutes"), std::string::npos) << printed;
    EXPECT_NE(printed.find("http://127.0.0.1:8766"), std::string::npos) << printed;

    // A device pairs with the printed code and gets the desktop's video.
    const auto paired = postPair(kLoopbackPort, pairBody(code, "run-device", "Tab"));
    ASSERT_EQ(paired.status, "200 OK") << printed;
    auto session = LoopbackSession::open(kLoopbackPort, hello(paired.body.value("deviceToken", "")), false);
    ASSERT_TRUE(session) << session.error();
    const auto packet = (*session)->nextPacket();
    ASSERT_TRUE(packet) << "no video";
    EXPECT_FALSE(packet->payload().empty());
    (*session).reset();

    const auto started = descendants(*script);
    EXPECT_GE(started.size(), 5u);  // the script, Xvfb, openbox, PulseAudio and orvanta
    ::kill(*script, SIGINT);
    interrupt.status = exitedWithin(*script, 30s);
    ASSERT_TRUE(interrupt.status) << fileText(log);
    EXPECT_EQ(interrupt.status, 130);
    for (const pid_t pid : started) EXPECT_TRUE(processGoneWithin(pid, 5s)) << "left running: " << pid;
    EXPECT_FALSE(listening(kLoopbackPort));
    for (const auto& entry : std::filesystem::directory_iterator(home.path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with("orvanta-run.")) << entry.path();
}

}  // namespace
}  // namespace orvanta::testing
