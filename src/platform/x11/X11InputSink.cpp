#include "platform/x11/X11InputSink.h"

#include <xcb/randr.h>
// xcb's XKB header names a struct field after a C++ keyword.
#define explicit xkb_explicit
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace orvanta::platform::x11 {

namespace {

// The virtual key codes of the input messages and the keysyms they stand for here. Command is
// the Super key; the right-hand option key is AltGr, as on most layouts with a third level.
constexpr std::array<std::pair<std::uint16_t, xkb_keysym_t>, 87> kKeysyms{{
    {0, XKB_KEY_a},
    {1, XKB_KEY_s},
    {2, XKB_KEY_d},
    {3, XKB_KEY_f},
    {4, XKB_KEY_h},
    {5, XKB_KEY_g},
    {6, XKB_KEY_z},
    {7, XKB_KEY_x},
    {8, XKB_KEY_c},
    {9, XKB_KEY_v},
    {11, XKB_KEY_b},
    {12, XKB_KEY_q},
    {13, XKB_KEY_w},
    {14, XKB_KEY_e},
    {15, XKB_KEY_r},
    {16, XKB_KEY_y},
    {17, XKB_KEY_t},
    {18, XKB_KEY_1},
    {19, XKB_KEY_2},
    {20, XKB_KEY_3},
    {21, XKB_KEY_4},
    {22, XKB_KEY_6},
    {23, XKB_KEY_5},
    {24, XKB_KEY_equal},
    {25, XKB_KEY_9},
    {26, XKB_KEY_7},
    {27, XKB_KEY_minus},
    {28, XKB_KEY_8},
    {29, XKB_KEY_0},
    {30, XKB_KEY_bracketright},
    {31, XKB_KEY_o},
    {32, XKB_KEY_u},
    {33, XKB_KEY_bracketleft},
    {34, XKB_KEY_i},
    {35, XKB_KEY_p},
    {36, XKB_KEY_Return},
    {37, XKB_KEY_l},
    {38, XKB_KEY_j},
    {39, XKB_KEY_apostrophe},
    {40, XKB_KEY_k},
    {41, XKB_KEY_semicolon},
    {42, XKB_KEY_backslash},
    {43, XKB_KEY_comma},
    {44, XKB_KEY_slash},
    {45, XKB_KEY_n},
    {46, XKB_KEY_m},
    {47, XKB_KEY_period},
    {48, XKB_KEY_Tab},
    {49, XKB_KEY_space},
    {50, XKB_KEY_grave},
    {51, XKB_KEY_BackSpace},
    {53, XKB_KEY_Escape},
    {54, XKB_KEY_Super_R},
    {55, XKB_KEY_Super_L},
    {56, XKB_KEY_Shift_L},
    {58, XKB_KEY_Alt_L},
    {59, XKB_KEY_Control_L},
    {60, XKB_KEY_Shift_R},
    {61, XKB_KEY_ISO_Level3_Shift},
    {62, XKB_KEY_Control_R},
    {67, XKB_KEY_KP_Multiply},
    {69, XKB_KEY_KP_Add},
    {93, XKB_KEY_yen},
    {94, XKB_KEY_underscore},
    {96, XKB_KEY_F5},
    {97, XKB_KEY_F6},
    {98, XKB_KEY_F7},
    {99, XKB_KEY_F3},
    {100, XKB_KEY_F8},
    {101, XKB_KEY_F9},
    {102, XKB_KEY_Eisu_toggle},
    {103, XKB_KEY_F11},
    {104, XKB_KEY_Hiragana_Katakana},
    {109, XKB_KEY_F10},
    {111, XKB_KEY_F12},
    {115, XKB_KEY_Home},
    {116, XKB_KEY_Prior},
    {117, XKB_KEY_Delete},
    {118, XKB_KEY_F4},
    {119, XKB_KEY_End},
    {120, XKB_KEY_F2},
    {121, XKB_KEY_Next},
    {122, XKB_KEY_F1},
    {123, XKB_KEY_Left},
    {124, XKB_KEY_Right},
    {125, XKB_KEY_Down},
    {126, XKB_KEY_Up},
}};

std::optional<xkb_keysym_t> keysymFor(std::uint16_t code) {
    const auto found = std::ranges::find(kKeysyms, code, &std::pair<std::uint16_t, xkb_keysym_t>::first);
    return found == kKeysyms.end() ? std::nullopt : std::optional(found->second);
}

struct ModifierFlag {
    EventFlags flag;
    std::uint16_t left;
    std::uint16_t right;
};
constexpr std::array<ModifierFlag, 4> kModifierFlags{{
    {kFlagCommand, 55, 54},
    {kFlagShift, 56, 60},
    {kFlagOption, 58, 61},
    {kFlagControl, 59, 62},
}};

std::int16_t coordinate(double value) {
    if (!std::isfinite(value)) return 0;
    return static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
}

// Wheel buttons: up, down, left, right.
constexpr std::uint8_t kWheelUp = 4, kWheelDown = 5, kWheelLeft = 6, kWheelRight = 7;

}  // namespace

std::expected<std::unique_ptr<X11InputSink>, std::string> X11InputSink::open(base::Executor& owner,
                                                                             const std::string& display) {
    auto connection = XConnection::open(display);
    if (!connection) return std::unexpected(connection.error());
    std::unique_ptr<X11InputSink> sink(new X11InputSink(owner, std::move(*connection)));
    if (!sink->reloadKeyboard()) return std::unexpected("cannot read the keyboard of the X display");
    return sink;
}

X11InputSink::X11InputSink(base::Executor& owner, std::unique_ptr<XConnection> connection)
    : owner_(owner), connection_(std::move(connection)) {
    xcb_connection_t* c = connection_->get();
    const auto* xtest = xcb_get_extension_data(c, &xcb_test_id);
    xtest_ = xtest && xtest->present;
    if (const auto* randr = xcb_get_extension_data(c, &xcb_randr_id); randr && randr->present) {
        randrEvent_ = randr->first_event;
        xcb_randr_select_input(c, connection_->root(),
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE);
    }
    if (const auto* input = xcb_get_extension_data(c, &xcb_input_id); input && input->present) {
        Reply<xcb_input_xi_query_version_reply_t> version(
            xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
        if (version && version->major_version >= 2) inputOpcode_ = input->major_opcode;
    }
    xcb_flush(c);
}

X11InputSink::~X11InputSink() {
    pointerWatch_.cancel();
    restore_.cancel();
    restoreSpares();
}

bool X11InputSink::reloadKeyboard() {
    auto keyboard = X11Keyboard::load(*connection_);
    if (!keyboard) return false;
    keyboard_ = std::move(*keyboard);
    spares_.assign(keyboard_->spares().size(), XCB_NO_SYMBOL);
    nextSpare_ = 0;
    if (xkbEvent_ == 0) {
        xcb_connection_t* c = connection_->get();
        const auto* xkb = xcb_get_extension_data(c, &xcb_xkb_id);
        if (xkb && xkb->present) {
            xkbEvent_ = xkb->first_event;
            const std::uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
            const std::uint16_t parts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS |
                                        XCB_XKB_MAP_PART_MODIFIER_MAP | XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS |
                                        XCB_XKB_MAP_PART_KEY_ACTIONS | XCB_XKB_MAP_PART_VIRTUAL_MODS |
                                        XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
            xcb_xkb_select_events(c, XCB_XKB_ID_USE_CORE_KBD, events, 0, events, parts, parts, nullptr);
        }
    }
    return true;
}

// Keymap and display changes arrive as events; our own spare bindings are the only map changes
// that leave the keymap as read.
void X11InputSink::drainEvents() {
    xcb_connection_t* c = connection_->get();
    bool reload = false;
    const auto outsideSpares = [this](int first, int count) {
        for (int key = first; key < first + count; ++key) {
            if (std::ranges::find(keyboard_->spares(), key) == keyboard_->spares().end()) return true;
        }
        return false;
    };
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
        const std::uint8_t type = event->response_type & 0x7F;
        if (type == 0) {
            refused_ = true;
        } else if (type == XCB_MAPPING_NOTIFY) {
            const auto* mapping = reinterpret_cast<xcb_mapping_notify_event_t*>(event.get());
            if (mapping->request != XCB_MAPPING_POINTER &&
                (mapping->request != XCB_MAPPING_KEYBOARD || outsideSpares(mapping->first_keycode, mapping->count))) {
                reload = true;
            }
        } else if (xkbEvent_ != 0 && type == xkbEvent_) {
            const std::uint8_t xkbType = reinterpret_cast<const std::uint8_t*>(event.get())[1];
            // A switch between the physical and the XTest keyboard also announces a "new" keyboard.
            const auto* keyboard = reinterpret_cast<xcb_xkb_new_keyboard_notify_event_t*>(event.get());
            if (xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY && (keyboard->changed & XCB_XKB_NKN_DETAIL_KEYCODES)) {
                reload = true;
            }
            if (xkbType == XCB_XKB_MAP_NOTIFY) {
                const auto* map = reinterpret_cast<xcb_xkb_map_notify_event_t*>(event.get());
                const std::array<std::pair<int, int>, 6> ranges{{{map->firstKeySym, map->nKeySyms},
                                                                 {map->firstKeyAct, map->nKeyActs},
                                                                 {map->firstKeyBehavior, map->nKeyBehavior},
                                                                 {map->firstKeyExplicit, map->nKeyExplicit},
                                                                 {map->firstModMapKey, map->nModMapKeys},
                                                                 {map->firstVModMapKey, map->nVModMapKeys}}};
                if (std::ranges::any_of(ranges, [&](const auto& r) { return outsideSpares(r.first, r.second); })) {
                    reload = true;
                }
            }
        } else if (type == XCB_GE_GENERIC) {
            const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event.get());
            if (inputOpcode_ != 0 && generic->extension == inputOpcode_ && generic->event_type == XCB_INPUT_RAW_MOTION) {
                ++pointerMoves_;
            }
        } else if (randrEvent_ != 0 &&
                   (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrEvent_ + XCB_RANDR_NOTIFY)) {
            monitors_.reset();
        }
    }
    if (reload) {
        restoreSpares();
        reloadKeyboard();
    }
}

