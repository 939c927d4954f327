// The key and text half of the injector against a recording sink.
#include <gtest/gtest.h>

#include "host/desktop/InputInjector.h"
#include "support/FakeInputSink.h"
#include "support/ManualExecutor.h"

namespace orvanta::testing {
namespace {

using host::InputInjector;
using platform::EventFlags;
using platform::KeyEvent;
using protocol::KeyInput;
using Result = InputInjector::Result;

struct Posted {
    std::uint16_t code;
    bool down;
    EventFlags flags;
    std::u16string text;
    bool operator==(const Posted&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Posted& p) {
    return out << p.code << (p.down ? " down" : " up") << " flags=" << std::hex << p.flags << std::dec
               << " text units=" << p.text.size();
}

class KeysTest : public ::testing::Test {
protected:
    KeysTest() : injector(executor, executor.clock(), sink, [this](std::string line) { lines.push_back(line); }) {}

    static KeyInput key(std::string name, EventFlags flags = 0, std::optional<KeyInput::Phase> phase = {}) {
        KeyInput k;
        k.name = std::move(name);
        k.command = flags & platform::kFlagCommand;
        k.control = flags & platform::kFlagControl;
        k.option = flags & platform::kFlagOption;
        k.shift = flags & platform::kFlagShift;
        k.phase = phase;
        return k;
    }
    Result press(const std::string& name, const std::string& source = "dev") {
        return injector.handle(key(name, 0, KeyInput::Phase::down), source);
    }
    Result lift(const std::string& name, const std::string& source = "dev") {
        return injector.handle(key(name, 0, KeyInput::Phase::up), source);
    }
    Result type(std::string text) { return injector.handle(protocol::TextInput{0, std::move(text)}, "dev"); }
    std::vector<Posted> posted() {
        std::vector<Posted> out;
        for (const auto& k : sink.eventsOf<KeyEvent>()) out.push_back({k.keyCode, k.down, k.flags, k.text});
        return out;
    }

