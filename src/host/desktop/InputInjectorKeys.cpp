// The key and text half of InputInjector: one-shot keys, keys held through phases and shared by
// sources, stale-modifier release, and text typed in short chunks.
#include <unicode/locid.h>
#include <unicode/ubrk.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "base/Utf8.h"
#include "host/desktop/InputInjector.h"

namespace orvanta::host {

using platform::EventFlags;
using platform::KeyEvent;
using protocol::KeyInput;
using Result = InputInjector::Result;

namespace {

struct NamedCode {
    std::string_view name;
    std::uint16_t code;
};

constexpr std::array<NamedCode, 24> kNamedKeys{{
    {"backspace", 51}, {"return", 36}, {"tab", 48},   {"escape", 53},  {"left", 123}, {"right", 124},
    {"down", 125},     {"up", 126},    {"space", 49}, {"delete", 117}, {"f1", 122},   {"f2", 120},
    {"f3", 99},        {"f4", 118},    {"f5", 96},    {"f6", 97},      {"f7", 98},    {"f8", 100},
    {"f9", 101},       {"f10", 109},   {"f11", 103},  {"f12", 111},    {"eisu", 102}, {"kana", 104},
}};

// One character as typed on a US layout.
constexpr std::array<NamedCode, 47> kCommandKeys{{
    {"a", 0},   {"s", 1},  {"d", 2},  {"f", 3},  {"h", 4},  {"g", 5},  {"z", 6},  {"x", 7},  {"c", 8},  {"v", 9},
    {"b", 11},  {"q", 12}, {"w", 13}, {"e", 14}, {"r", 15}, {"y", 16}, {"t", 17}, {"1", 18}, {"2", 19}, {"3", 20},
    {"4", 21},  {"6", 22}, {"5", 23}, {"=", 24}, {"9", 25}, {"7", 26}, {"-", 27}, {"8", 28}, {"0", 29}, {"]", 30},
    {"o", 31},  {"u", 32}, {"[", 33}, {"i", 34}, {"p", 35}, {"l", 37}, {"j", 38}, {"'", 39}, {"k", 40}, {";", 41},
    {"\\", 42}, {",", 43}, {"n", 45}, {"m", 46}, {".", 47}, {"/", 44}, {"`", 50},
}};

// Only for keys held through phases.
constexpr std::array<NamedCode, 6> kExtraPhaseKeys{{
    {"home", 115},
    {"end", 119},
    {"pageup", 116},
    {"pagedown", 121},
    {"*", 67},
    {"+", 69},
}};

struct ModifierKey {
    std::string_view name;
    EventFlags flags;
    std::uint16_t left;
    std::uint16_t right;
};

constexpr std::array<ModifierKey, 4> kModifierKeys{{
    {"command", platform::kFlagCommand, 55, 54},
    {"shift", platform::kFlagShift, 56, 60},
    {"option", platform::kFlagOption, 58, 61},
    {"control", platform::kFlagControl, 59, 62},
}};

constexpr std::uint16_t kReturnCode = 36;
constexpr std::uint16_t kTabCode = 48;
constexpr std::size_t kMaxTextUnits = 512;
constexpr std::size_t kChunkUnits = 16;
constexpr std::string_view kPhysicalPrefix = "physical-";

template <std::size_t N>
std::optional<std::uint16_t> lookup(const std::array<NamedCode, N>& table, std::string_view name) {
    const auto found = std::ranges::find(table, name, &NamedCode::name);
    return found == table.end() ? std::nullopt : std::optional(found->code);
}

std::optional<std::uint16_t> physicalKeyCode(std::string_view name) {
    if (name == "jis-yen") return 93;
    if (name == "jis-underscore") return 94;
    return lookup(kCommandKeys, name);
}

std::optional<std::uint16_t> phaseCode(std::string_view name) {
    if (name.starts_with(kPhysicalPrefix)) return physicalKeyCode(name.substr(kPhysicalPrefix.size()));
    if (auto code = lookup(kNamedKeys, name)) return code;
    if (auto code = lookup(kCommandKeys, name)) return code;
    if (auto code = lookup(kExtraPhaseKeys, name)) return code;
    const auto modifier = std::ranges::find(kModifierKeys, name, &ModifierKey::name);
    if (modifier != kModifierKeys.end()) return modifier->left;
    return std::nullopt;
}

bool isLeftModifier(std::uint16_t code) {
    return std::ranges::any_of(kModifierKeys, [code](const ModifierKey& m) { return m.left == code; });
}

EventFlags messageFlags(const KeyInput& key) {
    return (key.command ? platform::kFlagCommand : 0) | (key.control ? platform::kFlagControl : 0) |
           (key.option ? platform::kFlagOption : 0) | (key.shift ? platform::kFlagShift : 0);
}

std::string modsText(EventFlags flags) {
    const auto bit = [flags](EventFlags flag) { return (flags & flag) != 0 ? "1" : "0"; };
    return std::string("mods=cmd:") + bit(platform::kFlagCommand) + ",ctrl:" + bit(platform::kFlagControl) +
           ",opt:" + bit(platform::kFlagOption) + ",shift:" + bit(platform::kFlagShift);
}

// Extended grapheme clusters of UTF-16 text, as offsets.
std::vector<std::u16string_view> characters(const std::u16string& text) {
    std::vector<std::u16string_view> out;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> it(
        ubrk_open(UBRK_CHARACTER, "", reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()),
                  &status),
        &ubrk_close);
    if (U_FAILURE(status)) return {};
    for (int32_t start = ubrk_first(it.get()), end = ubrk_next(it.get()); end != UBRK_DONE;
         start = end, end = ubrk_next(it.get())) {
        out.push_back(std::u16string_view(text).substr(std::size_t(start), std::size_t(end - start)));
    }
    return out;
}

// Text a device may type: 1 to 512 UTF-16 units, no control character but tab, line feed and
// carriage return.
std::optional<std::u16string> typeableText(std::string_view value) {
    const auto scalars = base::decodeUtf8(value);
    if (!scalars || scalars->empty()) return std::nullopt;
    const bool refused =
        std::ranges::any_of(*scalars, [](char32_t c) { return (c < 32 && c != 9 && c != 10 && c != 13) || c == 127; });
    if (refused) return std::nullopt;
    std::u16string units;
    for (const char32_t c : *scalars) platform::appendUtf16(units, c);
    if (units.size() > kMaxTextUnits) return std::nullopt;
    return units;
}

}  // namespace

