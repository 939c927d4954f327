#include "platform/gio/GioAppDirectory.h"

#include <gtest/gtest.h>

#include "base/Utf8.h"
#include "support/TempDir.h"

namespace orvanta::platform::gio {
namespace {

struct EntryCase {
    const char* what;
    const char* text;
    std::optional<DesktopEntry> entry;
    DesktopEntryRefusal refusal;
};

TEST(GioAppDirectoryTest, ReadsEntriesAndSaysWhyOthersAreNotOffered) {
    setenv("LANGUAGE", "ja", 1);
    const std::vector<EntryCase> cases = {
        {"localised, with icon and class",
         "[Desktop "
         "Entry]\nType=Application\nName=Editor\nName[ja]=エディタ\nExec=/bin/true\nIcon=accessories-text-editor\n"
         "StartupWMClass=EditWin\n",
         DesktopEntry{"エディタ", "accessories-text-editor", "EditWin"},
         {}},
        {"an absolute icon path",
         "[Desktop Entry]\nType=Application\nName=Pic\nExec=true\nIcon=/opt/pic/icon.png\n",
         DesktopEntry{"Pic", "/opt/pic/icon.png", ""},
         {}},
        {"a relative icon path",
         "[Desktop Entry]\nType=Application\nName=Rel\nExec=true\nIcon=icons/rel.png\n",
         DesktopEntry{"Rel", "", ""},
         {}},
        {"hidden", "[Desktop Entry]\nType=Application\nName=Gone\nExec=true\nHidden=true\n", {}, {false, "Hidden"}},
        {"not for menus",
         "[Desktop Entry]\nType=Application\nName=Helper\nExec=true\nNoDisplay=true\n",
         {},
         {false, "NoDisplay"}},
        {"its program missing",
         "[Desktop Entry]\nType=Application\nName=Gone\nExec=orvanta-absent\nTryExec=orvanta-absent\n",
         {},
         {false, "TryExec orvanta-absent not found"}},
        {"a link", "[Desktop Entry]\nType=Link\nName=Site\nURL=https://example.invalid/\n", {}, {false, "Type=Link"}},
        {"no type", "[Desktop Entry]\nName=What\nExec=true\n", {}, {true, "no Type"}},
        {"no name", "[Desktop Entry]\nType=Application\nExec=true\n", {}, {true, "no Name"}},
        {"no group", "[Other]\nType=Application\nName=X\nExec=true\n", {}, {true, "no [Desktop Entry] group"}},
        {"no command", "[Desktop Entry]\nType=Application\nName=X\n", {}, {true, "no Exec"}},
    };
    testing::TempDir dir("entries");
    GioAppDirectory directory;
    for (const auto& c : cases) {
        const auto path = (dir / "entry.desktop").string();
        std::ofstream(path, std::ios::trunc) << c.text;
        auto read = directory.readEntry(path);
        if (c.entry) {
            ASSERT_TRUE(read) << c.what << ": " << read.error().reason;
            EXPECT_EQ(*read, *c.entry) << c.what;
        } else {
            ASSERT_FALSE(read) << c.what << " gave " << read->name;
            EXPECT_EQ(read.error(), c.refusal) << c.what << ": " << read.error().reason;
        }
    }
}

TEST(GioAppDirectoryTest, GarbageAndMissingFilesAreMalformed) {
    testing::TempDir dir("entries");
    std::ofstream(dir / "garbage.desktop") << "\x01\x02 not a key file [[[\n= =\n";
    GioAppDirectory directory;
    for (const auto& path : {dir / "garbage.desktop", dir / "absent.desktop"}) {
        auto read = directory.readEntry(path.string());
        ASSERT_FALSE(read);
        EXPECT_TRUE(read.error().malformed);
        EXPECT_FALSE(read.error().reason.empty());
    }
    std::ofstream(dir / "latin1.desktop") << "[Desktop Entry]\nType=Application\nName=caf\xe9\nExec=true\n";
    auto read = directory.readEntry((dir / "latin1.desktop").string());
    ASSERT_TRUE(read);
    EXPECT_TRUE(base::isValidUtf8(read->name)) << read->name;
}

}  // namespace
}  // namespace orvanta::platform::gio
