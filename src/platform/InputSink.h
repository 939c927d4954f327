// Where injected input goes: synthetic pointer, wheel and keyboard events posted to the desktop
// as if a second, private input device produced them, plus the few facts about the desktop that
// placing them needs (display bounds, the pointer's position). Key codes are the virtual key
// codes the input messages use; a backend maps them to its own keys.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace orvanta::platform {

// Global display coordinates: origin at the top-left of the desktop, y growing downwards.
struct DisplayPoint {
    double x = 0;
    double y = 0;
    bool operator==(const DisplayPoint&) const = default;
};

struct DisplayRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double minX() const { return x; }
    double minY() const { return y; }
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    // Half-open: the far edges are outside.
    bool contains(DisplayPoint p) const { return p.x >= x && p.x < maxX() && p.y >= y && p.y < maxY(); }
    bool operator==(const DisplayRect&) const = default;
};

// Modifier bits carried by events, as the input messages name them.
using EventFlags = std::uint64_t;
inline constexpr EventFlags kFlagShift = 0x20000;
inline constexpr EventFlags kFlagControl = 0x40000;
inline constexpr EventFlags kFlagOption = 0x80000;
inline constexpr EventFlags kFlagCommand = 0x100000;
inline constexpr EventFlags kModifierFlags = kFlagShift | kFlagControl | kFlagOption | kFlagCommand;

enum class MouseEventType : std::uint32_t {
    leftDown = 1,
    leftUp = 2,
    rightDown = 3,
    rightUp = 4,
    moved = 5,
    leftDragged = 6,
    otherDown = 25,  // the middle button
    otherUp = 26,
};

struct MouseEvent {
    MouseEventType type = MouseEventType::moved;
    DisplayPoint location;
    std::int64_t clickState = 0;
    std::int64_t eventNumber = 0;
    EventFlags flags = 0;
    bool operator==(const MouseEvent&) const = default;
};

// Pixel scrolling on two wheels; positive values scroll up and left.
struct ScrollEvent {
    DisplayPoint location;
    std::int32_t verticalPixels = 0;
    std::int32_t horizontalPixels = 0;
    EventFlags flags = 0;
    std::string source;  // whose wheel: a backend that scrolls in notches carries remainders per source
    bool operator==(const ScrollEvent&) const = default;
};

// One key going down or up. With `text`, the event types that text (UTF-16) instead of the key.
struct KeyEvent {
    std::uint16_t keyCode = 0;
    bool down = true;
    EventFlags flags = 0;
    std::u16string text;
    std::uint64_t timestampNanos = 0;  // 0: now
    bool operator==(const KeyEvent&) const = default;
};

using InputEvent = std::variant<MouseEvent, ScrollEvent, KeyEvent>;

// Key event text is UTF-16; these convert from and to scalars.
inline void appendUtf16(std::u16string& out, char32_t scalar) {
    if (scalar >= 0x10000) {
        out.push_back(static_cast<char16_t>(0xD800 + ((scalar - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((scalar - 0x10000) & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(scalar));
    }
}
// A lone surrogate reads as U+FFFD.
inline std::u32string scalarsOf(std::u16string_view text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            out.push_back(0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else {
            out.push_back(unit >= 0xD800 && unit < 0xE000 ? U'\uFFFD' : char32_t(unit));
        }
    }
    return out;
}

struct InputSinkError {
    enum class Kind {
        unavailable,  // no connection to the desktop (lost, or never made)
        refused,      // the desktop refused the request
        noKey,        // nothing on this desktop can type the key or character
    };
    Kind kind;
    std::string detail;
    bool operator==(const InputSinkError&) const = default;
};

class InputSink {
public:
    virtual ~InputSink() = default;

    // Whether this process may post input at all.
    virtual bool trusted() = 0;
    // Whether events can be made: false without a working connection.
    virtual bool hasEventSource() = 0;
    // The modifier flags that this sink's own events hold down now.
    virtual EventFlags sourceFlags() = 0;
    // The pointer's position now; nothing when it cannot be read.
    virtual std::optional<DisplayPoint> cursorLocation() = 0;
    // How many pointer moves the desktop has reported so far, this sink's own posts included,
    // learnt without asking it; nothing while moves are not reported. A move that brings no
    // report (a warp) shows only in cursorLocation().
    virtual std::optional<std::uint64_t> pointerMoves() = 0;
    // The bounds of a display (nothing: the main display); nothing when no such display exists.
    virtual std::optional<DisplayRect> displayBounds(std::optional<std::uint32_t> displayID) = 0;
    // Posts one event and returns once it reached the desktop.
    virtual std::expected<void, InputSinkError> post(const InputEvent& event) = 0;
};

}  // namespace orvanta::platform