    ManualExecutor executor;
    FakeInputSink sink;
    std::vector<std::string> lines;
    InputInjector injector;
};

constexpr EventFlags kCmd = platform::kFlagCommand;
constexpr EventFlags kShift = platform::kFlagShift;

TEST_F(KeysTest, StrokesFollowTheLookupOrder) {
    struct Case {
        std::string name;
        EventFlags flags;
        std::optional<Posted> down;  // nothing: rejected, nothing posted
    };
    const std::vector<Case> cases = {
        {"A", 0, Posted{0, true, 0, u"A"}},  // typed as text
        {"é", 0, Posted{0, true, 0, u"é"}},
        {"A", kCmd, Posted{0, true, kCmd, {}}},  // lower-cased to its command key
        {"/", kCmd | kShift, Posted{44, true, kCmd | kShift, {}}},
        {"return", 0, Posted{36, true, 0, {}}},
        {"f5", kShift, Posted{96, true, kShift, {}}},
        {"kana", 0, Posted{104, true, 0, {}}},
        {"physical-jis-yen", 0, Posted{93, true, 0, {}}},
        {"physical-q", kCmd, Posted{12, true, kCmd, {}}},
        {"physical-A", 0, std::nullopt},  // no case change on physical names
        {"physical-", 0, std::nullopt},
        {"home", 0, std::nullopt},  // only held through phases
        {"é", kCmd, std::nullopt},
        {"ab", 0, std::nullopt},
        {"", 0, std::nullopt},
        {"\x1b", 0, std::nullopt},
        {"\xff", 0, std::nullopt},
    };
    for (const auto& c : cases) {
        sink.events.clear();
        const Result result = injector.handle(key(c.name, c.flags), "dev");
        if (!c.down) {
            EXPECT_EQ(result, Result::rejected) << c.name;
            EXPECT_TRUE(sink.events.empty()) << c.name;
            continue;
        }
        EXPECT_EQ(result, Result::ok) << c.name;
        Posted up = *c.down;
        up.down = false;
        up.flags = 0;
        EXPECT_EQ(posted(), (std::vector{*c.down, up})) << c.name;
    }
}

TEST_F(KeysTest, StrokeLinesNameCodeRouteAndModifiersButNeverText) {
    injector.handle(key("physical-jis-yen", kCmd), "dev");
    injector.handle(key("x"), "dev");
    EXPECT_EQ(lines, (std::vector<std::string>{"key code=93 phase=down route=physical mods=cmd:1,ctrl:0,opt:0,shift:0",
                                               "key code=93 phase=up route=physical mods=cmd:0,ctrl:0,opt:0,shift:0",
                                               "text phase=down utf16=1", "text phase=up utf16=1"}));
}

TEST_F(KeysTest, SourcesShareAHeldKeyUntilTheLastLetsGo) {
    EXPECT_EQ(press("shift", "a"), Result::ok);
    EXPECT_EQ(press("shift", "b"), Result::ok);
    EXPECT_EQ(lift("shift", "a"), Result::ok);
    EXPECT_EQ(lift("shift", "c"), Result::ok);  // not an owner
    EXPECT_EQ(posted(), (std::vector<Posted>{{56, true, kShift, {}}}));
    EXPECT_EQ(lift("shift", "b"), Result::ok);
    EXPECT_EQ(posted().back(), (Posted{56, false, 0, {}}));
    EXPECT_EQ(lines.back(), "key code=56 phase=up route=held");
    EXPECT_EQ(lift("shift", "b"), Result::ok);  // not held any more
    EXPECT_EQ(posted().size(), 2u);
    EXPECT_EQ(press("nonsense"), Result::rejected);
}

TEST_F(KeysTest, HeldModifiersReachOtherEventsAndGoUpLast) {
    ASSERT_EQ(press("home"), Result::ok);
    ASSERT_EQ(press("shift"), Result::ok);
    ASSERT_EQ(press("a"), Result::ok);
    ASSERT_EQ(press("physical-jis-underscore", "other"), Result::ok);
    EXPECT_EQ(injector.heldFlags(), kShift);
    EXPECT_EQ(injector.handle(protocol::PointerInput{0, "click", 0.5, 0.5}, "dev"), Result::ok);
    for (const auto& mouse : sink.eventsOf<platform::MouseEvent>()) EXPECT_EQ(mouse.flags, kShift);

    sink.events.clear();
    EXPECT_EQ(type("x"), Result::ok);  // code 0 is held: the text borrows the next free key
    EXPECT_EQ(posted(), (std::vector<Posted>{{1, true, 0, u"x"}, {1, false, kShift, u"x"}}));

    sink.events.clear();
    EXPECT_EQ(injector.releaseKeys("dev"), (std::set<std::uint16_t>{0, 56, 115}));
    EXPECT_EQ(posted(), (std::vector<Posted>{{0, false, kShift, {}}, {115, false, kShift, {}}, {56, false, 0, {}}}));
    EXPECT_EQ(injector.releaseKeys(std::nullopt), (std::set<std::uint16_t>{94}));
}

TEST_F(KeysTest, AStrokeOfAHeldKeyLeavesItDown) {
    ASSERT_EQ(press("a"), Result::ok);
    sink.events.clear();
    EXPECT_EQ(injector.handle(key("a", kCmd), "dev"), Result::ok);
    EXPECT_EQ(posted(), (std::vector<Posted>{{0, true, kCmd, {}}, {0, false, 0, {}}, {0, true, 0, {}}}));
}

TEST_F(KeysTest, StaleModifiersAreLiftedWhileTheSourceStillReportsThem) {
    ASSERT_EQ(injector.handle(key("c", kCmd | kShift), "dev"), Result::ok);
    sink.down = {55};  // the system still reports command down, shift already up
    sink.events.clear();
    ASSERT_EQ(injector.handle(key("v"), "dev"), Result::ok);
    const auto keys = posted();
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0], (Posted{55, false, 0, {}}));
    sink.events.clear();
    ASSERT_EQ(injector.handle(key("v"), "dev"), Result::ok);  // nothing left to check
    EXPECT_EQ(posted().size(), 2u);

