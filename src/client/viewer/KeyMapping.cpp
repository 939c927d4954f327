#include "client/viewer/KeyMapping.h"

#include <algorithm>
#include <array>
#include <utility>

#include "base/Utf8.h"

namespace orvanta::client {
namespace {

// X server key code (evdev + 8) to virtual key code, by key position.
constexpr std::array<std::pair<std::uint32_t, std::uint16_t>, 103> kX11KeyCodes{{
    {9, 53},     // Escape
    {10, 18},    // 1
    {11, 19},    // 2
    {12, 20},    // 3
    {13, 21},    // 4
    {14, 23},    // 5
    {15, 22},    // 6
    {16, 26},    // 7
    {17, 28},    // 8
    {18, 25},    // 9
    {19, 29},    // 0
    {20, 27},    // minus
    {21, 24},    // equal
    {22, 51},    // BackSpace
    {23, 48},    // Tab
    {24, 12},    // q
    {25, 13},    // w
    {26, 14},    // e
    {27, 15},    // r
    {28, 17},    // t
    {29, 16},    // y
    {30, 32},    // u
    {31, 34},    // i
    {32, 31},    // o
    {33, 35},    // p
    {34, 33},    // bracketleft
    {35, 30},    // bracketright
    {36, 36},    // Return
    {37, 59},    // Control_L
    {38, 0},     // a
    {39, 1},     // s
    {40, 2},     // d
    {41, 3},     // f
    {42, 5},     // g
    {43, 4},     // h
    {44, 38},    // j
    {45, 40},    // k
    {46, 37},    // l
    {47, 41},    // semicolon
    {48, 39},    // apostrophe
    {49, 50},    // grave
    {50, 56},    // Shift_L
    {51, 42},    // backslash
    {52, 6},     // z
    {53, 7},     // x
    {54, 8},     // c
    {55, 9},     // v
    {56, 11},    // b
    {57, 45},    // n
    {58, 46},    // m
    {59, 43},    // comma
    {60, 47},    // period
    {61, 44},    // slash
    {62, 60},    // Shift_R
    {63, 67},    // KP_Multiply
    {64, 58},    // Alt_L
    {65, 49},    // space
    {67, 122},   // F1
    {68, 120},   // F2
    {69, 99},    // F3
    {70, 118},   // F4
    {71, 96},    // F5
    {72, 97},    // F6
    {73, 98},    // F7
    {74, 100},   // F8
    {75, 101},   // F9
    {76, 109},   // F10
    {79, 89},    // KP_7
    {80, 91},    // KP_8
    {81, 92},    // KP_9
    {82, 78},    // KP_Subtract
    {83, 86},    // KP_4
    {84, 87},    // KP_5
    {85, 88},    // KP_6
    {86, 69},    // KP_Add
    {87, 83},    // KP_1
    {88, 84},    // KP_2
    {89, 85},    // KP_3
    {90, 82},    // KP_0
    {91, 65},    // KP_Decimal
    {95, 103},   // F11
    {96, 111},   // F12
    {97, 94},    // JIS underscore (ro)
    {101, 104},  // Hiragana_Katakana
    {104, 76},   // KP_Enter
    {105, 62},   // Control_R
    {106, 75},   // KP_Divide
    {108, 61},   // AltGr
    {110, 115},  // Home
    {111, 126},  // Up
    {112, 116},  // Prior
    {113, 123},  // Left
    {114, 124},  // Right
    {115, 119},  // End
    {116, 125},  // Down
    {117, 121},  // Next
    {119, 117},  // Delete
    {125, 81},   // KP_Equal
    {130, 104},  // Kana (LANG1)
    {131, 102},  // Eisu (LANG2)
    {132, 93},   // JIS yen
    {133, 55},   // Super_L
    {134, 54},   // Super_R
}};

struct ModifierKey {
    std::string_view name;
    ModifierFlags flag;
    std::uint16_t left;
    std::uint16_t right;
    ModifierFlags leftBit;
    ModifierFlags rightBit;
};

// In the order game-keyboard mode checks them.
constexpr std::array<ModifierKey, 4> kModifierKeys{{
    {"shift", kShiftFlag, 56, 60, kLeftShiftBit, kRightShiftBit},
    {"control", kControlFlag, 59, 62, kLeftControlBit, kRightControlBit},
    {"option", kOptionFlag, 58, 61, kLeftOptionBit, kRightOptionBit},
    {"command", kCommandFlag, 55, 54, kLeftCommandBit, kRightCommandBit},
}};

const ModifierKey* modifierKey(std::uint16_t keyCode) {
    const auto found = std::ranges::find_if(
        kModifierKeys, [keyCode](const auto& key) { return key.left == keyCode || key.right == keyCode; });
    return found == kModifierKeys.end() ? nullptr : &*found;
}

constexpr std::uint16_t kJisYen = 93;
constexpr std::uint16_t kJisUnderscore = 94;

// Control characters and the function-key range that some platforms report as characters.
bool typeable(const std::optional<std::string>& characters) {
    if (!characters || characters->empty()) return false;
    const auto scalars = base::decodeUtf8(*characters);
    if (!scalars) return false;
    return std::ranges::none_of(*scalars,
                                [](char32_t c) { return c <= 0x1F || c == 0x7F || (c >= 0xF700 && c <= 0xF8FF); });
}

std::optional<std::string> lookup(const std::map<std::uint16_t, std::string>& table, std::uint16_t keyCode) {
    const auto found = table.find(keyCode);
    return found == table.end() ? std::nullopt : std::optional(found->second);
}

}  // namespace

std::optional<std::uint16_t> virtualKeyCode(std::uint32_t x11KeyCode) {
    const auto found = std::ranges::find(kX11KeyCodes, x11KeyCode, &std::pair<std::uint32_t, std::uint16_t>::first);
    return found == kX11KeyCodes.end() ? std::nullopt : std::optional(found->second);
}

ModifierFlags KeyboardState::flags() const {
    ModifierFlags flags = sides_;
    for (const auto& key : kModifierKeys) {
        if ((sides_ & (key.leftBit | key.rightBit)) != 0) flags |= key.flag;
    }
    return flags;
}

std::optional<KeyEvent> KeyboardState::translate(const SurfaceKey& key) {
    const bool press = key.phase == SurfaceKey::Phase::press;
    if (!press && key.isAutoRepeat) return std::nullopt;
    const std::uint16_t code = virtualKeyCode(key.x11KeyCode).value_or(kNoKeyCode);
    if (const auto* modifier = modifierKey(code)) {
        const ModifierFlags bit = code == modifier->left ? modifier->leftBit : modifier->rightBit;
        const ModifierFlags before = sides_;
        sides_ = press ? sides_ | bit : sides_ & ~bit;
        if (sides_ == before) return std::nullopt;
        return KeyEvent{KeyEvent::Type::flagsChanged, code, flags(), std::nullopt, false};
    }
    KeyEvent event{press ? KeyEvent::Type::keyDown : KeyEvent::Type::keyUp, code, flags(), std::nullopt,
                   key.isAutoRepeat};
    if (press) event.characters = key.text;
    return event;
}

namespace KeyMapping {

const std::map<std::uint16_t, std::string>& namedKeys() {
    static const std::map<std::uint16_t, std::string> keys{
        {36, "return"}, {76, "return"},  {48, "tab"},       {53, "escape"}, {51, "backspace"}, {117, "delete"},
        {123, "left"},  {124, "right"},  {125, "down"},     {126, "up"},    {49, "space"},     {115, "home"},
        {119, "end"},   {116, "pageup"}, {121, "pagedown"}, {122, "f1"},    {120, "f2"},       {99, "f3"},
        {118, "f4"},    {96, "f5"},      {97, "f6"},        {98, "f7"},     {100, "f8"},       {101, "f9"},
        {109, "f10"},   {103, "f11"},    {111, "f12"},      {102, "eisu"},  {104, "kana"},
    };
    return keys;
}

const std::map<std::uint16_t, std::string>& physicalKeys() {
    static const std::map<std::uint16_t, std::string> keys{
        {0, "a"},   {1, "s"},  {2, "d"},  {3, "f"},   {4, "h"},  {5, "g"},  {6, "z"},  {7, "x"},  {8, "c"},  {9, "v"},
        {11, "b"},  {12, "q"}, {13, "w"}, {14, "e"},  {15, "r"}, {16, "y"}, {17, "t"}, {18, "1"}, {19, "2"}, {20, "3"},
        {21, "4"},  {22, "6"}, {23, "5"}, {24, "="},  {25, "9"}, {26, "7"}, {27, "-"}, {28, "8"}, {29, "0"}, {30, "]"},
        {31, "o"},  {32, "u"}, {33, "["}, {34, "i"},  {35, "p"}, {37, "l"}, {38, "j"}, {39, "'"}, {40, "k"}, {41, ";"},
        {42, "\\"}, {43, ","}, {44, "/"}, {45, "n"},  {46, "m"}, {47, "."}, {50, "`"}, {82, "0"}, {83, "1"}, {84, "2"},
        {85, "3"},  {86, "4"}, {87, "5"}, {88, "6"},  {89, "7"}, {91, "8"}, {92, "9"}, {65, "."}, {67, "*"}, {69, "+"},
        {75, "/"},  {78, "-"}, {81, "="}, {93, "\\"}, {94, "`"},
    };
    return keys;
}

std::optional<Output> map(std::uint16_t keyCode, ModifierFlags modifiers,
                          const std::optional<std::string>& characters) {
    const auto named = [&](std::string name) -> Output {
        return NamedKey{std::move(name), (modifiers & kCommandFlag) != 0, (modifiers & kControlFlag) != 0,
                        (modifiers & kOptionFlag) != 0, (modifiers & kShiftFlag) != 0};
    };
    if (auto name = lookup(namedKeys(), keyCode)) return named(std::move(*name));
    if ((modifiers & (kCommandFlag | kControlFlag)) == 0) {
        if (!typeable(characters)) return std::nullopt;
        return Text{*characters};
    }
    if (auto name = lookup(physicalKeys(), keyCode)) return named(std::move(*name));
    return std::nullopt;
}

}  // namespace KeyMapping

std::optional<std::string> GameKeys::down(std::uint16_t keyCode, bool isRepeat) {
    if (isRepeat) return std::nullopt;
    std::optional<std::string> name;
    if (keyCode == kJisUnderscore) {
        name = "physical-jis-underscore";
    } else if (keyCode == kJisYen) {
        name = "physical-jis-yen";
    } else {
        name = lookup(KeyMapping::namedKeys(), keyCode);
        if (!name) name = lookup(KeyMapping::physicalKeys(), keyCode);
    }
    if (!name) return std::nullopt;
    return press(keyCode, *name);
}

std::optional<std::string> GameKeys::press(std::uint16_t keyCode, const std::string& name) {
    if (pressed_.contains(keyCode)) return std::nullopt;
    pressed_.emplace(keyCode, name);
    if (std::ranges::find(order_, name) != order_.end()) return std::nullopt;
    order_.push_back(name);
    return name;
}

std::optional<std::string> GameKeys::up(std::uint16_t keyCode) {
    const auto found = pressed_.find(keyCode);
    if (found == pressed_.end()) return std::nullopt;
    std::string name = std::move(found->second);
    pressed_.erase(found);
    if (std::ranges::any_of(pressed_, [&](const auto& held) { return held.second == name; })) return std::nullopt;
    std::erase(order_, name);
    return name;
}

std::optional<GameKeys::Change> GameKeys::flagsChanged(std::uint16_t keyCode, ModifierFlags flags) {
    const auto* modifier = modifierKey(keyCode);
    if (!modifier) return std::nullopt;
    const bool isLeft = keyCode == modifier->left;
    if ((flags & modifier->flag) != 0) {
        const ModifierFlags sides = flags & (modifier->leftBit | modifier->rightBit);
        const bool down =
            sides != 0 ? (sides & (isLeft ? modifier->leftBit : modifier->rightBit)) != 0 : !pressed_.contains(keyCode);
        if (down) {
            auto name = press(keyCode, std::string(modifier->name));
            if (!name) return std::nullopt;
            return Change{std::move(*name), protocol::KeyInput::Phase::down};
        }
    }
    auto name = up(keyCode);
    if (!name) return std::nullopt;
    return Change{std::move(*name), protocol::KeyInput::Phase::up};
}

std::vector<std::string> GameKeys::takeHeldNames() {
    pressed_.clear();
    return std::exchange(order_, {});
}

}  // namespace orvanta::client