bool X11InputSink::trusted() { return xtest_; }

bool X11InputSink::hasEventSource() { return !connection_->hasError(); }

EventFlags X11InputSink::sourceFlags() {
    EventFlags flags = 0;
    for (const ModifierFlag& m : kModifierFlags) {
        if (downKeys_.contains(m.left) || downKeys_.contains(m.right)) flags |= m.flag;
    }
    return flags;
}

std::uint8_t X11InputSink::heldMods() const {
    std::uint8_t mods = 0;
    for (const auto& [code, key] : downKeys_) mods |= keyboard_->modsOf(key);
    return mods;
}

std::optional<DisplayPoint> X11InputSink::cursorLocation() {
    xcb_connection_t* c = connection_->get();
    Reply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(c, xcb_query_pointer(c, connection_->root()), nullptr));
    if (!reply) return std::nullopt;
    return DisplayPoint{double(reply->root_x), double(reply->root_y)};
}

// Started by the first ask: moves made before the server took the selection are never counted, so
// that first ask has no count to give.
std::optional<std::uint64_t> X11InputSink::pointerMoves() {
    if (connection_->hasError()) return std::nullopt;
    pointerAsked_ = true;
    if (!pointerWatched_) {
        if (!watchPointer(true)) return std::nullopt;
        pointerWatch_ = owner_.repeating(kPointerWatchIdle, [this] { checkPointerWatch(); });
        return std::nullopt;
    }
    drainEvents();
    return pointerMoves_;
}