EventFlags InputInjector::heldFlags() const {
    EventFlags flags = 0;
    for (const ModifierKey& m : kModifierKeys) {
        if (heldKeys_.contains(m.left)) flags |= m.flags;
    }
    return flags;
}

Result InputInjector::releaseBeforeStroke() {
    const bool modifiersReleased = releaseModifiers(false, {});
    releasePressed(pointerLocation_, nullptr);
    refreshHoldTimeout();
    return modifiersReleased && pressed_.empty() ? Result::ok : Result::rejected;
}

Result InputInjector::handle(const KeyInput& key, const std::string& source) {
    if (!acceptSequence(key.seq, source)) return Result::ok;
    if (key.phase) return handleKeyPhase(*key.phase, key, source);
    if (!sink_.trusted()) return Result::needsAccessibility;
    if (releaseBeforeStroke() != Result::ok) return Result::rejected;

    const EventFlags flags = messageFlags(key);
    if (const auto code = lookup(kNamedKeys, key.name)) return postKey(*code, nullptr, "normal", flags);
    if (key.name.starts_with(kPhysicalPrefix)) {
        const auto code = physicalKeyCode(std::string_view(key.name).substr(kPhysicalPrefix.size()));
        return code ? postKey(*code, nullptr, "physical", flags) : Result::rejected;
    }
    const auto units = typeableText(key.name);
    if (!units || characters(*units).size() != 1) return Result::rejected;
    if (flags == 0) return postKey(0, &*units, "normal", 0);

    std::string lower;
    icu::UnicodeString(reinterpret_cast<const UChar*>(units->data()), static_cast<int32_t>(units->size()))
        .toLower(icu::Locale::getRoot())
        .toUTF8String(lower);
    const auto code = lookup(kCommandKeys, lower);
    return code ? postKey(*code, nullptr, "normal", flags) : Result::rejected;
}

Result InputInjector::postKey(std::uint16_t code, const std::u16string* text, std::string_view route,
                              EventFlags flags) {
    if (text && heldKeys_.contains(code)) {
        // The text pair must not lift a held key: borrow the first key that is not held.
        std::vector<std::uint16_t> codes;
        for (const NamedCode& entry : kCommandKeys) codes.push_back(entry.code);
        std::ranges::sort(codes);
        const auto free = std::ranges::find_if(codes, [this](std::uint16_t c) { return !heldKeys_.contains(c); });
        if (free != codes.end()) code = *free;
    }
    if (!sink_.hasEventSource()) {
        record_("key pair rejected code=" + std::to_string(code));
        return Result::rejected;
    }
    const EventFlags held = heldFlags();
    const bool heldAlready = heldKeys_.contains(code);
    KeyEvent down{code, true, flags, text ? *text : std::u16string(), 0};
    KeyEvent up{code, false, held, text ? *text : std::u16string(), 0};
    modifiersToCheck_ |= flags & ~held;

    for (const KeyEvent* event : {&down, &up}) {
        if (!post(*event)) return Result::rejected;
        const std::string phase = event->down ? "down" : "up";
        record_(text ? "text phase=" + phase + " utf16=" + std::to_string(text->size())
                     : "key code=" + std::to_string(code) + " phase=" + phase + " route=" + std::string(route) + " " +
                           modsText(event->flags));
    }
    if (heldAlready && !post(KeyEvent{code, true, held, {}, 0})) return Result::rejected;
    return Result::ok;
}

