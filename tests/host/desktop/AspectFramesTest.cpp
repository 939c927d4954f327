// The recorded-frames file: where it sits, what it holds, and what a start does with a file that
// is not whole or not ours.
#include "host/desktop/AspectFrames.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/FakeIconRenderer.h"
#include "support/FakeWindowSystem.h"
#include "support/ManualExecutor.h"
#include "support/TempDir.h"

namespace orvanta::testing {
namespace {

using host::SavedAspectFrame;

TEST(AspectFramesFileTest, SitsBesideTheArrangementAndReadsBackWhatWasWritten) {
    EXPECT_EQ(host::aspectFramesFile("/s/orvanta/randr-arrangement-_0.json"), "/s/orvanta/aspect-windows-_0.json");
    TempDir dir("frames");
    const auto file = host::aspectFramesFile(dir.path() / "state" / "randr-arrangement-_7.json");
    const std::vector<SavedAspectFrame> frames{{{12, 345, "エディタ", {-10.5, 20, 800, 600}}, false},
                                               {{13, 346, "Term", {1920, 0, 0, 0}}, true}};
    ASSERT_TRUE(host::writeAspectFrames(file, frames));
    EXPECT_EQ(host::readAspectFrames(file), frames);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));
}

// A file that is not ours or not whole is refused with a reason, logged and set aside at start,
// and nothing is moved.
TEST(AspectFramesFileTest, RefusesCorruptOrForeignFilesAndSetsThemAside) {
    const std::string good = R"({"id":1,"pid":100,"app":"A","x":0,"y":0,"width":10,"height":10,"positionOnly":false})";
    const std::pair<const char*, std::string> cases[] = {
        {"not JSON", "{not json"},
        {"another program's", R"({"kind":"something-else","version":1,"windows":[]})"},
        {"a later version", R"({"kind":"orvanta-aspect-windows","version":2,"windows":[]})"},
        {"no list", R"({"kind":"orvanta-aspect-windows","version":1})"},
        {"a missing field", R"({"kind":"orvanta-aspect-windows","version":1,"windows":[{"id":1}]})"},
        {"init's window", R"({"kind":"orvanta-aspect-windows","version":1,"windows":[)" +
                              std::string(R"({"id":1,"pid":1,"app":"A","x":0,"y":0,"width":1,"height":1,)") +
                              R"("positionOnly":false}]})"},
        {"a negative size", R"({"kind":"orvanta-aspect-windows","version":1,"windows":[)" +
                                std::string(R"({"id":1,"pid":9,"app":"A","x":0,"y":0,"width":-1,"height":1,)") +
                                R"("positionOnly":false}]})"},
    };
    TempDir dir("frames");
    FakeWindowSystem system;
    FakeIconRenderer icons;
    ManualClock clock;
    std::vector<std::string> lines;
    host::WindowManager manager(system, icons, clock, [&](std::string_view line) { lines.emplace_back(line); });
    const auto file = dir.path() / "aspect-windows-_0.json";
    for (const auto& [what, text] : cases) {
        SCOPED_TRACE(what);
        lines.clear();
        std::ofstream(file) << text;
        EXPECT_FALSE(host::readAspectFrames(file));
        EXPECT_EQ(
            host::recoverAspectWindowsAfterCrash(manager, file, [&](std::string_view l) { lines.emplace_back(l); }),
            0u);
        EXPECT_FALSE(std::filesystem::exists(file));
        EXPECT_TRUE(std::filesystem::exists(file.string() + ".bad"));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].starts_with("display aspect fit: saved window frames unreadable (")) << lines[0];
    }
    std::ofstream(file) << R"({"kind":"orvanta-aspect-windows","version":1,"windows":[)" + good + "]}";
    EXPECT_TRUE(host::readAspectFrames(file));
    EXPECT_EQ(host::recoverAspectWindowsAfterCrash(manager, dir.path() / "absent.json", [](std::string_view) {}), 0u);
}

}  // namespace
}  // namespace orvanta::testing