// Raw motion news from every pointer, whichever window it is over.
bool X11InputSink::watchPointer(bool on) {
    if (inputOpcode_ == 0) return false;
    struct {
        xcb_input_event_mask_t head;
        std::uint32_t bits;
    } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, on ? std::uint32_t(XCB_INPUT_XI_EVENT_MASK_RAW_MOTION) : 0u};
    xcb_input_xi_select_events(connection_->get(), connection_->root(), 1, &mask.head);
    xcb_flush(connection_->get());
    pointerWatched_ = on;
    return true;
}

void X11InputSink::checkPointerWatch() {
    if (std::exchange(pointerAsked_, false)) return;
    pointerWatch_.cancel();
    watchPointer(false);
    drainEvents();  // the news already sent
}

const std::vector<X11InputSink::Monitor>& X11InputSink::monitors() {
    drainEvents();
    if (monitors_) return *monitors_;
    xcb_connection_t* c = connection_->get();
    std::vector<Monitor> found;
    if (randrEvent_ != 0) {
        Reply<xcb_randr_get_monitors_reply_t> reply(
            xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection_->root(), 1), nullptr));
        if (reply) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
                 xcb_randr_monitor_info_next(&it)) {
                const xcb_randr_monitor_info_t* info = it.data;
                const auto* outputs = xcb_randr_monitor_info_outputs(info);
                found.push_back({{double(info->x), double(info->y), double(info->width), double(info->height)},
                                 info->primary != 0,
                                 info->name,
                                 {outputs, outputs + xcb_randr_monitor_info_outputs_length(info)}});
            }
        }
    }
    if (found.empty() && !connection_->hasError()) {
        const xcb_screen_t* screen = connection_->screen();
        found.push_back(
            {{0, 0, double(screen->width_in_pixels), double(screen->height_in_pixels)}, true, XCB_ATOM_NONE, {}});
    }
    monitors_ = std::move(found);
    return *monitors_;
}

