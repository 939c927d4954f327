// The orvanta program as a user starts it, with its default settings: on a desktop with a window
// manager it opens its window and listens; through scripts/run on a machine without a display it
// brings up its own desktop, prints a pairing code a device pairs with and gets video from, and
// Ctrl+C leaves nothing running.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/x11/X11WindowSystem.h"
#include "support/ChildProcess.h"
#include "support/FakeHostDevice.h"
#include "support/LoopbackDevice.h"
#include "support/ProgramRun.h"
#include "support/TempDir.h"
#include "support/XvfbFixture.h"

namespace orvanta::testing {
namespace {

using namespace std::chrono_literals;

// Every process below `root`, children first found through /proc.
std::set<pid_t> descendants(pid_t root) {
    std::set<pid_t> found{root};
    bool grew = true;
    while (grew) {
        grew = false;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            const std::string stat = readFile(entry.path() / "stat");
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

TEST(OrvantaProgramTest, OpensItsWindowOnTheDesktopAndListens) {
    ORVANTA_REQUIRE_XVFB(XvfbOptions{.windowManager = true});
    ORVANTA_REQUIRE_FREE_PROGRAM_PORT();
    FreshUser user("app");
    auto environment = user.folders();
    environment.push_back("DISPLAY=" + display);
    const auto log = user.home() / "orvanta.log";
    const auto started = std::chrono::steady_clock::now();
    auto pid = startChild({.argv = {ORVANTA_APP}, .extraEnvironment = environment, .logPath = log.string()});
    ASSERT_TRUE(pid) << pid.error();
    ASSERT_TRUE(waitUntil([] { return acceptsOnLoopback(kProgramLoopbackPort); }, 20s)) << readFile(log);
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
    EXPECT_EQ(exitedWithin(*pid, 20s), 0) << readFile(log);
    EXPECT_EQ(readFile(log).find("Sanitizer"), std::string::npos) << readFile(log);
}

TEST(OrvantaProgramTest, RunWithoutADisplayServesItsOwnDesktopUntilCtrlC) {
    ORVANTA_REQUIRE_FREE_PROGRAM_PORT();
    FreshUser user("app");
    auto environment = user.folders();
    environment.push_back("DISPLAY=");
    environment.push_back("TMPDIR=" + user.home().string());
    // The build this test belongs to, so the script finds its program built.
    environment.push_back("ORVANTA_RUN_BUILD_DIR=" + std::filesystem::path(ORVANTA_APP).parent_path().string());
    const auto log = user.home() / "run.log";
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
            printed = readFile(log);
            if (printed.find("orvanta: ") != std::string::npos) return true;  // the script gave up
            return std::regex_search(printed, match, codeLine) && printed.find("Ctrl+C") != std::string::npos;
        },
        120s));
    ASSERT_TRUE(std::regex_search(printed, match, codeLine)) << printed;
    const std::string code = match[1];
    EXPECT_NE(printed.find("5 minutes"), std::string::npos) << printed;
    EXPECT_NE(printed.find("http://127.0.0.1:8766"), std::string::npos) << printed;

    // A device pairs with the printed code and gets the desktop's video.
    const auto paired = postPair(kProgramLoopbackPort, pairBody(code, "run-device", "Tab"));
    ASSERT_EQ(paired.status, "200 OK") << printed;
    auto session = LoopbackSession::open(
        kProgramLoopbackPort, padHello(paired.body.value("deviceToken", ""), "run-device", 640, 360, 30), false);
    ASSERT_TRUE(session) << session.error();
    const auto packet = (*session)->nextPacket();
    ASSERT_TRUE(packet) << "no video";
    EXPECT_FALSE(packet->payload().empty());
    (*session).reset();

    const auto started = descendants(*script);
    EXPECT_GE(started.size(), 5u);  // the script, Xvfb, openbox, PulseAudio and orvanta
    // Ctrl+C as a terminal sends it: to the script and whatever it runs in its own session (its
    // waits' `sleep`s), not to what it started in sessions of their own.
    const auto ctrlC = [&] {
        ::kill(*script, SIGINT);
        for (const pid_t pid : descendants(*script)) {
            if (::getsid(pid) == ::getsid(*script)) ::kill(pid, SIGINT);
        }
    };
    ctrlC();
    // An impatient second Ctrl+C while the script ends what it started must not cut that short:
    // it comes once the ending waits for a process to go (a `sleep` of the script's own session).
    const auto ending = [&] {
        for (const pid_t pid : descendants(*script)) {
            if (pid != *script && ::getsid(pid) == ::getsid(*script) &&
                readFile(std::filesystem::path("/proc") / std::to_string(pid) / "comm").starts_with("sleep"))
                return true;
        }
        return false;
    };
    EXPECT_TRUE(waitUntil(ending, 10s));
    ctrlC();
    interrupt.status = exitedWithin(*script, 30s);
    ASSERT_TRUE(interrupt.status) << readFile(log);
    EXPECT_EQ(interrupt.status, 130);
    for (const pid_t pid : started) EXPECT_TRUE(processGoneWithin(pid, 5s)) << "left running: " << pid;
    EXPECT_FALSE(acceptsOnLoopback(kProgramLoopbackPort));
    for (const auto& entry : std::filesystem::directory_iterator(user.home()))
        EXPECT_FALSE(entry.path().filename().string().starts_with("orvanta-run.")) << entry.path();
}

}  // namespace
}  // namespace orvanta::testing
