#include <gtest/gtest.h>

#include "debug/DebugClient.h"
#include "debug/DebugEnvironment.h"
#include "debug/DebugFormat.h"

namespace orvanta::debug {
namespace {

TEST(DebugFormat, DecimalsAreShortestRoundTripWithOneDecimalAtLeast) {
    const std::pair<double, std::string_view> cases[] = {
        {2.0, "2.0"}, {1.5, "1.5"}, {0.1, "0.1"}, {1.999, "1.999"}, {-3.0, "-3.0"}, {0.3, "0.3"}, {1e21, "1e+21"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(decimalText(value), text) << value;
}

TEST(DebugFormat, LogPrefixIsSecondsWithThreeDecimalsInSevenCharacters) {
    const std::pair<double, std::string_view> cases[] = {
        {12.3456, "[ 12.346] "}, {0.0, "[  0.000] "},           {1.0005, "[  1.000] "},
        {1234.5, "[1234.500] "}, {123456.789, "[123456.789] "},
    };
    for (const auto& [seconds, text] : cases) EXPECT_EQ(logPrefix(seconds), text) << seconds;
}

TEST(DebugFormat, StoredValuesPrintAsOptionals) {
    EXPECT_EQ(optionalText(std::optional<bool>(true)), "Optional(true)");
    EXPECT_EQ(optionalText(std::optional<bool>(false)), "Optional(false)");
    EXPECT_EQ(optionalText(std::optional<bool>()), "nil");
    EXPECT_EQ(optionalText(std::optional<double>(1.5)), "Optional(1.5)");
    EXPECT_EQ(optionalText(std::optional<double>(2.0)), "Optional(2.0)");
    EXPECT_EQ(optionalText(std::optional<double>()), "nil");
}

TEST(DebugFormat, SizesTruncateTowardZeroAndCursorsHaveFourDecimals) {
    EXPECT_EQ(sizeText(1279.9, 719.5), "1279x719");
    EXPECT_EQ(sizeText(-0.5, 0), "0x0");
    EXPECT_EQ(cursorText(protocol::CursorPosition{.x = 0.5, .y = 0.123456}), "(0.5000, 0.1235)");
    EXPECT_EQ(cursorText(std::nullopt), "nil");
}

TEST(DebugEnvironment, AnyPrefixedVariableSwitchesTheAutomationOn) {
    EXPECT_FALSE(hasAutomationVariable({}));
    EXPECT_FALSE(hasAutomationVariable({{"TESSARIL_CLIENT_DEBUG", "1"}, {"HOME", "/h"}}));
    EXPECT_TRUE(hasAutomationVariable({{"TESSARIL_CLIENT_DEBUG_ANYTHING", ""}}));
    EXPECT_TRUE(hasAutomationVariable({{"A", "x"}, {"TESSARIL_CLIENT_DEBUG_LOG", "/tmp/l"}, {"Z", "y"}}));
}

TEST(DebugEnvironment, FlagsTakeExactlyOneAndNumbersThatDoNotParseAreZero) {
    const Environment env{{"F1", "1"},   {"F2", "yes"}, {"F3", "1 "}, {"F4", "true"}, {"N1", "2.5"},
                          {"N2", "abc"}, {"N3", "3s"},  {"N4", ""},   {"N5", "-1"}};
    EXPECT_TRUE(flag(env, "F1"));
    for (auto name : {"F2", "F3", "F4", "missing"}) EXPECT_FALSE(flag(env, name)) << name;
    EXPECT_EQ(seconds(env, "N1"), 2.5);
    for (auto name : {"N2", "N3", "N4", "missing"}) EXPECT_EQ(seconds(env, name), 0) << name;
    EXPECT_EQ(seconds(env, "N5"), -1);
}

TEST(DebugEnvironment, PairValueNeedsExactlyThreePieces) {
    using Kind = client::HostListStore::Kind;
    const std::pair<std::string_view, std::optional<PairRequest>> cases[] = {
        {"http://h:8766|/tmp/code|mac", PairRequest{"http://h:8766", "/tmp/code", Kind::mac}},
        {"http://h|/c|windows", PairRequest{"http://h", "/c", Kind::windows}},
        {"http://h|/c|ios", PairRequest{"http://h", "/c", Kind::ios}},
        {"http://h|/c|linux", PairRequest{"http://h", "/c", Kind::mac}},
        {"|http://h||/c|mac|", PairRequest{"http://h", "/c", Kind::mac}},
        {"http://h||/c", std::nullopt},
        {"http://h|/c", std::nullopt},
        {"a|b|c|d", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parsePair(text), expected) << text;
}

TEST(DebugEnvironment, SnapshotIsTakenOnceAndLaterChangesAreNotSeen) {
    ::setenv("TESSARIL_CLIENT_DEBUG_SNAPSHOT_PROBE", "a", 1);
    const Environment env = environmentSnapshot();
    ::setenv("TESSARIL_CLIENT_DEBUG_SNAPSHOT_PROBE", "b", 1);
    EXPECT_EQ(value(env, "TESSARIL_CLIENT_DEBUG_SNAPSHOT_PROBE"), "a");
    ::unsetenv("TESSARIL_CLIENT_DEBUG_SNAPSHOT_PROBE");
}

TEST(NormalizedOnBar, PointIsOnTheTopStripAsAFractionOfTheMainDisplay) {
    BarGeometry bar{ScreenRect{100, 50, 1000, 700}, 82, ScreenRect{0, 0, 2000, 1000}};
    EXPECT_EQ(normalizedOnBar(bar, 0.45), (NormalizedPoint{(100 + 450) / 2000.0, (82 + 18) / 1000.0}));
    // The main display need not be at the origin of the screens.
    bar.mainDisplay = ScreenRect{-1000, 200, 1000, 500};
    EXPECT_EQ(normalizedOnBar(bar, 0.5), (NormalizedPoint{(600 + 1000) / 1000.0, (100 - 200) / 500.0}));
    bar.mainDisplay.reset();
    EXPECT_EQ(normalizedOnBar(bar, 0.45), std::nullopt);
}

TEST(ObservedEventText, EachMonitoredTypeHasItsLine) {
    using Type = ObservedEvent::Type;
    const std::pair<ObservedEvent, std::string_view> cases[] = {
        {{.type = Type::leftDown, .clickCount = 2, .x = 540.9, .y = 17.2}, "leftDown(click=2) @540,17"},
        {{.type = Type::leftUp, .clickCount = 1}, "leftUp(click=1)"},
        {{.type = Type::rightDown}, "rightDown"},
        {{.type = Type::dragged}, "dragged"},
        {{.type = Type::keyDown, .keyCode = 53}, "keyDown(code=53)"},
        {{.type = Type::scroll, .scrollDy = -40.7}, "scroll(dy=-40)"},
    };
    for (const auto& [event, text] : cases) EXPECT_EQ(describe(event), text);
}

}  // namespace
}  // namespace orvanta::debug
