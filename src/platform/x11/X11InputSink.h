// Injected input on an X server through XTest: pointer motion and buttons, the wheel as buttons
// 4 to 7, keys found by keysym in the current keymap. A character the keymap cannot type is bound
// to a spare keycode for as long as it takes the receiving client to read it, then the spare is
// cleared again, so the user's keymap is left as it was. Display bounds come from RandR monitors.
// A post returns once its requests are flushed, without waiting for the server's answer: a lost
// connection shows at once, a request the server refused at the next post. Calls, and the restore
// of spares, run on the owner's executor; the unlock sequence, on its own queue, needs a sink of
// its own. Raw motion news are asked for while pointer moves are watched, and no longer once
// nobody asked for a second, so that unread news never pile up at the server.
#pragma once

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/Executor.h"
#include "platform/InputSink.h"
#include "platform/x11/X11Keyboard.h"
#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {

class X11InputSink final : public InputSink {
public:
    // `display` empty means $DISPLAY.
    static std::expected<std::unique_ptr<X11InputSink>, std::string> open(base::Executor& owner,
                                                                          const std::string& display = {});
    ~X11InputSink() override;

    bool trusted() override;
    bool hasEventSource() override;
    EventFlags sourceFlags() override;
    std::optional<DisplayPoint> cursorLocation() override;
    std::optional<std::uint64_t> pointerMoves() override;
    std::optional<DisplayRect> displayBounds(std::optional<std::uint32_t> displayID) override;
    std::expected<void, InputSinkError> post(const InputEvent& event) override;

    // How long a spare keycode keeps its character after the last use: receiving clients re-read
    // the keymap when it changes, and must find the character still there.
    static constexpr base::Micros kSpareHoldTime{250'000};
    static constexpr int kPixelsPerNotch = 40;
    // Pointer moves stop being watched when nobody asked for them for this long.
    static constexpr base::Micros kPointerWatchIdle{1'000'000};

private:
    struct Monitor {
        DisplayRect bounds;
        bool primary = false;
        xcb_atom_t name = XCB_ATOM_NONE;
        std::vector<xcb_randr_output_t> outputs;
    };

    X11InputSink(base::Executor& owner, std::unique_ptr<XConnection> connection);

    void drainEvents();
    bool watchPointer(bool on);
    void checkPointerWatch();
    bool reloadKeyboard();
    const std::vector<Monitor>& monitors();

    void fake(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0);
    std::expected<void, InputSinkError> finish();

    void postMouse(const MouseEvent& event);
    std::expected<void, InputSinkError> postScroll(const ScrollEvent& event);
    std::expected<void, InputSinkError> postKey(const KeyEvent& event);
    std::expected<void, InputSinkError> typeText(std::u16string_view text);
    // Presses and releases one key with exactly `mods` from our own keys in effect.
    void typeKey(const X11Keyboard::KeyChoice& choice);
    std::optional<X11Keyboard::KeyChoice> spareFor(xkb_keysym_t keysym);
    void restoreSpares();
    std::uint8_t heldMods() const;

    base::Executor& owner_;
    std::unique_ptr<XConnection> connection_;
    std::unique_ptr<X11Keyboard> keyboard_;
    bool xtest_ = false;
    std::uint8_t xkbEvent_ = 0;  // first XKB event code; 0 without XKB
    std::uint8_t randrEvent_ = 0;
    std::optional<std::vector<Monitor>> monitors_;
    bool refused_ = false;  // the server answered an earlier request with an error
    std::uint8_t inputOpcode_ = 0;  // XInput's major opcode; 0 without XInput 2
    bool pointerWatched_ = false;   // raw motion news are selected
    bool pointerAsked_ = false;     // pointerMoves was called since the last watch check
    std::uint64_t pointerMoves_ = 0;
    base::TaskHandle pointerWatch_;

    std::map<std::uint16_t, xcb_keycode_t> downKeys_;  // virtual key code -> the key pressed for it
    std::unordered_map<std::string, int> scrollRemainder_;
    std::vector<xcb_keysym_t> spares_;  // per spare keycode: the keysym bound now, or none
    std::size_t nextSpare_ = 0;
    base::TaskHandle restore_;
};

}  // namespace orvanta::platform::x11
