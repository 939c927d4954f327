#include "platform/x11/X11Keyboard.h"

#include <xkbcommon/xkbcommon-x11.h>

#include <algorithm>
#include <bit>

#include "platform/InputSink.h"

namespace orvanta::platform::x11 {

namespace {

bool isKeypad(xkb_keysym_t keysym) { return keysym >= XKB_KEY_KP_Space && keysym <= XKB_KEY_KP_Equal; }
bool isDead(xkb_keysym_t keysym) { return keysym >= XKB_KEY_dead_grave && keysym <= XKB_KEY_dead_greek; }

constexpr std::uint8_t kCoreModsMask = 0xFF;

}  // namespace

std::expected<std::unique_ptr<X11Keyboard>, std::string> X11Keyboard::load(XConnection& connection) {
    xcb_connection_t* c = connection.get();
    if (!xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                     XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr)) {
        return std::unexpected("the X server has no usable XKB extension");
    }
    std::unique_ptr<X11Keyboard> keyboard(new X11Keyboard());
    keyboard->context_ = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    const std::int32_t device = xkb_x11_get_core_keyboard_device_id(c);
    if (!keyboard->context_ || device < 0) return std::unexpected("no core keyboard");
    keyboard->keymap_ = xkb_x11_keymap_new_from_device(keyboard->context_, c, device, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!keyboard->keymap_) return std::unexpected("cannot read the keymap");
    if (xkb_state* state = xkb_x11_state_new_from_device(keyboard->keymap_, c, device)) {
        keyboard->layout_ =
            static_cast<xkb_layout_index_t>(xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE));
        xkb_state_unref(state);
    }

    // The modifier map says which core modifier each key sets.
    Reply<xcb_get_modifier_mapping_reply_t> modmap(
        xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr));
    if (!modmap) return std::unexpected("cannot read the modifier map");
    const xcb_keycode_t* modKeys = xcb_get_modifier_mapping_keycodes(modmap.get());
    for (int mod = 0; mod < 8; ++mod) {
        for (int i = 0; i < modmap->keycodes_per_modifier; ++i) {
            const xcb_keycode_t key = modKeys[mod * modmap->keycodes_per_modifier + i];
            if (key != 0) keyboard->modsByKeycode_[key] |= std::uint8_t(1u << mod);
        }
    }

    xkb_keymap* keymap = keyboard->keymap_;
    const xkb_keycode_t min = std::max<xkb_keycode_t>(xkb_keymap_min_keycode(keymap), 8);
    const xkb_keycode_t max = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap), 255);
    for (xkb_keycode_t key = min; key <= max; ++key) {
        const xkb_layout_index_t layout = std::min(keyboard->layout_, xkb_keymap_num_layouts_for_key(keymap, key) - 1);
        const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, key, layout);
        for (xkb_level_index_t level = 0; level < levels; ++level) {
            const xkb_keysym_t* syms = nullptr;
            if (xkb_keymap_key_get_syms_by_level(keymap, key, layout, level, &syms) != 1) continue;
            xkb_mod_mask_t masks[8];
            const std::size_t count = xkb_keymap_key_get_mods_for_level(keymap, key, layout, level, masks, 8);
            std::optional<std::uint8_t> fewest;
            for (std::size_t i = 0; i < count; ++i) {
                const auto mods = std::uint8_t(masks[i] & kCoreModsMask);
                if (!fewest || std::popcount(mods) < std::popcount(*fewest)) fewest = mods;
            }
            if (level == 0 && !fewest) fewest = 0;
            if (!fewest) continue;
            const KeyChoice choice{static_cast<xcb_keycode_t>(key), *fewest};
            auto [entry, added] = keyboard->byKeysym_.try_emplace(syms[0], choice);
            if (!added && std::popcount(choice.mods) < std::popcount(entry->second.mods)) entry->second = choice;
            if (syms[0] == XKB_KEY_ISO_Level3_Shift && level == 0) {
                keyboard->levelThreeMods_ = keyboard->modsByKeycode_[key];
            }
        }
    }

    // Spares come from the core map: a key with no symbol there types nothing for any client.
    const xcb_setup_t* setup = xcb_get_setup(c);
    const auto first = setup->min_keycode;
    const auto count = std::uint8_t(setup->max_keycode - setup->min_keycode + 1);
    Reply<xcb_get_keyboard_mapping_reply_t> mapping(
        xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, first, count), nullptr));
    if (!mapping) return std::unexpected("cannot read the keyboard mapping");
    keyboard->keysymsPerKeycode_ = mapping->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const auto empty = [&](int index) {
        return std::all_of(syms + index * mapping->keysyms_per_keycode,
                           syms + (index + 1) * mapping->keysyms_per_keycode,
                           [](xcb_keysym_t s) { return s == XCB_NO_SYMBOL; });
    };
    for (int index = count - 1; index >= 0 && keyboard->spares_.size() < kMaxSpareKeys; --index) {
        if (empty(index)) keyboard->spares_.push_back(static_cast<xcb_keycode_t>(first + index));
    }
    return keyboard;
}

