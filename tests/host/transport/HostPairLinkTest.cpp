#include "host/transport/HostPairLink.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/PosixProcessRunner.h"
#include "support/TempDir.h"

namespace orvanta::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view kCode = "ABCD-EFGH-JK";

std::optional<std::string> linkFor(std::string_view status) { return HostPairLink::make(base::asBytes(status), kCode); }

std::string statusNaming(const std::string& name) { return R"({"Version":"1","Self":{"DNSName":")" + name + R"("}})"; }

std::string expectedLink(const std::string& name) {
    return "orvanta://pair?u=https%3A%2F%2F" + name + "%3A8443&c=" + std::string(kCode);
}

TEST(HostPairLinkMake, BuildsTheLinkFromTheToolsDnsName) {
    EXPECT_EQ(linkFor(statusNaming("mac.tail12ab.ts.net.")), expectedLink("mac.tail12ab.ts.net"));
    EXPECT_EQ(linkFor(statusNaming("My-Mac.Tail12AB.ts.net")), expectedLink("My-Mac.Tail12AB.ts.net"));
    EXPECT_EQ(HostPairLink::make(base::asBytes(statusNaming("h")), "any text&c=1"),
              "orvanta://pair?u=https%3A%2F%2Fh%3A8443&c=any text&c=1");
}

TEST(HostPairLinkMake, ChecksTheDnsNameStrictly) {
    const std::string l63(63, 'a');
    const std::string exactly253 = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'b');
    struct Case {
        const char* what;
        std::string name;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"253 characters", exactly253, true},
        {"253 characters and the root dot", exactly253 + ".", true},
        {"254 characters", exactly253 + "b", false},
        {"63-character label", l63 + ".net", true},
        {"64-character label", l63 + "a.net", false},
        {"single label", "localhost", true},
        {"hyphen inside", "my-mac.ts.net", true},
        {"two trailing dots", "mac.ts.net..", false},
        {"leading dot", ".mac.ts.net", false},
        {"empty label", "mac..ts.net", false},
        {"only a dot", ".", false},
        {"empty", "", false},
        {"leading hyphen", "-mac.ts.net", false},
        {"trailing hyphen", "mac-.ts.net", false},
        {"underscore", "my_mac.ts.net", false},
        {"blank", "my mac.ts.net", false},
        {"non-ASCII letter", "mäc.ts.net", false},
        {"escape in the name", "mac.ts.net%2F", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto link = linkFor(statusNaming(c.name));
        EXPECT_EQ(link.has_value(), c.valid);
    }
}

TEST(HostPairLinkMake, NeedsTheSelfObjectWithATextDnsName) {
    for (std::string_view status : {
             R"({"Peer":{"DNSName":"mac.ts.net"}})",
             R"({"Self":{"DNSName":7}})",
             R"({"Self":{"DNSName":null}})",
             R"({"Self":null})",
             R"({"Self":"mac.ts.net"})",
             R"([{"Self":{"DNSName":"mac.ts.net"}}])",
             R"({"Self":{"DNSName":"mac.ts.net"})",
             "",
         }) {
        SCOPED_TRACE(status);
        EXPECT_EQ(linkFor(status), std::nullopt);
    }
}

class HostPairLinkLookup : public ::testing::Test {
protected:
    // A stand-in for the tool that insists on the arguments the host passes.
    std::string tool(const std::string& name, const std::string& body) {
        return orvanta::testing::writeScript(dir_ / name, "[ \"$*\" = \"status --json\" ] || exit 64\n" + body);
    }

    std::optional<std::string> lookup(std::vector<std::string> paths) {
        return HostPairLink::lookup(kCode, runner_, {std::move(paths), 300ms});
    }

    orvanta::testing::TempDir temp_{"pairlink"};
    fs::path dir_ = temp_.path();
    platform::PosixProcessRunner runner_;
};

TEST_F(HostPairLinkLookup, RunsTheFirstToolThatIsAnExecutableFile) {
    const std::string notExecutable = (dir_ / "plain").string();
    std::ofstream(notExecutable) << "#!/bin/sh\necho '{}'\n";
    fs::create_directory(dir_ / "folder");
    const std::string first = tool("first", "echo '" + statusNaming("first.ts.net.") + "'");
    const std::string second = tool("second", "echo '" + statusNaming("second.ts.net.") + "'");
    EXPECT_EQ(lookup({(dir_ / "missing").string(), notExecutable, (dir_ / "folder").string(), first, second}),
              expectedLink("first.ts.net"));
}

TEST_F(HostPairLinkLookup, GivesNoLinkWhenTheToolFails) {
    struct Case {
        const char* what;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"exit status 1", "echo '" + statusNaming("mac.ts.net") + "'; exit 1"},
        {"killed by a signal", "echo '" + statusNaming("mac.ts.net") + "'; kill -KILL $$"},
        {"garbage", "echo 'Tailscale is stopped.'"},
        {"bad name", "echo '" + statusNaming("mac_1.ts.net") + "'"},
        {"hangs", "echo '" + statusNaming("mac.ts.net") + "'; exec sleep 30"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(lookup({tool("tailscale", c.body)}), std::nullopt);
    }
    EXPECT_EQ(lookup({(dir_ / "missing").string()}), std::nullopt);
    EXPECT_EQ(lookup({}), std::nullopt);
}

// The finder pattern whose top-left module is at (x, y): a dark ring, a light ring, a dark 3 x 3.
bool hasFinderAt(const QrMatrix& qr, int x, int y) {
    for (int dy = 0; dy < 7; ++dy) {
        for (int dx = 0; dx < 7; ++dx) {
            const int ring = std::max(std::abs(dx - 3), std::abs(dy - 3));
            if (qr.dark(x + dx, y + dy) != (ring != 2)) return false;
        }
    }
    return true;
}

TEST(HostPairLinkQr, EncodesATypicalLinkAsAScannableSymbol) {
    const std::string link = expectedLink("my-mac.tail12ab.ts.net");  // 75 bytes
    const auto qr = HostPairLink::qr(link);
    ASSERT_TRUE(qr.has_value());
    // 75 bytes in byte mode at level M need version 5.
    EXPECT_EQ(qr->version, 5);
    EXPECT_EQ(qr->size, 17 + 4 * qr->version);
    ASSERT_EQ(qr->modules.size(), static_cast<std::size_t>(qr->size * qr->size));
    EXPECT_TRUE(hasFinderAt(*qr, 0, 0));
    EXPECT_TRUE(hasFinderAt(*qr, qr->size - 7, 0));
    EXPECT_TRUE(hasFinderAt(*qr, 0, qr->size - 7));
    EXPECT_FALSE(hasFinderAt(*qr, qr->size - 7, qr->size - 7));
    for (int i = 8; i < qr->size - 8; ++i) {
        EXPECT_EQ(qr->dark(i, 6), i % 2 == 0) << "timing row at " << i;
        EXPECT_EQ(qr->dark(6, i), i % 2 == 0) << "timing column at " << i;
    }
    EXPECT_EQ(HostPairLink::qr(link), qr);  // the same text always gives the same symbol
}

TEST(HostPairLinkQr, GivesNothingForTextItCannotEncode) {
    EXPECT_EQ(HostPairLink::qr(""), std::nullopt);
    EXPECT_EQ(HostPairLink::qr(std::string(3000, 'x')), std::nullopt);  // beyond version 40 at level M
}

}  // namespace
}  // namespace orvanta::host
