// The catalogue over real desktop entries read through GIO, from folders named by the XDG variables.
#include <gtest/gtest.h>

#include "host/desktop/AppCatalog.h"
#include "platform/gio/GioAppDirectory.h"
#include "support/FakeIconRenderer.h"
#include "support/FakeWindowSystem.h"
#include "support/TempDir.h"

namespace orvanta::host {
namespace {

namespace fs = std::filesystem;

void write(const fs::path& path, const std::string& name, const std::string& extra = "") {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "[Desktop Entry]\nType=Application\nName=" << name << "\nExec=true\n" << extra;
}

TEST(AppCatalogGioTest, ListsTheSystemsEntriesBeforeTheUsers) {
    testing::TempDir temp("xdg");
    setenv("XDG_DATA_DIRS", ((temp / "vendor").string() + ":" + (temp / "share").string()).c_str(), 1);
    setenv("XDG_DATA_HOME", (temp / "home").c_str(), 1);
    write(temp / "vendor/applications/org.example.Editor.desktop", "Editor", "Icon=editor\n");
    write(temp / "share/applications/org.example.Editor.desktop", "Shadowed Editor");
    write(temp / "share/applications/kde/viewer.desktop", "viewer");
    write(temp / "home/applications/mine.desktop", "Mine");
    write(temp / "home/applications/helper.desktop", "Helper", "NoDisplay=true\n");
    std::ofstream(temp / "home/applications/broken.desktop") << "[Desktop Entry]\nName=Broken\n";

    platform::gio::GioAppDirectory directory;
    testing::FakeWindowSystem windows;
    testing::FakeIconRenderer icons;
    icons.sizes["editor"] = {{48, 500}};
    std::vector<std::string> logLines;
    AppCatalog catalog(
        directory, windows, icons, [&](std::string_view line) { logLines.emplace_back(line); },
        AppCatalog::searchDirectories());

    auto list = catalog.entries({});
    std::vector<std::pair<std::string, std::string>> shown;
    for (const auto& entry : list.entries) shown.emplace_back(entry.bundleId, entry.name);
    EXPECT_EQ(shown, (std::vector<std::pair<std::string, std::string>>{{"org.example.Editor.desktop", "Editor"},
                                                                       {"mine.desktop", "Mine"},
                                                                       {"kde-viewer.desktop", "viewer"}}));
    EXPECT_EQ(list.icons.size(), 1u);
    EXPECT_EQ(logLines, (std::vector<std::string>{"app catalogue: skipped " +
                                                  (temp / "home/applications/broken.desktop").string() + ": no Type"}));
    EXPECT_EQ(catalog.launchURL("org.example.Editor.desktop", AppCatalog::searchDirectories()),
              temp / "vendor/applications/org.example.Editor.desktop");
}

}  // namespace
}  // namespace orvanta::host
