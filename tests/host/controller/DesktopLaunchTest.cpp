#include "host/controller/DesktopLaunch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "support/TempDir.h"

namespace orvanta::testing {
namespace {

using Arguments = std::vector<std::string>;

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

TEST(DesktopLaunchTest, SpawnsWithoutAShellAndFollowsTheProcess) {
    EXPECT_FALSE(host::spawnProgram({"no-such-program-here"}));
    // A shell would expand this; spawned directly it is one literal argument to echo.
    auto echoed = host::spawnProgram({"echo", "$(touch /tmp/should-not-exist)"});
    ASSERT_TRUE(echoed);
    while (!host::exited(*echoed)) std::this_thread::yield();
    EXPECT_FALSE(std::filesystem::exists("/tmp/should-not-exist"));

    auto waiting = host::spawnProgram({"sleep", "30"});
    ASSERT_TRUE(waiting);
    EXPECT_TRUE(host::processFamily(::getpid()).contains(*waiting));
    EXPECT_FALSE(host::exited(*waiting));
    ::kill(*waiting, SIGKILL);
    while (!host::exited(*waiting)) std::this_thread::yield();
    EXPECT_FALSE(host::processFamily(::getpid()).contains(*waiting));
}

}  // namespace
}  // namespace orvanta::testing
