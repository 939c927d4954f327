#include "debug/DebugClient.h"

namespace orvanta::debug {
namespace {

// Just under the title bar, on the window's top strip.
constexpr double kBarOffsetPoints = 18;

std::string truncated(double value) { return std::to_string(static_cast<std::int64_t>(value)); }

}  // namespace

std::optional<NormalizedPoint> normalizedOnBar(const BarGeometry& bar, double fraction) {
    if (!bar.mainDisplay) return std::nullopt;
    const ScreenRect& main = *bar.mainDisplay;
    return NormalizedPoint{(bar.frame.x + fraction * bar.frame.width - main.x) / main.width,
                           (bar.contentTop + kBarOffsetPoints - main.y) / main.height};
}

std::string describe(const ObservedEvent& event) {
    using Type = ObservedEvent::Type;
    switch (event.type) {
        case Type::leftDown:
            return "leftDown(click=" + std::to_string(event.clickCount) + ") @" + truncated(event.x) + "," +
                   truncated(event.y);
        case Type::leftUp:
            return "leftUp(click=" + std::to_string(event.clickCount) + ")";
        case Type::rightDown:
            return "rightDown";
        case Type::dragged:
            return "dragged";
        case Type::keyDown:
            return "keyDown(code=" + std::to_string(event.keyCode) + ")";
        case Type::scroll:
            return "scroll(dy=" + truncated(event.scrollDy) + ")";
    }
    return {};
}

}  // namespace orvanta::debug