Result InputInjector::handleKeyPhase(KeyInput::Phase phase, const KeyInput& input, const std::string& source) {
    const auto code = phaseCode(input.name);
    if (!code) return Result::rejected;
    if (phase == KeyInput::Phase::up) {
        releaseKey(*code, source);
        return Result::ok;
    }
    if (!sink_.trusted()) return Result::needsAccessibility;
    if (!releaseModifiers(false, {})) return Result::rejected;
    if (const auto held = heldKeys_.find(*code); held != heldKeys_.end()) {
        held->second.owners.insert(source);
        return Result::ok;
    }
    if (!sink_.hasEventSource()) return Result::rejected;

    const EventFlags flags = messageFlags(input);
    heldKeys_[*code] = HeldKey{{source}, KeyEvent{*code, false, 0, {}, 0}};
    const EventFlags held = heldFlags();
    modifiersToCheck_ |= flags & ~held;
    if (!post(KeyEvent{*code, true, held | flags, {}, 0})) {
        heldKeys_.erase(*code);
        return Result::rejected;
    }
    record_("key code=" + std::to_string(*code) + " phase=down route=held");
    return Result::ok;
}

void InputInjector::releaseKey(std::uint16_t code, const std::optional<std::string>& source) {
    const auto held = heldKeys_.find(code);
    if (held == heldKeys_.end()) return;
    if (source) {
        if (held->second.owners.erase(*source) == 0 || !held->second.owners.empty()) return;
    }
    KeyEvent up = std::move(held->second.up);
    heldKeys_.erase(held);
    up.timestampNanos = clock_.uptimeMicros() * 1000;
    up.flags = heldFlags();
    post(up);
    record_("key code=" + std::to_string(code) + " phase=up route=held");
}

std::set<std::uint16_t> InputInjector::releaseKeys(const std::optional<std::string>& source) {
    std::vector<std::uint16_t> codes;
    for (const auto& [code, key] : heldKeys_) codes.push_back(code);  // ascending
    std::ranges::stable_partition(codes, [](std::uint16_t c) { return !isLeftModifier(c); });
    std::set<std::uint16_t> released;
    for (const std::uint16_t code : codes) {
        releaseKey(code, source);
        if (!heldKeys_.contains(code)) released.insert(code);
    }
    return released;
}

bool InputInjector::releaseModifiers(bool includingUntracked, const std::set<std::uint16_t>& alreadyReleased) {
    EventFlags running = 0;
    if (!includingUntracked) {
        if (modifiersToCheck_ == 0) return true;
        running = sink_.sourceFlags();
        modifiersToCheck_ &= running;
        modifiersToCheck_ &= ~heldFlags();
    }
    bool released = true;
    for (const ModifierKey& m : kModifierKeys) {
        if (!includingUntracked && (modifiersToCheck_ & m.flags) == 0) continue;
        running &= ~m.flags;
        const std::array<std::uint16_t, 2> both{m.left, m.right};
        const auto codes = includingUntracked ? std::span(both) : std::span(both).first(1);
        for (const std::uint16_t code : codes) {
            if (!alreadyReleased.contains(code)) {
                if (!sink_.hasEventSource() || !post(KeyEvent{code, false, heldFlags() | running, {}, 0})) {
                    released = false;
                }
            }
            if (includingUntracked && code == m.left) modifiersToCheck_ &= ~m.flags;
        }
    }
    return released;
}

Result InputInjector::handle(const protocol::TextInput& input, const std::string& source) {
    if (!acceptSequence(input.seq, source)) return Result::ok;
    const auto text = typeableText(input.value);
    if (!text) return Result::rejected;
    if (!sink_.trusted()) return Result::needsAccessibility;
    if (releaseBeforeStroke() != Result::ok) return Result::rejected;

    std::u16string chunk;
    const auto flush = [&] {
        if (chunk.empty()) return Result::ok;
        const Result result = postKey(0, &chunk, "normal", 0);
        chunk.clear();
        return result;
    };
    for (const std::u16string_view character : characters(*text)) {
        if (character == u"\n" || character == u"\r" || character == u"\r\n" || character == u"\t") {
            if (flush() != Result::ok) return Result::rejected;
            if (postKey(character == u"\t" ? kTabCode : kReturnCode, nullptr, "normal", 0) != Result::ok) {
                return Result::rejected;
            }
            continue;
        }
        if (!chunk.empty() && chunk.size() + character.size() > kChunkUnits && flush() != Result::ok) {
            return Result::rejected;
        }
        chunk.append(character);
    }
    return flush();
}

}  // namespace orvanta::host
