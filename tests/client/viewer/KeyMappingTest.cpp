#include "client/viewer/KeyMapping.h"

#include <gtest/gtest.h>

namespace orvanta::client {
namespace {

using KeyMapping::NamedKey;
using KeyMapping::Output;
using KeyMapping::Text;
using Phase = protocol::KeyInput::Phase;

TEST(KeyMappingTables, HoldTheNamedAndPhysicalKeys) {
    EXPECT_EQ(KeyMapping::namedKeys().size(), 29u);
    EXPECT_EQ(KeyMapping::physicalKeys().size(), 65u);
    EXPECT_EQ(KeyMapping::namedKeys().at(76), "return");
    EXPECT_EQ(KeyMapping::physicalKeys().at(83), KeyMapping::physicalKeys().at(18));  // keypad 1, main row 1
}

// A key pressed here arrives on the host as the same key: the X server's codes of a US, ISO and
// JIS keyboard, side by side with the codes the host injects.
TEST(VirtualKeyCode, FollowsTheKeyPosition) {
    const struct {
        std::uint32_t x11;
        std::optional<std::uint16_t> code;
        const char* key;
    } cases[] = {
        {38, 0, "a"},
        {10, 18, "1"},
        {14, 23, "5"},
        {36, 36, "Return"},
        {104, 76, "keypad Enter"},
        {87, 83, "keypad 1"},
        {37, 59, "left Control"},
        {105, 62, "right Control"},
        {50, 56, "left Shift"},
        {62, 60, "right Shift"},
        {64, 58, "left Alt"},
        {108, 61, "AltGr"},
        {133, 55, "left Super"},
        {134, 54, "right Super"},
        {132, 93, "JIS yen"},
        {97, 94, "JIS underscore"},
        {131, 102, "Eisu"},
        {130, 104, "Kana"},
        {101, 104, "Hiragana/Katakana"},
        {67, 122, "F1"},
        {96, 111, "F12"},
        {66, std::nullopt, "Caps Lock"},
        {0, std::nullopt, "nothing"},
        {300, std::nullopt, "beyond the keyboard"},
    };
    for (const auto& c : cases) EXPECT_EQ(virtualKeyCode(c.x11), c.code) << c.key;
}

TEST(KeyMapping, DecidesBetweenTextAndNamedKeys) {
    const struct {
        std::uint16_t keyCode;
        ModifierFlags flags;
        std::optional<std::string> characters;
        std::optional<Output> expected;
        const char* what;
    } cases[] = {
        {0, kShiftFlag, "A", Text{"A"}, "Shift+A types text"},
        {0, kCommandFlag | kShiftFlag, "A", NamedKey{"a", true, false, false, true}, "Command+Shift+A is a shortcut"},
        {8, kControlFlag, "\x03", NamedKey{"c", false, true, false, false}, "Control+C whatever the layout gives"},
        {14, kOptionFlag, std::nullopt, std::nullopt, "a dead key gives nothing yet"},
        {14, 0, "\xC3\xA9", Text{"\xC3\xA9"}, "the dead key's second press"},
        {123, 0, "\xEF\x9C\x82", NamedKey{"left"}, "arrows by name despite function-key characters"},
        {36, kControlFlag, "\r", NamedKey{"return", false, true, false, false}, "Control+Return"},
        {96, kControlFlag, std::nullopt, NamedKey{"f5", false, true, false, false}, "Control+F5"},
        {83, kCommandFlag, "1", NamedKey{"1", true}, "keypad 1 under Command"},
        {18, kCommandFlag, "1", NamedKey{"1", true}, "main row 1 under Command"},
        {102, 0, std::nullopt, NamedKey{"eisu"}, "Eisu"},
        {kNoKeyCode, 0, "\xC3\xBC", Text{"\xC3\xBC"}, "a key without a code still types"},
        {kNoKeyCode, kControlFlag, "x", std::nullopt, "but is no shortcut"},
        {0, 0, "", std::nullopt, "no characters"},
        {0, 0, "a\x7F", std::nullopt, "a control character"},
        {10, kCommandFlag, "\xC2\xA7", std::nullopt, "an ISO key without a name under Command"},
    };
    for (const auto& c : cases) EXPECT_EQ(KeyMapping::map(c.keyCode, c.flags, c.characters), c.expected) << c.what;
}

SurfaceKey press(std::uint32_t code, std::string text = {}, bool repeat = false) {
    return {SurfaceKey::Phase::press, code, std::move(text), repeat};
}
SurfaceKey release(std::uint32_t code, bool repeat = false) { return {SurfaceKey::Phase::release, code, {}, repeat}; }

// X11 reports Shift's state from before the event; the flags here are those after it, with sides.
TEST(KeyboardState, TracksModifierSidesAndDropsRepeatReleases) {
    using Type = KeyEvent::Type;
    KeyboardState keyboard;
    const struct {
        SurfaceKey key;
        std::optional<KeyEvent> event;
    } steps[] = {
        {press(50), KeyEvent{Type::flagsChanged, 56, kShiftFlag | kLeftShiftBit}},
        {press(62), KeyEvent{Type::flagsChanged, 60, kShiftFlag | kLeftShiftBit | kRightShiftBit}},
        {press(38, "A"), KeyEvent{Type::keyDown, 0, kShiftFlag | kLeftShiftBit | kRightShiftBit, "A"}},
        {release(38, true), std::nullopt},
        {press(38, "A", true), KeyEvent{Type::keyDown, 0, kShiftFlag | kLeftShiftBit | kRightShiftBit, "A", true}},
        {release(38), KeyEvent{Type::keyUp, 0, kShiftFlag | kLeftShiftBit | kRightShiftBit}},
        {release(50), KeyEvent{Type::flagsChanged, 56, kShiftFlag | kRightShiftBit}},
        {release(50), std::nullopt},
        {release(62), KeyEvent{Type::flagsChanged, 60, 0}},
        {press(105), KeyEvent{Type::flagsChanged, 62, kControlFlag | kRightControlBit}},
        {press(108), KeyEvent{Type::flagsChanged, 61, kControlFlag | kRightControlBit | kOptionFlag | kRightOptionBit}},
        {press(133),
         KeyEvent{Type::flagsChanged, 55,
                  kControlFlag | kRightControlBit | kOptionFlag | kRightOptionBit | kCommandFlag | kLeftCommandBit}},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) EXPECT_EQ(keyboard.translate(steps[i].key), steps[i].event) << i;
    keyboard.reset();
    EXPECT_EQ(keyboard.flags(), 0u);
}

struct GameStep {
    enum class Kind { down, repeat, up, flags } kind;
    std::uint16_t keyCode;
    ModifierFlags flags = 0;
    std::optional<GameKeys::Change> sent{};
};

void play(const std::vector<GameStep>& steps, const char* what) {
    GameKeys keys;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto& step = steps[i];
        std::optional<GameKeys::Change> sent{};
        switch (step.kind) {
            case GameStep::Kind::down:
            case GameStep::Kind::repeat:
                if (auto name = keys.down(step.keyCode, step.kind == GameStep::Kind::repeat))
                    sent = {*name, Phase::down};
                break;
            case GameStep::Kind::up:
                if (auto name = keys.up(step.keyCode)) sent = {*name, Phase::up};
                break;
            case GameStep::Kind::flags:
                sent = keys.flagsChanged(step.keyCode, step.flags);
                break;
        }
        EXPECT_EQ(sent, step.sent) << what << ", step " << i;
    }
    EXPECT_TRUE(keys.pressed().empty()) << what;
    EXPECT_TRUE(keys.order().empty()) << what;
}

TEST(GameKeys, SendsEachHeldNameDownAndUpOnce) {
    using K = GameStep::Kind;
    const auto down = [](std::string name) { return GameKeys::Change{std::move(name), Phase::down}; };
    const auto up = [](std::string name) { return GameKeys::Change{std::move(name), Phase::up}; };
    play({{K::down, 13, 0, down("w")}, {K::repeat, 13}, {K::repeat, 13}, {K::up, 13, 0, up("w")}, {K::up, 13}},
         "a repeat gives nothing");
    play({{K::down, 36, 0, down("return")}, {K::down, 76}, {K::up, 36}, {K::up, 76, 0, up("return")}},
         "both Return keys share one name");
    play({{K::flags, 56, kShiftFlag | kLeftShiftBit, down("shift")},
          {K::flags, 60, kShiftFlag | kLeftShiftBit | kRightShiftBit},
          {K::flags, 60, kShiftFlag | kLeftShiftBit},
          {K::flags, 56, 0, up("shift")}},
         "left and right shift");
    play({{K::flags, 59, kControlFlag, down("control")}, {K::flags, 59, kControlFlag, up("control")}},
         "a modifier without side bits toggles");
    play({{K::down, 93, 0, down("physical-jis-yen")},
          {K::down, 94, 0, down("physical-jis-underscore")},
          {K::up, 93, 0, up("physical-jis-yen")},
          {K::up, 94, 0, up("physical-jis-underscore")}},
         "JIS yen and underscore keep their own names");
    play({{K::down, 42, 0, down("\\")},
          {K::down, 93, 0, down("physical-jis-yen")},
          {K::up, 42, 0, up("\\")},
          {K::up, 93, 0, up("physical-jis-yen")}},
         "backslash and yen stay apart");
    play({{K::down, 10}, {K::flags, 57, kShiftFlag}}, "keys without a name give nothing");
}

TEST(GameKeys, HandsOverHeldNamesInOrder) {
    GameKeys keys;
    keys.down(13, false);
    keys.flagsChanged(56, kShiftFlag | kLeftShiftBit);
    keys.down(1, false);
    EXPECT_EQ(keys.takeHeldNames(), (std::vector<std::string>{"w", "shift", "s"}));
    EXPECT_TRUE(keys.pressed().empty());
    EXPECT_EQ(keys.down(13, false), "w");
}

}  // namespace
}  // namespace orvanta::client
