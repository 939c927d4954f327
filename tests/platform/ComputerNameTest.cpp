// The computer's name: the pretty name of machine-info, else the host name.
#include "platform/ComputerName.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "support/TempDir.h"

namespace orvanta::platform {
namespace {

TEST(PrettyHostname, ReadsTheValueAsTheShellWould) {
    const struct {
        std::string_view text;
        std::optional<std::string> name;
    } cases[] = {
        {"PRETTY_HOSTNAME=\"Lennart's Laptop\"\n", "Lennart's Laptop"},
        {"CHASSIS=laptop\nPRETTY_HOSTNAME='Büro \"2\"'\n", "Büro \"2\""},
        {"PRETTY_HOSTNAME=Plain\n", "Plain"},
        {"PRETTY_HOSTNAME=\"Back\\\\slash \\\"q\\\"\"", "Back\\slash \"q\""},
        {"  PRETTY_HOSTNAME=\"Indented\"\r\n", "Indented"},
        {"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
        {"# PRETTY_HOSTNAME=\"Comment\"\nHOSTNAME=x\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(prettyHostname(c.text), c.name) << c.text;
}

TEST(ComputerName, PrefersThePrettyNameElseTheHostName) {
    testing::TempDir dir;
    const auto info = dir.path() / "machine-info";
    std::ofstream(info) << "PRETTY_HOSTNAME=\"Studio\"\n";
    EXPECT_EQ(computerName(info), "Studio");
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(computerName(dir.path() / "absent"), std::string(host));
}

}  // namespace
}  // namespace orvanta::platform
