#include "client/directory/SelfConnectionGuard.h"

#include <gtest/gtest.h>

#include <thread>

namespace orvanta::client {
namespace {

TEST(SelfConnectionGuard, MatchesIdentifiersIgnoringCaseAndSurroundingBlanks) {
    struct Case {
        std::optional<std::string> entry;
        std::optional<std::string> local;
        bool self;
    };
    const Case cases[] = {
        {"6F1C2A3B-0000-4000-8000-00000000ABCD", "6F1C2A3B-0000-4000-8000-00000000ABCD", true},
        {"6f1c2a3b-0000-4000-8000-00000000abcd", " 6F1C2A3B-0000-4000-8000-00000000ABCD\n", true},
        {"\xC2\xA0straße\t", "STRASSE", true},  // full upper-casing turns "ß" into "SS"
        {"ÉCOLE", "école", true},
        {"host-a", "host-b", false},
        {"", "", false},
        {" \n", " \n", false},
        {"id", std::nullopt, false},
        {std::nullopt, "id", false},
        {std::nullopt, std::nullopt, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SelfConnectionGuard::isSelfConnection(c.entry, c.local), c.self)
            << c.entry.value_or("<none>") << " / " << c.local.value_or("<none>");
    }
}

TEST(LocalHostIdentity, PublishesReplacesAndClears) {
    LocalHostIdentity::publish("");
    EXPECT_EQ(LocalHostIdentity::hostId(), std::nullopt);

    std::thread hostQueue([] { LocalHostIdentity::publish("HOST-1"); });
    hostQueue.join();
    EXPECT_EQ(LocalHostIdentity::hostId(), "HOST-1");
    EXPECT_TRUE(SelfConnectionGuard::isSelfConnection("host-1", LocalHostIdentity::hostId()));

    LocalHostIdentity::publish("HOST-2");
    EXPECT_EQ(LocalHostIdentity::hostId(), "HOST-2");
    LocalHostIdentity::publish("");
    EXPECT_EQ(LocalHostIdentity::hostId(), std::nullopt);
    EXPECT_FALSE(SelfConnectionGuard::isSelfConnection("HOST-2", LocalHostIdentity::hostId()));
}

}  // namespace
}  // namespace orvanta::client
