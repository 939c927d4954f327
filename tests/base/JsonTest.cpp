#include "base/Json.h"

#include <gtest/gtest.h>

namespace orvanta::base {
namespace {

using Kind = JsonError::Kind;

struct Size {
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool operator==(const Size&) const = default;

    static JsonResult<Size> readJson(JsonObjectReader& r) {
        Size s{r.required<std::int64_t>("width"), r.required<std::int64_t>("height")};
        return r.finish(s);
    }
    void writeJson(JsonObjectWriter& w) const {
        w.required("width", width);
        w.required("height", height);
    }
};

struct Sample {
    std::uint16_t gen = 0;
    std::string name;
    std::optional<double> scale;
    std::optional<Size> screen;  // lenient
    std::vector<Size> sizes;
    bool operator==(const Sample&) const = default;

    static JsonResult<Sample> readJson(JsonObjectReader& r) {
        Sample s{r.required<std::uint16_t>("gen"), r.required<std::string>("name"), r.optional<double>("scale"),
                 r.lenient<Size>("screen"), r.required<std::vector<Size>>("sizes")};
        return r.finish(std::move(s));
    }
    void writeJson(JsonObjectWriter& w) const {
        w.required("gen", gen);
        w.required("name", name);
        w.optional("scale", scale);
        w.optional("screen", screen);
        w.required("sizes", sizes);
    }
};

JsonResult<Sample> readSample(std::string_view text) {
    auto json = parseJsonObject(text);
    if (!json) return std::unexpected(json.error());
    return readJsonValue<Sample>(*json);
}

TEST(JsonReader, AppliesRequiredOptionalAndLenientRules) {
    struct Case {
        std::string_view text;
        std::optional<Kind> error;
        std::string path;
    };
    const Case cases[] = {
        {R"({"gen":1,"name":"a","sizes":[]})", std::nullopt, ""},
        {R"({"gen":1,"name":"a","sizes":[],"scale":null,"screen":null,"extra":[1]})", std::nullopt, ""},
        {R"({"gen":1,"name":"a","sizes":[],"screen":"text"})", std::nullopt, ""},
        {R"({"gen":1,"name":"a","sizes":[],"screen":{"width":1.5,"height":2}})", std::nullopt, ""},
        {R"({"name":"a","sizes":[]})", Kind::keyNotFound, "gen"},
        {R"({"gen":null,"name":"a","sizes":[]})", Kind::valueNotFound, "gen"},
        {R"({"gen":"1","name":"a","sizes":[]})", Kind::typeMismatch, "gen"},
        {R"({"gen":65536,"name":"a","sizes":[]})", Kind::dataCorrupted, "gen"},
        {R"({"gen":-1,"name":"a","sizes":[]})", Kind::dataCorrupted, "gen"},
        {R"({"gen":1.5,"name":"a","sizes":[]})", Kind::dataCorrupted, "gen"},
        {R"({"gen":1,"name":"a","sizes":[],"scale":"x"})", Kind::typeMismatch, "scale"},
        {R"({"gen":1,"name":"a","sizes":[{"width":1}]})", Kind::keyNotFound, "sizes[0].height"},
        {R"({"gen":1,"name":"a","sizes":[null]})", Kind::valueNotFound, "sizes[0]"},
        {R"({"gen":1,"name":"a","sizes":{}})", Kind::typeMismatch, "sizes"},
        {R"({"gen":"x"})", Kind::typeMismatch, "gen"},  // the first error in reading order wins
    };
    for (const auto& c : cases) {
        auto result = readSample(c.text);
        if (!c.error) {
            EXPECT_TRUE(result) << c.text << ": " << describe(result.error());
            continue;
        }
        ASSERT_FALSE(result) << c.text;
        EXPECT_EQ(result.error().kind, *c.error) << c.text;
        EXPECT_EQ(result.error().path, c.path) << c.text;
    }
}

TEST(JsonReader, ChecksIntegerWidthAndSignAtTheLimits) {
    auto read = [](std::string_view number, auto type) {
        return readJsonValue<decltype(type)>(*parseJson(number)).has_value();
    };
    EXPECT_TRUE(read("65535", std::uint16_t{}));
    EXPECT_FALSE(read("65536", std::uint16_t{}));
    EXPECT_TRUE(read("4294967295", std::uint32_t{}));
    EXPECT_FALSE(read("4294967296", std::uint32_t{}));
    EXPECT_TRUE(read("18446744073709551615", std::uint64_t{}));
    EXPECT_FALSE(read("18446744073709551616", std::uint64_t{}));
    EXPECT_FALSE(read("-1", std::uint64_t{}));
    EXPECT_TRUE(read("-9223372036854775808", std::int64_t{}));
    EXPECT_FALSE(read("9223372036854775808", std::int64_t{}));
    EXPECT_FALSE(read("9.3e18", std::int64_t{}));
    EXPECT_TRUE(read("2.0", std::uint16_t{}));
    EXPECT_TRUE(read("1e3", std::uint16_t{}));
    EXPECT_FALSE(read("1e5", std::uint16_t{}));
    EXPECT_FALSE(read("true", std::int64_t{}));
    EXPECT_EQ(readJsonValue<std::uint16_t>(*parseJson("2.0")), 2);
}

TEST(JsonReader, DecodesBytesStrictly) {
    EXPECT_EQ(readJsonValue<Bytes>(*parseJson(R"("AAE=")")), (Bytes{0, 1}));
    auto bad = readJsonValue<Bytes>(*parseJson(R"("AAE")"));
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind, Kind::dataCorrupted);
    EXPECT_FALSE(readJsonValue<Bytes>(*parseJson("1")));
}

TEST(JsonParse, RejectsTextThatIsNotOneJsonValue) {
    for (std::string_view text : {"", "{", "{} {}", "{\"a\":1,}", "\"\xC0\x80\"", "[1,2", "nul"}) {
        auto parsed = parseJson(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error().kind, Kind::dataCorrupted);
    }
    EXPECT_EQ(parseJsonObject("[1]").error().kind, Kind::typeMismatch);
}

TEST(JsonWriter, WritesCompactSortedTextWithEscapedSlashes) {
    Sample sample{7, "a/b\"c\\\n\x01\xE3\x81\x82", 0.5, Size{3, 4}, {Size{1, 2}}};
    auto text = writeJsonText(writeJsonValue(sample));
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, R"({"gen":7,"name":"a\/b\"c\\\n\u0001)"
                     "\xE3\x81\x82"
                     R"(","scale":0.5,"screen":{"height":4,"width":3},"sizes":[{"height":2,"width":1}]})");
    EXPECT_EQ(readSample(*text), sample);

    auto bare = writeJsonText(Json{{"d", "a/b"}}, {.escapeSlashes = false});
    EXPECT_EQ(bare, R"({"d":"a/b"})");
}

TEST(JsonWriter, LeavesOutEmptyOptionalsAndPrintsNumbersShortest) {
    Sample sample{1, "n", std::nullopt, std::nullopt, {}};
    EXPECT_EQ(writeJsonText(writeJsonValue(sample)), R"({"gen":1,"name":"n","sizes":[]})");
    EXPECT_EQ(writeJsonText(Json{1.0, 0.1, -2.5, 1e21, 18446744073709551615ull, -3}),
              "[1,0.1,-2.5,1e+21,18446744073709551615,-3]");
}

TEST(JsonWriter, RefusesNonFiniteNumbersAndInvalidText) {
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()}) {
        auto text = writeJsonText(Json{{"outer", {{"x", bad}}}});
        ASSERT_FALSE(text);
        EXPECT_EQ(text.error().path, "outer.x");
    }
    EXPECT_FALSE(writeJsonText(Json{{"t", std::string("\xFF")}}));
}

}  // namespace
}  // namespace orvanta::base
