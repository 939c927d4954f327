#include "base/Utf8.h"

#include <gtest/gtest.h>

namespace orvanta::base {
namespace {

TEST(Utf8, ValidatesRfc3629Boundaries) {
    const std::pair<std::string_view, bool> cases[] = {
        {"", true},
        {"plain ascii text that is longer than eight bytes", true},
        {"\x7F", true},
        {"\xC2\x80", true},              // U+0080
        {"\xDF\xBF", true},              // U+07FF
        {"\xE0\xA0\x80", true},          // U+0800
        {"\xED\x9F\xBF", true},          // U+D7FF
        {"\xEE\x80\x80", true},          // U+E000
        {"\xEF\xBF\xBF", true},          // U+FFFF
        {"\xF0\x90\x80\x80", true},      // U+10000
        {"\xF4\x8F\xBF\xBF", true},      // U+10FFFF
        {"\xC0\x80", false},             // overlong NUL
        {"\xC1\xBF", false},             // overlong
        {"\xE0\x9F\xBF", false},         // overlong three-byte form
        {"\xF0\x8F\xBF\xBF", false},     // overlong four-byte form
        {"\xED\xA0\x80", false},         // U+D800, a surrogate
        {"\xED\xBF\xBF", false},         // U+DFFF
        {"\xF4\x90\x80\x80", false},     // above U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"\xFF", false},
        {"\x80", false},                 // lone continuation byte
        {"\xE2\x82", false},             // truncated
        {"abcdefgh\xE2\x82", false},     // truncated after an ASCII run
        {"\xE2\x28\xA1", false},         // continuation expected
    };
    for (auto [text, valid] : cases) EXPECT_EQ(isValidUtf8(text), valid) << ::testing::PrintToString(text);
}

TEST(Utf8Validator, AcceptsSequencesSplitAcrossPiecesAndRejectsEarly) {
    const std::string euro = "\xE2\x82\xAC";
    Utf8Validator v;
    EXPECT_TRUE(v.feed(asBytes(euro.substr(0, 1))));
    EXPECT_FALSE(v.finish());
    EXPECT_TRUE(v.feed(asBytes(euro.substr(1))));
    EXPECT_TRUE(v.finish());

    v.reset();
    EXPECT_FALSE(v.feed(asBytes("\xED\xA0")));  // a surrogate is known bad before its last byte
    EXPECT_FALSE(v.feed(asBytes("a")));          // and stays bad
}

TEST(Utf8, DecodesAndEncodesScalars) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(decodeUtf8(text), std::u32string(U"a\u00E9\u20AC\U0001F600"));
    EXPECT_EQ(encodeUtf8(U"a\u00E9\u20AC\U0001F600"), text);
    EXPECT_FALSE(decodeUtf8("\xC0\x80"));
    EXPECT_EQ(decodeUtf8Lossy("a\xFF\xE2\x82" "b"), std::u32string(U"a\uFFFD\uFFFD\uFFFDb"));
}

}  // namespace
}  // namespace orvanta::base
