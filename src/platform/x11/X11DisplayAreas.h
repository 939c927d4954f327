// Displays and their work areas on X11: the active RandR monitors, and the work area the window
// manager publishes for the current desktop (_NET_WORKAREA) clipped to each monitor.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "platform/DisplayAreas.h"
#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {

class X11DisplayAreas final : public DisplayAreas {
public:
    // `display` empty means $DISPLAY.
    static std::expected<std::unique_ptr<X11DisplayAreas>, std::string> open(const std::string& display = {});

    std::vector<ArrangedDisplay> activeDisplays() override;
    std::optional<DisplayWorkArea> workArea(std::uint32_t displayID) override;

private:
    explicit X11DisplayAreas(std::unique_ptr<XConnection> x) : x_(std::move(x)) {}

    std::optional<DisplayBounds> desktopWorkArea();

    std::unique_ptr<XConnection> x_;
};

}  // namespace orvanta::platform::x11
