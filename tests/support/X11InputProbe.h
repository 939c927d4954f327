// A window of ours that covers the screen of a test X server, holds the keyboard focus and
// collects the pointer, button and key events that injected input produces, turning key presses
// into the characters they type with the keymap the server has at the time.
#pragma once

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/x11/XConnection.h"

namespace orvanta::testing {

class X11InputProbe {
public:
    struct Event {
        std::uint8_t type = 0;    // XCB_MOTION_NOTIFY, XCB_BUTTON_PRESS, XCB_KEY_PRESS, ...
        std::uint8_t detail = 0;  // button or keycode
        int x = 0;
        int y = 0;
        std::uint16_t state = 0;  // modifier and button mask before the event
        bool operator==(const Event&) const = default;
    };

    explicit X11InputProbe(const std::string& display) {
        auto opened = platform::x11::XConnection::open(display);
        if (!opened) throw std::runtime_error(opened.error());
        connection_ = std::move(*opened);
        xcb_connection_t* c = connection_->get();
        window_ = xcb_generate_id(c);
        const std::uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_BUTTON_PRESS |
                                   XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION;
        const xcb_screen_t* screen = connection_->screen();
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, screen->width_in_pixels,
                          screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_EVENT_MASK, &mask);
        xcb_map_window(c, window_);
        xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
        sync();
        xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                    XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr);
        collect();  // drop what mapping the window produced
        events.clear();
    }

    xcb_connection_t* connection() const { return connection_->get(); }

    void sync() {
        xcb_connection_t* c = connection_->get();
        platform::x11::Reply<xcb_get_input_focus_reply_t>(
            xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }

    // Everything the server has sent us for what was injected so far.
    std::vector<Event>& collect() {
        if (settle) settle();
        sync();
        while (platform::x11::Reply<xcb_generic_event_t> event{xcb_poll_for_event(connection_->get())}) {
            const std::uint8_t type = event->response_type & 0x7F;
            if (type >= XCB_KEY_PRESS && type <= XCB_MOTION_NOTIFY) {
                // Key, button and motion events share this layout.
                const auto* e = reinterpret_cast<const xcb_key_press_event_t*>(event.get());
                events.push_back({type, e->detail, e->root_x, e->root_y, e->state});
            }
        }
        return events;
    }

    std::vector<Event> ofType(std::uint8_t type) {
        std::vector<Event> out;
        for (const auto& e : collect()) {
            if (e.type == type) out.push_back(e);
        }
        return out;
    }

    // The characters the collected key presses typed, read with the server's current keymap.
    std::u32string typed() {
        xcb_connection_t* c = connection_->get();
        xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        const std::int32_t device = xkb_x11_get_core_keyboard_device_id(c);
        xkb_keymap* keymap = xkb_x11_keymap_new_from_device(context, c, device, XKB_KEYMAP_COMPILE_NO_FLAGS);
        std::u32string out;
        if (keymap) {
            for (const auto& e : collect()) {
                if (e.type != XCB_KEY_PRESS) continue;
                xkb_state* state = xkb_state_new(keymap);
                xkb_state_update_mask(state, e.state & 0xFF, 0, 0, 0, 0, (e.state >> 13) & 3);
                if (const char32_t scalar = xkb_state_key_get_utf32(state, e.detail); scalar >= 32) out += scalar;
                xkb_state_unref(state);
            }
            xkb_keymap_unref(keymap);
        }
        xkb_context_unref(context);
        return out;
    }

    // The core keyboard mapping, every keycode.
    std::vector<xcb_keysym_t> keyboardMapping() {
        xcb_connection_t* c = connection_->get();
        const xcb_setup_t* setup = xcb_get_setup(c);
        platform::x11::Reply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
            c, xcb_get_keyboard_mapping(c, setup->min_keycode, setup->max_keycode - setup->min_keycode + 1), nullptr));
        if (!reply) return {};
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
        return {syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply.get())};
    }

    // Whether any key or pointer button is down on the server, once it has handled what the
    // injecting connection sent (posts are flushed, not waited for).
    bool anythingPressed() {
        if (settle) settle();
        xcb_connection_t* c = connection_->get();
        platform::x11::Reply<xcb_query_keymap_reply_t> keys(xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr));
        platform::x11::Reply<xcb_query_pointer_reply_t> pointer(
            xcb_query_pointer_reply(c, xcb_query_pointer(c, connection_->root()), nullptr));
        if (!keys || !pointer) return true;
        bool down = false;
        for (const auto byte : keys->keys) down = down || byte != 0;
        constexpr std::uint16_t kButtons = XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3;
        return down || (pointer->mask & kButtons) != 0;
    }

    std::vector<Event> events;
    // Makes the server handle everything the injecting connection has sent (a round trip on it).
    std::function<void()> settle;

private:
    std::unique_ptr<platform::x11::XConnection> connection_;
    xcb_window_t window_ = 0;
};

}  // namespace orvanta::testing
