// The controller's applications over real desktop entries, launched through GIO, and a window
// list the tests write.
#include "host/controller/SystemDesktopApps.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "platform/gio/GioAppDirectory.h"
#include "support/ChildProcess.h"
#include "support/FakeAppDirectory.h"
#include "support/FakeIconRenderer.h"
#include "support/FakeWindowSystem.h"
#include "support/ManualExecutor.h"
#include "support/TempDir.h"

namespace orvanta::testing {
namespace {

namespace fs = std::filesystem;

class SystemDesktopAppsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(folder);
        directory.launcher = &gio;
    }
    void TearDown() override {
        for (pid_t child : children) {
            ::kill(child, SIGKILL);
            processGoneWithin(child, std::chrono::seconds(10));
        }
    }

    void install(const std::string& id, const std::string& exec, const std::string& windowClass = {}) {
        std::ofstream(folder / id) << "[Desktop Entry]\nType=Application\nName=" << id << "\nExec=" << exec << "\n";
        directory.entries[id] = {.name = id, .icon = {}, .startupWMClass = windowClass};
    }
    void addWindow(std::uint32_t id, std::int32_t pid, const std::string& appName) {
        windows.windows.push_back({.id = id, .pid = pid, .appName = appName, .title = "t", .frame = {0, 0, 800, 600}});
    }

    TempDir temp{"launch"};
    fs::path folder = temp.path() / "applications";
    platform::gio::GioAppDirectory gio{temp.path() / "applications.log"};
    FakeAppDirectory directory;
    FakeWindowSystem windows;
    FakeIconRenderer icons;
    ManualExecutor executor;
    std::vector<std::string> logs;
    host::LogFunction log = [this](std::string_view line) { logs.emplace_back(line); };
    host::AppCatalog catalog{directory, windows, icons, log, {folder}};
    host::WindowManager manager{windows, icons, executor.clock(), log};
    host::SystemDesktopApps apps{catalog, manager, directory, {folder}, log};
    std::vector<pid_t> children;
};

TEST_F(SystemDesktopAppsTest, LaunchesTheEntrysProgramAndFindsItsWindowUntilItIsGone) {
    install("editor.desktop", "sleep 30 %U", "Editor");
    const auto launched = apps.launch("editor.desktop");
    ASSERT_TRUE(launched);
    children.push_back(launched->pid);
    EXPECT_EQ(launched->windowClass, "Editor");
    EXPECT_FALSE(apps.windowOf(*launched));
    EXPECT_FALSE(apps.terminated(*launched));

    addWindow(5, launched->pid, "sleep");
    EXPECT_EQ(apps.windowOf(*launched)->windowId, 5u);
    ::kill(launched->pid, SIGKILL);
    ASSERT_TRUE(processGoneWithin(launched->pid, std::chrono::seconds(10)));
    windows.windows.clear();
    addWindow(6, 1, "editor");  // another process, the entry's window class
    EXPECT_EQ(apps.windowOf(*launched)->windowId, 6u);
    EXPECT_FALSE(apps.terminated(*launched));
    windows.windows.clear();
    EXPECT_TRUE(apps.terminated(*launched));
}

// An older instance shows a window of the entry's class; a relaunch waits for its own.
TEST_F(SystemDesktopAppsTest, ARelaunchFindsTheNewProcesssWindowBeforeTheOlderInstances) {
    install("editor.desktop", "sleep 30", "Editor");
    addWindow(5, 1, "Editor");
    const auto launched = apps.launch("editor.desktop");
    ASSERT_TRUE(launched);
    children.push_back(launched->pid);
    EXPECT_FALSE(apps.windowOf(*launched));
    addWindow(7, 1, "Editor");  // the running instance opened one for the launch
    EXPECT_EQ(apps.windowOf(*launched)->windowId, 7u);
    addWindow(6, launched->pid, "Editor");  // and the new process its own
    EXPECT_EQ(apps.windowOf(*launched)->windowId, 6u);
}

// Plain X clients draw no icon of their own: the installed entry's icon stands in.
TEST_F(SystemDesktopAppsTest, AWindowWithoutIconPixelsShowsItsEntrysIcon) {
    install("xeyes.desktop", "sleep 30");
    directory.entries["xeyes.desktop"].icon = "xeyes";
    icons.sizes["xeyes"][host::WindowManager::kAppIconPixels] = 300;
    windows.running = {{.pid = 40, .name = "xeyes", .windowClass = "XEyes", .windowInstance = "xeyes"}};
    EXPECT_EQ(apps.appIconPNG(40), base::Bytes(300, host::WindowManager::kAppIconPixels));
    EXPECT_FALSE(apps.appIconPNG(41));
    windows.icons[40] = {1, 1, {0xFF000000}};  // pixels of its own win
    EXPECT_EQ(apps.appIconPNG(40)->size(), icons.windowIconBytes);
}

TEST_F(SystemDesktopAppsTest, RefusesUnknownOrUnsafeIdentifiersAndProgramsThatDoNotStart) {
    install("broken.desktop", "no-such-program-anywhere --flag");
    for (const char* id : {"missing.desktop", "../broken.desktop", "a/broken.desktop", "broken.desktop"}) {
        EXPECT_FALSE(apps.launch(id)) << id;
    }
    EXPECT_EQ(logs.size(), 1u);
    EXPECT_TRUE(logs.back().starts_with("launch failed: no-such-program-anywhere")) << logs.back();
}

}  // namespace
}  // namespace orvanta::testing