    ASSERT_EQ(injector.handle(key("c", kCmd), "dev"), Result::ok);
    sink.down = {55};
    sink.eventSource = false;
    EXPECT_EQ(injector.handle(key("v"), "dev"), Result::rejected);
}

TEST_F(KeysTest, TrustAndSourceAreChecked) {
    sink.isTrusted = false;
    EXPECT_EQ(injector.handle(key("a"), "dev"), Result::needsAccessibility);
    EXPECT_EQ(press("shift"), Result::needsAccessibility);
    EXPECT_EQ(type("hi"), Result::needsAccessibility);
    sink.isTrusted = true;
    sink.eventSource = false;
    EXPECT_EQ(injector.handle(key("return"), "dev"), Result::rejected);
    EXPECT_EQ(lines.back(), "key pair rejected code=36");
    EXPECT_EQ(press("shift"), Result::rejected);
    EXPECT_TRUE(sink.events.empty());
    sink.eventSource = true;
    sink.failPosts = 1;
    EXPECT_EQ(press("shift"), Result::rejected);  // a post the desktop refused holds nothing
    EXPECT_EQ(injector.heldFlags(), 0u);
}

TEST_F(KeysTest, TextGoesOutInChunksWithRealLineBreaksAndTabs) {
    struct Case {
        std::string text;
        std::vector<std::u16string> pieces;  // "\r" and "\t" stand for Return and Tab strokes
    };
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // 8 units
    const std::vector<Case> cases = {
        {std::string(40, 'k'), {std::u16string(16, u'k'), std::u16string(16, u'k'), std::u16string(8, u'k')}},
        {"a\r\nb", {u"a", u"\r", u"b"}},
        {"\n\r\tz", {u"\r", u"\r", u"\t", u"z"}},
        {std::string(10, 'k') + family, {std::u16string(10, u'k'), u"\U0001F468\u200D\U0001F469\u200D\U0001F467"}},
        {"日本語のテキスト", {u"日本語のテキスト"}},
    };
    for (const auto& c : cases) {
        sink.events.clear();
        ASSERT_EQ(type(c.text), Result::ok);
        std::vector<std::u16string> pieces;
        const auto keys = posted();
        for (std::size_t i = 0; i + 1 < keys.size(); i += 2) {
            EXPECT_EQ(keys[i].flags, 0u);
            EXPECT_EQ(keys[i].text, keys[i + 1].text);
            pieces.push_back(!keys[i].text.empty() ? keys[i].text : keys[i].code == 48 ? u"\t" : u"\r");
        }
        EXPECT_EQ(pieces, c.pieces);
    }
}

TEST_F(KeysTest, TextIsRefusedWhenEmptyTooLongOrControlLaden) {
    for (const std::string& text : {std::string(), std::string(513, 'a'), std::string("a\0b", 3), std::string("\x1b[A"),
                                    std::string("\x7f"), std::string("\xc3\x28")}) {
        EXPECT_EQ(type(text), Result::rejected) << text.size();
    }
    EXPECT_TRUE(sink.events.empty());
    EXPECT_EQ(type(std::string(512, 'a')), Result::ok);
    EXPECT_EQ(type(std::string(256, 'a') + std::string("\xF0\x9F\x98\x80")), Result::ok);  // 258 units
    for (const auto& line : lines) EXPECT_EQ(line.find("aaa"), std::string::npos) << line;
}

TEST_F(KeysTest, AFailedPostEndsTheText) {
    sink.failPosts = 1;
    EXPECT_EQ(type(std::string(40, 'a')), Result::rejected);
    EXPECT_TRUE(sink.events.empty());
}

}  // namespace
}  // namespace orvanta::testing
