// Keys as the wire carries them. A key event uses the hosts' virtual key codes (ANSI and JIS
// positions) and their modifier flags; X11 key presses are turned into such events here, with the
// modifier state kept by our own count of each side's presses. KeyMapping decides for one key-down
// whether it travels as text or as a named key; GameKeys is the held-key bookkeeping of
// game-keyboard mode, where every key goes down and up separately.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "client/viewer/SurfaceInput.h"
#include "protocol/ControlMessages.h"

namespace orvanta::client {

// Device-independent flags, and the per-side bits of each modifier key.
using ModifierFlags = std::uint32_t;
inline constexpr ModifierFlags kShiftFlag = 0x20000;
inline constexpr ModifierFlags kControlFlag = 0x40000;
inline constexpr ModifierFlags kOptionFlag = 0x80000;
inline constexpr ModifierFlags kCommandFlag = 0x100000;
inline constexpr ModifierFlags kLeftControlBit = 0x1;
inline constexpr ModifierFlags kLeftShiftBit = 0x2;
inline constexpr ModifierFlags kRightShiftBit = 0x4;
inline constexpr ModifierFlags kLeftCommandBit = 0x8;
inline constexpr ModifierFlags kRightCommandBit = 0x10;
inline constexpr ModifierFlags kLeftOptionBit = 0x20;
inline constexpr ModifierFlags kRightOptionBit = 0x40;
inline constexpr ModifierFlags kRightControlBit = 0x2000;

// A key that has no virtual key code: it can still type text, but is never a named key.
inline constexpr std::uint16_t kNoKeyCode = 0xFFFF;

struct KeyEvent {
    enum class Type { keyDown, keyUp, flagsChanged };
    Type type = Type::keyDown;
    std::uint16_t keyCode = kNoKeyCode;
    ModifierFlags flags = 0;  // after the event
    std::optional<std::string> characters{};
    bool isRepeat{false};
    bool operator==(const KeyEvent&) const = default;

    bool command() const { return (flags & kCommandFlag) != 0; }
    bool control() const { return (flags & kControlFlag) != 0; }
    bool option() const { return (flags & kOptionFlag) != 0; }
    bool shift() const { return (flags & kShiftFlag) != 0; }
};

// The virtual key code of an X server key code (evdev code + 8), for the keys of ANSI, ISO and JIS
// keyboards: the inverse of what the host injects for each code, so a key pressed here arrives
// there as the same key.
std::optional<std::uint16_t> virtualKeyCode(std::uint32_t x11KeyCode);

// Turns the surface's X11 presses and releases into key events. X11 reports the modifier state from
// before an event and without sides, so the flags come from our own count of left and right
// modifier presses, taken after the event; a modifier press or release becomes flagsChanged. An
// auto-repeat arrives as a release and a press: the release is dropped.
class KeyboardState {
public:
    std::optional<KeyEvent> translate(const SurfaceKey& key);
    // Forgets every held modifier (the host was told to release them).
    void reset() { sides_ = 0; }
    ModifierFlags flags() const;

private:
    ModifierFlags sides_ = 0;
};

namespace KeyMapping {

struct Text {
    std::string text;
    bool operator==(const Text&) const = default;
};
struct NamedKey {
    std::string name;
    bool command = false;
    bool control = false;
    bool option = false;
    bool shift = false;
    bool operator==(const NamedKey&) const = default;
};
using Output = std::variant<Text, NamedKey>;

// Keys that always travel by name (29), and keys that travel by name under command or control and
// in game-keyboard mode (65).
const std::map<std::uint16_t, std::string>& namedKeys();
const std::map<std::uint16_t, std::string>& physicalKeys();

std::optional<Output> map(std::uint16_t keyCode, ModifierFlags modifiers, const std::optional<std::string>& characters);

}  // namespace KeyMapping

class GameKeys {
public:
    struct Change {
        std::string name;
        protocol::KeyInput::Phase phase;
        bool operator==(const Change&) const = default;
    };

    std::optional<std::string> down(std::uint16_t keyCode, bool isRepeat);
    std::optional<std::string> up(std::uint16_t keyCode);
    std::optional<Change> flagsChanged(std::uint16_t keyCode, ModifierFlags flags);

    // Held key codes with the name sent for each, and the held names in the order they went down.
    const std::map<std::uint16_t, std::string>& pressed() const { return pressed_; }
    const std::vector<std::string>& order() const { return order_; }
    // Hands over the held names and forgets every held key.
    std::vector<std::string> takeHeldNames();

private:
    std::optional<std::string> press(std::uint16_t keyCode, const std::string& name);

    std::map<std::uint16_t, std::string> pressed_;
    std::vector<std::string> order_;
};

}  // namespace orvanta::client
