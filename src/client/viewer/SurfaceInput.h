// What the video surface hands the client model: a pointer input in the video picture's own
// coordinates, or a key event as the keyboard reported it. The surface does no key translation;
// the model maps key codes and tracks modifiers, so this stays free of any toolkit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace orvanta::client {

// A point normalised to 0...1 across the video rectangle, origin at its top-left corner.
struct NormalizedPoint {
    double x = 0;
    double y = 0;
    bool operator==(const NormalizedPoint&) const = default;
};

// "move", "down", "up", "rightDown", "scroll" ...: the wire's pointer actions. `dx` and `dy` are
// set only for "scroll".
struct SurfacePointer {
    std::string action;
    std::optional<NormalizedPoint> point;
    std::optional<double> dx;
    std::optional<double> dy;
    bool operator==(const SurfacePointer&) const = default;
};

// One key press or release as X11 reported it. `x11KeyCode` is the X server's key code (evdev
// code + 8); `text` is what the keyboard layout produced for a press, empty when nothing.
// Modifier presses and releases arrive as ordinary presses and releases of their keys.
struct SurfaceKey {
    enum class Phase { press, release };
    Phase phase = Phase::press;
    std::uint32_t x11KeyCode = 0;
    std::string text;
    bool isAutoRepeat = false;
    bool operator==(const SurfaceKey&) const = default;
};

using SurfaceInput = std::variant<SurfacePointer, SurfaceKey>;

}  // namespace orvanta::client
