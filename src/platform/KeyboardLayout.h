// The current keyboard layout, as far as typing a password at the lock screen needs it: which
// character each key produces with no modifier, Shift, the option modifier (AltGr) or both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvanta::platform {

enum class KeyLevel { none, shift, option, shiftOption };

struct KeyTranslation {
    std::u16string units;  // what the key types at that level; empty when nothing
    bool dead = false;     // a dead key: it types nothing by itself and changes the next key
    bool operator==(const KeyTranslation&) const = default;
};

class KeyboardLayout {
public:
    virtual ~KeyboardLayout() = default;

    // The layout's key codes in ascending order, without the numeric keypad; empty when the layout
    // cannot be read.
    virtual std::vector<std::uint16_t> typingKeyCodes() = 0;
    // What one key-down types; nothing when the key cannot be translated.
    virtual std::optional<KeyTranslation> translate(std::uint16_t keyCode, KeyLevel level) = 0;
};

}  // namespace orvanta::platform