X11Keyboard::~X11Keyboard() {
    xkb_keymap_unref(keymap_);
    xkb_context_unref(context_);
}

std::optional<X11Keyboard::KeyChoice> X11Keyboard::find(xkb_keysym_t keysym) const {
    const auto found = byKeysym_.find(keysym);
    return found == byKeysym_.end() ? std::nullopt : std::optional(found->second);
}

std::uint8_t X11Keyboard::modsOf(xcb_keycode_t keycode) const { return modsByKeycode_[keycode]; }

std::optional<xcb_keycode_t> X11Keyboard::keyForMod(std::uint8_t bit) const {
    // Prefer a key whose only modifier is this one (Shift_L for Shift, not a key that sets more).
    std::optional<xcb_keycode_t> any;
    for (int key = 8; key < 256; ++key) {
        if (modsByKeycode_[key] == bit) return static_cast<xcb_keycode_t>(key);
        if (!any && (modsByKeycode_[key] & bit)) any = static_cast<xcb_keycode_t>(key);
    }
    return any;
}

std::vector<std::uint16_t> X11Keyboard::typingKeyCodes() const {
    std::vector<std::uint16_t> codes;
    const xkb_keycode_t min = std::max<xkb_keycode_t>(xkb_keymap_min_keycode(keymap_), 8);
    const xkb_keycode_t max = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap_), 255);
    for (xkb_keycode_t key = min; key <= max; ++key) {
        const xkb_keysym_t* syms = nullptr;
        if (xkb_keymap_key_get_syms_by_level(keymap_, key, 0, 0, &syms) == 1 && isKeypad(syms[0])) continue;
        codes.push_back(static_cast<std::uint16_t>(key));
    }
    return codes;
}

std::optional<KeyTranslation> X11Keyboard::translate(std::uint16_t keycode, KeyLevel level) const {
    const bool shift = level == KeyLevel::shift || level == KeyLevel::shiftOption;
    const bool option = level == KeyLevel::option || level == KeyLevel::shiftOption;
    if (option && levelThreeMods_ == 0) return std::nullopt;
    const std::uint8_t mods = (shift ? XCB_MOD_MASK_SHIFT : 0) | (option ? levelThreeMods_ : 0);
    xkb_state* state = xkb_state_new(keymap_);
    if (!state) return std::nullopt;
    xkb_state_update_mask(state, mods, 0, 0, 0, 0, layout_);
    const xkb_keysym_t* syms = nullptr;
    const int count = xkb_state_key_get_syms(state, keycode, &syms);
    const xkb_keysym_t keysym = count == 1 ? syms[0] : XKB_KEY_NoSymbol;
    xkb_state_unref(state);
    if (keysym == XKB_KEY_NoSymbol) return std::nullopt;
    KeyTranslation typed;
    typed.dead = isDead(keysym);
    if (const char32_t scalar = xkb_keysym_to_utf32(keysym); scalar != 0) appendUtf16(typed.units, scalar);
    return typed;
}

X11KeyboardLayout::X11KeyboardLayout(XConnection& connection) {
    if (auto keyboard = X11Keyboard::load(connection)) keyboard_ = std::move(*keyboard);
}

std::vector<std::uint16_t> X11KeyboardLayout::typingKeyCodes() {
    return keyboard_ ? keyboard_->typingKeyCodes() : std::vector<std::uint16_t>{};
}

std::optional<KeyTranslation> X11KeyboardLayout::translate(std::uint16_t keyCode, KeyLevel level) {
    return keyboard_ && keyCode < 256 ? keyboard_->translate(keyCode, level) : std::nullopt;
}

}  // namespace orvanta::platform::x11
