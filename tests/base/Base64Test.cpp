#include "base/Base64.h"

#include <gtest/gtest.h>

namespace orvanta::base {
namespace {

TEST(Base64, EncodesRfc4648Vectors) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (auto [plain, encoded] : cases) {
        EXPECT_EQ(base64Encode(asBytes(plain)), encoded);
        EXPECT_EQ(base64Decode(encoded), toBytes(plain)) << encoded;
    }
}

TEST(Base64, UsesBothAlphabetsForTheHighValues) {
    const Bytes bytes = {0xFB, 0xFF, 0xBF};
    EXPECT_EQ(base64Encode(bytes), "+/+/");
    EXPECT_EQ(base64UrlEncode(bytes), "-_-_");
    EXPECT_EQ(base64Decode("+/+/"), bytes);
    EXPECT_EQ(base64UrlDecode("-_-_"), bytes);
    EXPECT_FALSE(base64Decode("-_-_"));
    EXPECT_FALSE(base64UrlDecode("+/+/"));
}

TEST(Base64, RejectsEverythingButCanonicalText) {
    for (std::string_view text : std::initializer_list<std::string_view>{"Zg", "Zg=", "Zg===", "Z===", "====", "Zm9v\n", " Zm9v", "Zm 9v", "Zm9v====",
                                  "Zh==", "Zm9=", "Zg==Zg==", "=Zg=", std::string_view("Zm9v\0", 5)}) {
        EXPECT_FALSE(base64Decode(text)) << '"' << text << '"';
    }
}

TEST(Base64Url, AcceptsUnpaddedAndPaddedForms) {
    const Bytes one = {0x66};
    EXPECT_EQ(base64UrlEncode(one), "Zg");
    EXPECT_EQ(base64UrlEncode(one, true), "Zg==");
    EXPECT_EQ(base64UrlDecode("Zg"), one);
    EXPECT_EQ(base64UrlDecode("Zg=="), one);
    EXPECT_FALSE(base64UrlDecode("Zg="));
    EXPECT_FALSE(base64UrlDecode("Z"));
    EXPECT_FALSE(base64UrlDecode("Zh"));
}

TEST(Base64, RoundTripsEveryLengthUpToThreeBlocks) {
    Bytes bytes;
    for (int n = 0; n < 12; ++n) {
        EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
        EXPECT_EQ(base64UrlDecode(base64UrlEncode(bytes)), bytes);
        bytes.push_back(static_cast<std::uint8_t>(0xF0 + n));
    }
}

}  // namespace
}  // namespace orvanta::base
