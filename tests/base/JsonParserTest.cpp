#include <gtest/gtest.h>

#include <cstring>

#include "base/Json.h"
#include "support/JsonSameValue.h"

namespace orvanta::base {
namespace {

using orvanta::testing::sameValue;

// parseJson has a parser of its own for speed; it must accept exactly what nlohmann's accepts and
// build the same values.
TEST(JsonParse, AgreesWithTheReferenceParser) {
    const std::string_view texts[] = {
        "", " ", "0", "-0", "-0.0", "01", "1.", ".5", "+1", "1e", "1e+", "-", "-a", "0x10", "1_000", "nan", "Infinity",
        "1E5", "1.5e3", "1.0", "100", "-1", "1E-7", "1e-400", "-1e-400", "1e400", "-1e400", "1e-310", "4.9e-324",
        "2.4e-324", "1.7976931348623157e308", "1.7976931348623159e308", "18446744073709551615", "18446744073709551616",
        "-9223372036854775808", "-9223372036854775809", "123456789012345678901234567890",
        "-123456789012345678901234567890e-400", "0e99999999999", "0.000000000000000000001e-320",
        "true", "false", "null", "tru", "nulll", "True",
        "[]", "{}", "[1,]", "[,1]", "[1 2]", "[[[]]]", "[1]]", "{\"a\":1}}", "[true,false,null]",
        "{\"a\":1,\"a\":2}", "{\"a\":{\"b\":[1]},\"a\":3}", "{\"a\" : [ 1 , 2 ] }", "\t\n\r [1]\r\n", "\f1",
        "{\"a\":}", "{\"a\"1}", "{1:2}", "{\"a\":1,}", "/*c*/1", "{} {}",
        "\"\\u0000\"", "\"\\ud83d\\ude00\"", "\"\\ud83d\"", "\"\\ude00\"", "\"\\ud83dx\"", "\"\\ud83d\\u0041\"",
        "\"\\UD83D\\UDE00\"", "\"\\u00e9\\u00E9\"", "\"\\u12\"", "\"\\x\"", "\"\\'\"", "\"a\nb\"", "\"\x7f\"", "\"abc",
        "\"\\/\\b\\f\\n\\r\\t\\\"\\\\\"", "[\"\xC3\xA9\"]", "\"\xC0\x80\"", "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"",
        "\xEF\xBB\xBF{}", "\xEF\xBB{}", "{}\xEF\xBB\xBF", "[\xC3\xA9]", std::string_view("\"a\0b\"", 5),
    };
    for (std::string_view text : texts) {
        auto ours = parseJson(text);
        Json reference = Json::parse(text, nullptr, /*allow_exceptions=*/false);
        ASSERT_EQ(ours.has_value(), !reference.is_discarded()) << text;
        if (ours) {
            EXPECT_TRUE(sameValue(*ours, reference)) << text << ": " << ours->dump() << " vs " << reference.dump();
        } else {
            EXPECT_EQ(ours.error().kind, JsonError::Kind::dataCorrupted) << text;
        }
    }
}

// nlohmann's parser takes a NUL byte for the end of the input and ignores what follows it.
TEST(JsonParse, RefusesTrailingBytesAfterANul) {
    EXPECT_FALSE(parseJson(std::string_view("{}\0", 3)));
    EXPECT_FALSE(parseJson(std::string_view("{}\0garbage", 10)));
}

TEST(JsonParse, FollowsDeepNestingWithoutRecursion) {
    constexpr std::size_t kDepth = 100'000;  // a recursive parser would need megabytes of stack
    std::string text = std::string(kDepth, '[') + std::string(kDepth, ']');
    auto parsed = parseJson(text);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->is_array());
    EXPECT_FALSE(parseJson(std::string(kDepth, '[')));
}

}  // namespace
}  // namespace orvanta::base
