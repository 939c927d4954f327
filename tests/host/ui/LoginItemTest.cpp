#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "host/ui/LoginItem.h"
#include "support/TempDir.h"

namespace orvanta::host::ui {
namespace {

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(LoginItemTest, WritesAndRemovesTheAutostartEntry) {
    testing::TempDir home;
    const auto entry = home.path() / "config" / "autostart" / "orvanta.desktop";
    LoginItem item(entry, "/opt/Orvanta Apps/orvanta");
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    ASSERT_TRUE(item.set(true));
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    const std::string text = contents(entry);
    EXPECT_TRUE(text.starts_with("[Desktop Entry]\n")) << text;
    EXPECT_NE(text.find("Type=Application\n"), std::string::npos);
    EXPECT_NE(text.find("Exec=\"/opt/Orvanta Apps/orvanta\"\n"), std::string::npos) << text;
    // Nothing but the entry is left in the folder: it was written in one step.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(entry.parent_path()), {}), 1);
    ASSERT_TRUE(item.set(false));
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    EXPECT_TRUE(item.set(false));  // already off
}

TEST(LoginItemTest, AHiddenEntryIsOff) {
    testing::TempDir home;
    const auto entry = home.path() / "orvanta.desktop";
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=orvanta\nHidden=true\n";
    EXPECT_EQ(LoginItem(entry, "orvanta").status(), LoginItemStatus::notRegistered);
    std::ofstream(entry) << "[Desktop Entry]\nExec=orvanta\n[Desktop Action x]\nHidden=true\n";
    EXPECT_EQ(LoginItem(entry, "orvanta").status(), LoginItemStatus::enabled);
}

TEST(LoginItemTest, AFailedWriteShowsTheTextAndLogsTheReason) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    testing::TempDir home;
    const auto folder = home.path() / "autostart";
    std::filesystem::create_directories(folder);
    ::chmod(folder.c_str(), 0500);
    std::vector<std::string> lines;
    LoginItemController controller(LoginItem(folder / "orvanta.desktop", "orvanta"),
                                   [&](std::string_view line) { lines.emplace_back(line); });
    controller.set(true);
    EXPECT_EQ(controller.errorText(), "ログイン項目に登録できませんでした。");
    EXPECT_FALSE(controller.isOn());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("login item register failed: ")) << lines[0];
    ::chmod(folder.c_str(), 0700);
    controller.set(true);
    EXPECT_EQ(controller.errorText(), std::nullopt);
    EXPECT_TRUE(controller.isOn());
}

TEST(LoginItemTest, AFileInPlaceOfTheFolderFailsForRootToo) {
    testing::TempDir home;
    std::ofstream(home.path() / "autostart") << "not a folder";
    std::vector<std::string> lines;
    LoginItemController controller(LoginItem(home.path() / "autostart" / "orvanta.desktop", "orvanta"),
                                   [&](std::string_view line) { lines.emplace_back(line); });
    controller.set(true);
    EXPECT_EQ(controller.errorText(), "ログイン項目に登録できませんでした。");
    EXPECT_EQ(controller.status(), LoginItemStatus::notRegistered);
    EXPECT_EQ(lines.size(), 1u);
}

}  // namespace
}  // namespace orvanta::host::ui
