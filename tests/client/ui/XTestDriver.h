// Input for widget tests as a user makes it: XTest events on the test's X server, so Qt sees real
// pointer, wheel and key events with the server's key codes. Key codes are those of the server's
// default US layout.
#pragma once

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/x11/XConnection.h"

namespace orvanta::testing {

class XTestDriver {
public:
    static constexpr std::uint8_t kKeyA = 38, kKeyF = 41, kKeyN = 57, kKeyQ = 24, kKeyComma = 59, kKeyTab = 23,
                                  kKeyEscape = 9, kKeyControl = 37, kKeyShift = 50, kKeySuper = 133;
    static constexpr std::uint8_t kLeft = 1, kMiddle = 2, kRight = 3, kWheelUp = 4, kWheelDown = 5, kWheelLeft = 6;

    explicit XTestDriver(const std::string& display) {
        auto opened = platform::x11::XConnection::open(display);
        if (!opened) throw std::runtime_error(opened.error());
        connection_ = std::move(*opened);
    }

    void moveTo(int x, int y) { fake(XCB_MOTION_NOTIFY, 0, x, y); }
    void button(std::uint8_t button, bool down) { fake(down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, button); }
    void click(std::uint8_t which) {
        button(which, true);
        button(which, false);
    }
    void key(std::uint8_t keycode, bool down) { fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode); }
    // Presses the keys in order and releases them in reverse.
    void chord(std::initializer_list<std::uint8_t> keys) {
        for (auto k : keys) key(k, true);
        for (auto it = std::rbegin(keys); it != std::rend(keys); ++it) key(*it, false);
    }

private:
    void fake(std::uint8_t type, std::uint8_t detail, int x = 0, int y = 0) {
        xcb_connection_t* c = connection_->get();
        xcb_test_fake_input(c, type, detail, XCB_CURRENT_TIME, type == XCB_MOTION_NOTIFY ? connection_->root() : 0,
                            static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0);
        // A round trip, so the server has handled the event before the test looks for its effect.
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }

    std::unique_ptr<platform::x11::XConnection> connection_;
};

}  // namespace orvanta::testing