// A display is named by its RandR monitor's name atom or by one of the monitor's outputs.
std::optional<DisplayRect> X11InputSink::displayBounds(std::optional<std::uint32_t> displayID) {
    const auto& all = monitors();
    if (all.empty()) return std::nullopt;
    if (!displayID) {
        const auto primary = std::ranges::find_if(all, &Monitor::primary);
        return primary != all.end() ? primary->bounds : all.front().bounds;
    }
    const auto named = std::ranges::find_if(all, [id = *displayID](const Monitor& m) {
        return (m.name != XCB_ATOM_NONE && m.name == id) || std::ranges::find(m.outputs, id) != m.outputs.end();
    });
    return named == all.end() ? std::nullopt : std::optional(named->bounds);
}

std::expected<void, InputSinkError> X11InputSink::post(const InputEvent& event) {
    if (connection_->hasError()) {
        return std::unexpected(InputSinkError{InputSinkError::Kind::unavailable, "the X connection is lost"});
    }
    if (!xtest_) return std::unexpected(InputSinkError{InputSinkError::Kind::refused, "no XTest extension"});
    drainEvents();
    std::expected<void, InputSinkError> built;
    if (const auto* mouse = std::get_if<MouseEvent>(&event)) {
        postMouse(*mouse);
        ++pointerMoves_;  // counted at once: its raw motion news may come after the next ask
    }
    if (const auto* scroll = std::get_if<ScrollEvent>(&event)) built = postScroll(*scroll);
    if (const auto* key = std::get_if<KeyEvent>(&event)) built = postKey(*key);
    auto delivered = finish();
    return built ? delivered : built;
}

void X11InputSink::fake(std::uint8_t type, std::uint8_t detail, std::int16_t x, std::int16_t y) {
    xcb_test_fake_input(connection_->get(), type, detail, XCB_CURRENT_TIME, connection_->root(), x, y, 0);
}

std::expected<void, InputSinkError> X11InputSink::finish() {
    xcb_flush(connection_->get());
    if (connection_->hasError()) {
        return std::unexpected(InputSinkError{InputSinkError::Kind::unavailable, "the X connection is lost"});
    }
    if (std::exchange(refused_, false)) {
        return std::unexpected(InputSinkError{InputSinkError::Kind::refused, "the X server refused input"});
    }
    return {};
}

void X11InputSink::postMouse(const MouseEvent& event) {
    fake(XCB_MOTION_NOTIFY, 0, coordinate(event.location.x), coordinate(event.location.y));
    using enum MouseEventType;
    switch (event.type) {
        case leftDown:
            return fake(XCB_BUTTON_PRESS, 1);
        case leftUp:
            return fake(XCB_BUTTON_RELEASE, 1);
        case otherDown:
            return fake(XCB_BUTTON_PRESS, 2);
        case otherUp:
            return fake(XCB_BUTTON_RELEASE, 2);
        case rightDown:
            return fake(XCB_BUTTON_PRESS, 3);
        case rightUp:
            return fake(XCB_BUTTON_RELEASE, 3);
        case moved:
        case leftDragged:
            return;
    }
}

