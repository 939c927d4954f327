#include "host/controller/HostAspectAdapters.h"

namespace orvanta::host {

namespace {

Rect rectOf(const platform::DisplayBounds& bounds) {
    return {static_cast<double>(bounds.x), static_cast<double>(bounds.y), static_cast<double>(bounds.width),
            static_cast<double>(bounds.height)};
}

}  // namespace

void SystemAspectWindows::writePosition(const AXElement& element, const platform::Point& origin) {
    system_.setAttribute(element, "AXPosition", origin);
}

void SystemAspectWindows::writeSize(const AXElement& element, const platform::Size& size) {
    system_.setAttribute(element, "AXSize", size);
}

std::vector<AspectScreen> SystemAspectWindows::physicalScreens() {
    std::vector<AspectScreen> screens;
    for (const auto& display : displays_->activeDisplays()) {
        if (!display.ownVirtual) screens.push_back({display.id, rectOf(display.bounds)});
    }
    return screens;
}

std::optional<DisplayArea> SystemAspectWindows::displayArea(std::uint32_t displayID) {
    const auto area = displays_->workArea(displayID);
    if (!area) return std::nullopt;
    return DisplayArea{rectOf(area->frame), rectOf(area->visible)};
}

}  // namespace orvanta::host
