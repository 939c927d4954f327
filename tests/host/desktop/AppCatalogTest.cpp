#include "host/desktop/AppCatalog.h"

#include <gtest/gtest.h>

#include "support/FakeAppDirectory.h"
#include "support/FakeIconRenderer.h"
#include "support/FakeWindowSystem.h"
#include "support/TempDir.h"

namespace orvanta::host {
namespace {

namespace fs = std::filesystem;
using platform::DesktopEntry;
using platform::RunningApplication;

class AppCatalogTest : public ::testing::Test {
protected:
    testing::TempDir temp{"apps"};
    fs::path system = temp / "system";
    fs::path user = temp / "user";
    testing::FakeAppDirectory directory;
    testing::FakeWindowSystem windows;
    testing::FakeIconRenderer icons;
    std::vector<std::string> logLines;
    AppCatalog catalog{
        directory, windows, icons, [this](std::string_view line) { logLines.emplace_back(line); }, {system, user}};

    void SetUp() override {
        fs::create_directories(system);
        fs::create_directories(user);
    }
    fs::path install(const fs::path& dir, const std::string& relative, DesktopEntry entry = {}) {
        auto path = dir / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "[Desktop Entry]\n";
        if (entry.name.empty()) entry.name = path.stem().string();
        directory.entries[path.filename().string()] = entry;
        return path;
    }
    std::vector<std::string> ids(const std::vector<protocol::AppListEntry>& entries) {
        std::vector<std::string> out;
        for (const auto& entry : entries) out.push_back(entry.bundleId);
        return out;
    }
};

TEST_F(AppCatalogTest, FindsEntriesOnceRefusingLinksAndLeavingTheFolder) {
    auto first = install(system, "editor.desktop");
    install(user, "editor.desktop");
    install(system, "kde/viewer.desktop");
    install(user, ".hidden/secret.desktop");
    auto outside = install(temp.path(), "elsewhere/escape.desktop");
    fs::create_directory_symlink(outside.parent_path(), user / "linked");
    fs::create_symlink(first, user / "alias.desktop");
    std::ofstream(user / "broken.desktop") << "garbage";
    install(user, "quiet.desktop");
    directory.refusals["quiet.desktop"] = {false, "NoDisplay"};
    install(user, "Mixed.DESKTOP", {"", "", ""});
    directory.entries["Mixed.DESKTOP"].name.clear();

    auto apps = catalog.installedApps({temp / "missing", system, user});
    std::vector<std::string> found;
    for (const auto& [id, app] : apps) found.push_back(id);
    EXPECT_EQ(found, (std::vector<std::string>{"Mixed.DESKTOP", "editor.desktop", "kde-viewer.desktop"}));
    EXPECT_EQ(apps["editor.desktop"].url, first);
    EXPECT_EQ(apps["Mixed.DESKTOP"].name, "Mixed.DESKTOP");
    EXPECT_EQ(logLines, (std::vector<std::string>{"app catalogue: skipped " + (user / "broken.desktop").string() +
                                                  ": no [Desktop Entry]"}));
}

TEST_F(AppCatalogTest, LaunchRefusesUnsafeOrForeignIdentifiers) {
    const std::string longest = std::string(255 - 8, 'x') + ".desktop";
    install(system, "editor.desktop");
    install(system, longest);
    install(system, "orvanta.desktop");
    EXPECT_EQ(catalog.launchURL("editor.desktop", {system, user}), system / "editor.desktop");
    EXPECT_EQ(catalog.launchURL(longest, {system, user}), system / longest);
    for (const std::string& refused :
         {std::string(""), "x" + longest, std::string("kde/editor.desktop"), std::string("kde\\editor.desktop"),
          std::string("c:editor.desktop"), std::string("orvanta.desktop"), std::string("absent.desktop")}) {
        EXPECT_FALSE(catalog.launchURL(refused, {system, user})) << refused;
    }
}

TEST_F(AppCatalogTest, MergesRunningApplicationsAndSortsByName) {
    install(system, "org.example.Terminal.desktop", {"terminal", "", "XTerm"});
    install(system, "app10.desktop", {"App 10", "", ""});
    install(system, "app2.desktop", {"App 2", "", ""});
    install(system, "b.desktop", {"Same", "", ""});
    install(system, "a.desktop", {"same", "", ""});
    install(system, "daemon.desktop", {"Daemon", "", ""});
    install(system, "orvanta.desktop", {"Orvanta", "", ""});
    install(system, "org.example.Mail.desktop", {"Mail", "", ""});
    windows.running = {
        {105, "mail", "Mail", "org.example.Mail", true},    // by its reverse-domain file name
        {100, "xterm", "XTerm", "xterm", true},             // by its declared class
        {101, "App2", "App2", "app2", false},               // by its file name, background, no window
        {102, "Daemon", "Daemon", "daemon", false},         // owns a listed window
        {getpid(), "Orvanta", "Orvanta", "orvanta", true},  // the host itself is not offered
        {104, "stray", "Stray", "stray", true},             // no desktop entry: no identifier
    };
    auto list = catalog.entries({{7, 102, "Daemon", ""}});
    EXPECT_EQ(ids(list.entries),
              (std::vector<std::string>{"app2.desktop", "app10.desktop", "daemon.desktop", "org.example.Mail.desktop",
                                        "a.desktop", "b.desktop", "org.example.Terminal.desktop"}));
    EXPECT_TRUE(list.entries[3].running);
    EXPECT_EQ(list.entries[0], (protocol::AppListEntry{"app2.desktop", "App 2", true, false}));
    EXPECT_EQ(list.entries[1], (protocol::AppListEntry{"app10.desktop", "App 10", false, false}));
    EXPECT_EQ(list.entries[2], (protocol::AppListEntry{"daemon.desktop", "Daemon", true, true}));
    EXPECT_EQ(list.entries[6], (protocol::AppListEntry{"org.example.Terminal.desktop", "terminal", true, false}));
}

TEST_F(AppCatalogTest, IconsStayWithinTheBudgetInListOrder) {
    for (int i = 0; i < 100; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "app%03d", i);
        install(system, std::string(name) + ".desktop", {name, name, ""});
        icons.sizes[name] = {{48, 6000}};
    }
    auto list = catalog.entries({});
    ASSERT_EQ(list.entries.size(), 100u);
    EXPECT_EQ(list.icons.size(), 87u);
    EXPECT_TRUE(list.icons.contains("app086.desktop"));
    EXPECT_FALSE(list.icons.contains("app087.desktop"));
}

TEST_F(AppCatalogTest, IconFallsBackToSmallerSizeAndCachesOnlySuccess) {
    auto big = install(system, "big.desktop", {"Big", "big", ""});
    auto none = install(system, "none.desktop", {"None", "none", ""});
    icons.sizes["big"] = {{48, 9000}, {32, 4000}};
    icons.sizes["none"] = {{48, 9000}, {32, 8193}};
    EXPECT_EQ(catalog.iconPNG(big)->size(), 4000u);
    EXPECT_FALSE(catalog.iconPNG(none));
    const auto renders = icons.renders.size();
    EXPECT_EQ(catalog.iconPNG(big)->size(), 4000u);
    EXPECT_FALSE(catalog.iconPNG(none));
    EXPECT_EQ(icons.renders.size(), renders + 2);  // only the failed one is drawn again, at both sizes
}

TEST_F(AppCatalogTest, AnIconTooLargeForTheRestOfTheBudgetLetsSmallerOnesThrough) {
    auto add = [&](const std::string& name, std::size_t bytes) {
        install(system, name + ".desktop", {name, name, ""});
        icons.sizes[name] = {{48, bytes}};
    };
    for (int i = 0; i < 63; ++i) add("a" + std::to_string(100 + i), 8192);
    add("b1", 8000);  // leaves 192 bytes
    add("b2", 8192);  // does not fit
    add("b3", 192);   // fits exactly
    add("b4", 1);     // nothing left
    auto list = catalog.entries({});
    EXPECT_EQ(list.icons.size(), 65u);
    EXPECT_TRUE(list.icons.contains("b1.desktop") && list.icons.contains("b3.desktop"));
    EXPECT_FALSE(list.icons.contains("b2.desktop") || list.icons.contains("b4.desktop"));
}

TEST(AppCatalogDirectoriesTest, SystemFoldersComeBeforeTheUsers) {
    setenv("XDG_DATA_DIRS", "/opt/a:relative:/usr/share", 1);
    setenv("XDG_DATA_HOME", "/home/u/.data", 1);
    EXPECT_EQ(AppCatalog::searchDirectories(),
              (std::vector<fs::path>{"/opt/a/applications", "/usr/share/applications", "/home/u/.data/applications"}));
    unsetenv("XDG_DATA_DIRS");
    setenv("XDG_DATA_HOME", "relative", 1);
    setenv("HOME", "/home/v", 1);
    EXPECT_EQ(AppCatalog::searchDirectories(),
              (std::vector<fs::path>{"/usr/local/share/applications", "/usr/share/applications",
                                     "/home/v/.local/share/applications"}));
}

}  // namespace
}  // namespace orvanta::host