std::expected<void, InputSinkError> X11InputSink::postScroll(const ScrollEvent& event) {
    // Pixels become whole notches; what is left over waits for the same source's next scroll. The
    // two wheels share one remainder slot each, kept apart by the key.
    const auto notches = [&](std::string key, std::int32_t pixels) {
        const int total = scrollRemainder_[key] + pixels;
        const int whole = total / kPixelsPerNotch;
        if (total - whole * kPixelsPerNotch == 0) {
            scrollRemainder_.erase(key);
        } else {
            scrollRemainder_[key] = total - whole * kPixelsPerNotch;
        }
        return whole;
    };
    const int vertical = notches("v" + event.source, event.verticalPixels);
    const int horizontal = notches("h" + event.source, event.horizontalPixels);
    if (vertical == 0 && horizontal == 0) return {};
    fake(XCB_MOTION_NOTIFY, 0, coordinate(event.location.x), coordinate(event.location.y));
    const auto turn = [&](int count, std::uint8_t positive, std::uint8_t negative) {
        for (int i = 0; i < std::abs(count); ++i) {
            fake(XCB_BUTTON_PRESS, count > 0 ? positive : negative);
            fake(XCB_BUTTON_RELEASE, count > 0 ? positive : negative);
        }
    };
    turn(vertical, kWheelUp, kWheelDown);
    turn(horizontal, kWheelLeft, kWheelRight);
    return {};
}

std::expected<void, InputSinkError> X11InputSink::postKey(const KeyEvent& event) {
    if (!event.text.empty()) return event.down ? typeText(event.text) : std::expected<void, InputSinkError>{};
    if (!event.down) {
        // Release the key that went down for this code, even if the keymap changed since.
        if (const auto held = downKeys_.find(event.keyCode); held != downKeys_.end()) {
            fake(XCB_KEY_RELEASE, held->second);
            downKeys_.erase(held);
            return {};
        }
        const auto keysym = keysymFor(event.keyCode);
        const auto choice = keysym ? keyboard_->find(*keysym) : std::nullopt;
        if (choice) fake(XCB_KEY_RELEASE, choice->keycode);  // untracked: the server ignores a key not down
        return {};
    }
    const auto keysym = keysymFor(event.keyCode);
    if (!keysym) {
        return std::unexpected(
            InputSinkError{InputSinkError::Kind::noKey, "key code " + std::to_string(event.keyCode)});
    }
    const auto choice = keyboard_->find(*keysym);
    if (!choice) {
        // A key this keymap lacks goes down and up at once through a spare.
        const auto spare = spareFor(*keysym);
        if (!spare) return std::unexpected(InputSinkError{InputSinkError::Kind::noKey, "no spare keycode"});
        typeKey(*spare);
        return {};
    }
    // The event's modifier flags become real presses around the key, unless our keys hold them.
    std::vector<xcb_keycode_t> wrapped;
    const EventFlags held = sourceFlags();
    for (const ModifierFlag& m : kModifierFlags) {
        const bool itself = event.keyCode == m.left || event.keyCode == m.right;
        if (!(event.flags & m.flag) || (held & m.flag) || itself) continue;
        if (const auto key = keyboard_->find(*keysymFor(m.left))) wrapped.push_back(key->keycode);
    }
    std::uint8_t mods = heldMods();
    for (const xcb_keycode_t key : wrapped) mods |= keyboard_->modsOf(key);
    // The level's own modifiers (underscore needs Shift on most layouts).
    for (int bit = 0; bit < 8; ++bit) {
        const auto mask = std::uint8_t(1u << bit);
        if ((choice->mods & mask) && !(mods & mask)) {
            if (const auto key = keyboard_->keyForMod(mask)) wrapped.push_back(*key);
        }
    }
    for (const xcb_keycode_t key : wrapped) fake(XCB_KEY_PRESS, key);
    fake(XCB_KEY_PRESS, choice->keycode);
    downKeys_[event.keyCode] = choice->keycode;
    for (auto key = wrapped.rbegin(); key != wrapped.rend(); ++key) fake(XCB_KEY_RELEASE, *key);
    return {};
}

