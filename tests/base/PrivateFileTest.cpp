#include "base/PrivateFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "support/TempDir.h"

namespace orvanta::base {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> names(const fs::path& directory) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(directory)) found.push_back(entry.path().filename());
    std::ranges::sort(found);
    return found;
}

std::string contents(const fs::path& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), {});
}

TEST(PrivateFile, ReplacesTheFileWithOneOnlyItsOwnerCanRead) {
    testing::TempDir dir;
    const auto path = dir.path() / "code";
    std::ofstream(path) << "older and longer";
    ::chmod(path.c_str(), 0666);
    ASSERT_TRUE(writePrivateFile(path, "ABCD-EFGH-JK"));
    EXPECT_EQ(contents(path), "ABCD-EFGH-JK");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"code"});

    const auto missing = dir.path() / "no" / "code";
    auto failed = writePrivateFile(missing, "x");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().path, missing);
    EXPECT_EQ(failed.error().error, ENOENT);
    EXPECT_NE(failed.error().description().find(missing.string()), std::string::npos);
}

TEST(PrivateFile, ReplacesALinkInTheFilesPlaceInsteadOfWritingThroughIt) {
    testing::TempDir dir;
    const auto target = dir.path() / "elsewhere";
    std::ofstream(target) << "untouched";
    fs::create_symlink(target, dir.path() / "code");
    ASSERT_TRUE(writePrivateFile(dir.path() / "code", "new"));
    EXPECT_FALSE(fs::is_symlink(dir.path() / "code"));
    EXPECT_EQ(contents(dir.path() / "code"), "new");
    EXPECT_EQ(contents(target), "untouched");
}

// A write holds an exclusive flock on its temporary file until the rename; an unlocked one is
// what a killed writer left, and only such files go.
TEST(PrivateFile, CleanUpRemovesOnlyTheTemporaryFilesOfInterruptedWrites) {
    testing::TempDir dir;
    const auto stale = dir.path() / ".orvanta-tmp.00000000000000aa";
    const auto live = dir.path() / ".orvanta-tmp.00000000000000bb";
    std::ofstream(stale) << "partial";
    std::ofstream(dir.path() / "tmp.other-program") << "not ours";
    const int held = ::open(live.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    removeStalePrivateTemporaries(dir.path());
    EXPECT_EQ(names(dir.path()), (std::vector<std::string>{live.filename(), "tmp.other-program"}));

    ::close(held);
    removeStalePrivateTemporaries(dir.path());
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"tmp.other-program"});
}

}  // namespace
}  // namespace orvanta::base
