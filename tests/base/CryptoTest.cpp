#include "base/Crypto.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "base/Uuid.h"

namespace orvanta::base {
namespace {

TEST(Crypto, HashesKnownVectors) {
    EXPECT_EQ(hexLower(sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hexLower(sha256(asBytes("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hexLower(sha1(asBytes("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Crypto, ComparesInConstantTimeByContentAndLength) {
    EXPECT_TRUE(constantTimeEqual({}, {}));
    EXPECT_FALSE(constantTimeEqual(Bytes{1}, Bytes{1, 0}));
    EXPECT_FALSE(constantTimeEqual(Bytes{1, 2, 3}, Bytes{1, 2, 4}));
    Bytes a = secureRandomBytes(32);
    EXPECT_TRUE(constantTimeEqual(a, Bytes(a)));
}

TEST(Crypto, DrawsRandomBytesOfTheAskedLength) {
    EXPECT_TRUE(secureRandomBytes(0).empty());
    EXPECT_EQ(secureRandomBytes(32).size(), 32u);
    EXPECT_NE(secureRandomBytes(32), secureRandomBytes(32));
}

TEST(Uuid, IsUpperCaseVersion4Text) {
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        std::string uuid = makeUuidString();
        EXPECT_TRUE(std::regex_match(uuid, form)) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 50u);
}

}  // namespace
}  // namespace orvanta::base