std::expected<void, InputSinkError> X11InputSink::typeText(std::u16string_view text) {
    for (const char32_t scalar : scalarsOf(text)) {
        const xkb_keysym_t keysym = xkb_utf32_to_keysym(scalar);
        if (keysym == XKB_KEY_NoSymbol) continue;
        auto choice = keyboard_->find(keysym);
        if (!choice) choice = spareFor(keysym);
        if (!choice) return std::unexpected(InputSinkError{InputSinkError::Kind::noKey, "no spare keycode"});
        typeKey(*choice);
    }
    return {};
}

void X11InputSink::typeKey(const X11Keyboard::KeyChoice& choice) {
    // Our held keys whose modifiers would change the level are lifted for the stroke, the level's
    // missing modifiers pressed, and everything put back afterwards.
    std::vector<xcb_keycode_t> lifted;
    for (const auto& [code, key] : downKeys_) {
        if (keyboard_->modsOf(key) & ~choice.mods) lifted.push_back(key);
    }
    std::uint8_t mods = 0;
    for (const auto& [code, key] : downKeys_) {
        if (std::ranges::find(lifted, key) == lifted.end()) mods |= keyboard_->modsOf(key);
    }
    std::vector<xcb_keycode_t> pressed;
    for (int bit = 0; bit < 8; ++bit) {
        const auto mask = std::uint8_t(1u << bit);
        if ((choice.mods & mask) && !(mods & mask)) {
            if (const auto key = keyboard_->keyForMod(mask)) pressed.push_back(*key);
        }
    }
    for (const xcb_keycode_t key : lifted) fake(XCB_KEY_RELEASE, key);
    for (const xcb_keycode_t key : pressed) fake(XCB_KEY_PRESS, key);
    fake(XCB_KEY_PRESS, choice.keycode);
    fake(XCB_KEY_RELEASE, choice.keycode);
    for (auto key = pressed.rbegin(); key != pressed.rend(); ++key) fake(XCB_KEY_RELEASE, *key);
    for (const xcb_keycode_t key : lifted) fake(XCB_KEY_PRESS, key);
}

std::optional<X11Keyboard::KeyChoice> X11InputSink::spareFor(xkb_keysym_t keysym) {
    if (spares_.empty()) return std::nullopt;
    std::size_t index = std::ranges::find(spares_, keysym) - spares_.begin();
    if (index == spares_.size()) {
        index = nextSpare_;
        nextSpare_ = (nextSpare_ + 1) % spares_.size();
        spares_[index] = keysym;
        // Every level of the spare types the character, whatever modifiers are down.
        const std::vector<xcb_keysym_t> syms(keyboard_->keysymsPerKeycode(), keysym);
        xcb_change_keyboard_mapping(connection_->get(), 1, keyboard_->spares()[index], keyboard_->keysymsPerKeycode(),
                                    syms.data());
    }
    restore_.cancel();
    restore_ = owner_.asyncAfter(kSpareHoldTime, [this] { restoreSpares(); });
    return X11Keyboard::KeyChoice{keyboard_->spares()[index], 0};
}

void X11InputSink::restoreSpares() {
    xcb_connection_t* c = connection_->get();
    const std::vector<xcb_keysym_t> empty(keyboard_->keysymsPerKeycode(), XCB_NO_SYMBOL);
    for (std::size_t i = 0; i < spares_.size(); ++i) {
        if (spares_[i] == XCB_NO_SYMBOL) continue;
        xcb_change_keyboard_mapping(c, 1, keyboard_->spares()[i], keyboard_->keysymsPerKeycode(), empty.data());
        spares_[i] = XCB_NO_SYMBOL;
    }
    nextSpare_ = 0;
    xcb_flush(c);
}
}  // namespace orvanta::platform::x11
