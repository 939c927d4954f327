#include "client/directory/PairLink.h"

#include <gtest/gtest.h>

namespace orvanta::client {
namespace {

TEST(PairLink, AcceptsOnlyWellFormedLinks) {
    struct Case {
        std::string_view text;
        std::optional<PairLink> expected;
    };
    const PairLink host{"https://mac.tail1234.ts.net:8443", "AB12CD34EF"};
    const Case cases[] = {
        {"orvanta://pair?u=https%3A%2F%2Fmac.tail1234.ts.net%3A8443&c=AB12CD34EF", host},
        {"ORVANTA://PAIR?u=https%3A%2F%2Fmac.tail1234.ts.net%3A8443&c=AB12CD34EF", host},
        {" \n\torvanta://pair?u=https%3A%2F%2Fmac.tail1234.ts.net%3A8443&c=AB12CD34EF\r\n ", host},
        {"orvanta://pair?x=1&c=AB12CD34EF&u=https%3A%2F%2Fmac.tail1234.ts.net%3A8443&y", host},
        {"orvanta://pair?u=HTTPS://h/p?q&c=ab-cd+ef%20", PairLink{"HTTPS://h/p?q", "ab-cd+ef "}},
        {"orvanta://pair?u=https://%5B::1%5D:8443&c=X", PairLink{"https://[::1]:8443", "X"}},
        {"orvanta://pair/?u=https%3A%2F%2Fh&c=X", std::nullopt},
        {"orvanta://pair/x?u=https%3A%2F%2Fh&c=X", std::nullopt},
        {"https://pair?u=https%3A%2F%2Fh&c=X", std::nullopt},
        {"orvanta://pairing?u=https%3A%2F%2Fh&c=X", std::nullopt},
        {"orvanta:pair?u=https%3A%2F%2Fh&c=X", std::nullopt},
        {"orvanta://pair", std::nullopt},
        {"orvanta://pair?", std::nullopt},
        {"orvanta://pair?u=https%3A%2F%2Fh&u=https%3A%2F%2Fh&c=X", std::nullopt},
        {"orvanta://pair?u=https%3A%2F%2Fh&c=X&c=X", std::nullopt},
        {"orvanta://pair?u=https%3A%2F%2Fh", std::nullopt},
        {"orvanta://pair?u=https%3A%2F%2Fh&c=", std::nullopt},
        {"orvanta://pair?u=https%3A%2F%2Fh&c", std::nullopt},
        {"orvanta://pair?U=https%3A%2F%2Fh&C=X", std::nullopt},
        {"orvanta://pair?u&c=X", std::nullopt},
        {"orvanta://pair?u=http%3A%2F%2Fh&c=X", std::nullopt},
        {"orvanta://pair?u=https%3A%2F%2F&c=X", std::nullopt},
        {"orvanta://pair?u=https%3Ah&c=X", std::nullopt},
        {"orvanta://pair?u=https%3A%2F%2Fuser%40h&c=X", std::nullopt},
        {"orvanta://pair?u=https%3A%2F%2Fuser%3Apw%40h&c=X", std::nullopt},
        {"orvanta://pair?u=https%3A%2F%2F%40h&c=X", std::nullopt},
        {"orvanta://pair?u=https%3A%2F%2Fh%20x&c=X", std::nullopt},
        {"orvanta://pair?u=https%3A%2F%2F%5B%3A%3A1%00evil%5D%3A8443&c=X", std::nullopt},
        {"orvanta://pair?u=%FF&c=X", std::nullopt},
        {"orvanta://pair?u=https%3A%2F%2Fh&c=%FF", std::nullopt},
        {"orvanta://pair?u=https%3A%2F%2Fh&c=X Y", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(PairLink::parse(c.text), c.expected) << c.text;
}

}  // namespace
}  // namespace orvanta::client
