// The X server's keyboard as xkbcommon reads it, in the terms injection needs: which key and
// modifiers type a keysym, what a key types with no modifier, Shift, AltGr or both, which keys
// are modifiers, and the keycodes that type nothing (spares to bind a missing character to).
#pragma once

#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/KeyboardLayout.h"
#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {

class X11Keyboard {
public:
    // Reads the core keyboard's keymap and modifier map. Fails without the XKB extension.
    static std::expected<std::unique_ptr<X11Keyboard>, std::string> load(XConnection& connection);
    ~X11Keyboard();
    X11Keyboard(const X11Keyboard&) = delete;
    X11Keyboard& operator=(const X11Keyboard&) = delete;

    struct KeyChoice {
        xcb_keycode_t keycode = 0;
        std::uint8_t mods = 0;  // core modifier mask that selects the level
        bool operator==(const KeyChoice&) const = default;
    };
    // The key that types `keysym` in the active layout with the fewest modifiers; lower keycodes
    // win among equals. Nothing when no key types it.
    std::optional<KeyChoice> find(xkb_keysym_t keysym) const;

    // Core modifier bits a key sets when held (from the server's modifier map).
    std::uint8_t modsOf(xcb_keycode_t keycode) const;
    // A key that sets the core modifier `bit`; nothing when none does.
    std::optional<xcb_keycode_t> keyForMod(std::uint8_t bit) const;

    // Keys in ascending order, without the numeric keypad, and what one types at a level.
    std::vector<std::uint16_t> typingKeyCodes() const;
    std::optional<KeyTranslation> translate(std::uint16_t keycode, KeyLevel level) const;

    // Keycodes with no symbol at all, highest first, at most kMaxSpareKeys of them.
    const std::vector<xcb_keycode_t>& spares() const { return spares_; }
    std::uint8_t keysymsPerKeycode() const { return keysymsPerKeycode_; }

    static constexpr std::uint8_t kMaxSpareKeys = 32;

private:
    X11Keyboard() = default;

    xkb_context* context_ = nullptr;
    xkb_keymap* keymap_ = nullptr;
    xkb_layout_index_t layout_ = 0;
    std::unordered_map<xkb_keysym_t, KeyChoice> byKeysym_;
    std::vector<std::uint8_t> modsByKeycode_ = std::vector<std::uint8_t>(256, 0);
    std::uint8_t levelThreeMods_ = 0;  // the modifier AltGr sets; 0 without AltGr
    std::vector<xcb_keycode_t> spares_;
    std::uint8_t keysymsPerKeycode_ = 0;
};

// The unlock sequence's view of the X keyboard: keys are X keycodes, "option" is AltGr.
class X11KeyboardLayout final : public KeyboardLayout {
public:
    // Reads the keymap now; an unreadable keymap gives an empty layout.
    explicit X11KeyboardLayout(XConnection& connection);
    std::vector<std::uint16_t> typingKeyCodes() override;
    std::optional<KeyTranslation> translate(std::uint16_t keyCode, KeyLevel level) override;

private:
    std::unique_ptr<X11Keyboard> keyboard_;
};

}  // namespace orvanta::platform::x11
