// The private file the debug pairing code goes to.
#include "host/controller/HostSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "support/TempDir.h"

namespace orvanta::host {
namespace {

TEST(PrivateFile, ReplacesTheFileWithOneOnlyItsOwnerCanRead) {
    testing::TempDir dir;
    const auto path = dir.path() / "code";
    std::ofstream(path) << "older and longer";
    ::chmod(path.c_str(), 0666);
    ASSERT_TRUE(writePrivateFile(path, "ABCD-EFGH-JK"));
    std::ifstream file(path);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(file)), {}), "ABCD-EFGH-JK");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const auto missing = dir.path() / "no" / "code";
    auto failed = writePrivateFile(missing, "x");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().path, missing);
    EXPECT_FALSE(failed.error().description.empty());
}

}  // namespace
}  // namespace orvanta::host
