#include "platform/x11/X11DisplayAreas.h"

#include <algorithm>

#include "platform/x11/X11VirtualDisplay.h"

namespace orvanta::platform::x11 {

namespace {

constexpr std::uint32_t kMaxWorkAreaLongs = 4 * 64;  // four values for each of up to 64 desktops

DisplayBounds intersection(const DisplayBounds& a, const DisplayBounds& b) {
    const std::int64_t left = std::max(a.x, b.x), top = std::max(a.y, b.y);
    const std::int64_t right = std::min(a.x + a.width, b.x + b.width);
    const std::int64_t bottom = std::min(a.y + a.height, b.y + b.height);
    if (right <= left || bottom <= top) return {static_cast<std::int32_t>(left), static_cast<std::int32_t>(top), 0, 0};
    return {static_cast<std::int32_t>(left), static_cast<std::int32_t>(top), right - left, bottom - top};
}

}  // namespace

std::expected<std::unique_ptr<X11DisplayAreas>, std::string> X11DisplayAreas::open(const std::string& display) {
    auto x = XConnection::open(display);
    if (!x) return std::unexpected(x.error());
    return std::unique_ptr<X11DisplayAreas>(new X11DisplayAreas(std::move(*x)));
}

std::vector<ArrangedDisplay> X11DisplayAreas::activeDisplays() { return activeMonitors(*x_); }

// The work area spans every monitor; clipped to one, it leaves out the panels on that monitor.
std::optional<DisplayWorkArea> X11DisplayAreas::workArea(std::uint32_t displayID) {
    if (displayID == 0) return std::nullopt;
    for (const auto& display : activeMonitors(*x_)) {
        if (display.id != displayID) continue;
        const auto work = desktopWorkArea();
        return DisplayWorkArea{display.bounds, work ? intersection(*work, display.bounds) : display.bounds};
    }
    return std::nullopt;
}

// The current desktop's work area, as the window manager publishes it.
std::optional<DisplayBounds> X11DisplayAreas::desktopWorkArea() {
    const auto areas = rootCardinals(*x_, x_->root(), "_NET_WORKAREA", XCB_ATOM_CARDINAL, kMaxWorkAreaLongs);
    const auto current = rootCardinals(*x_, x_->root(), "_NET_CURRENT_DESKTOP", XCB_ATOM_CARDINAL, 1);
    const std::size_t desktop = current.empty() ? 0 : current.front();
    if (areas.size() < (desktop + 1) * 4) return std::nullopt;
    const auto* area = &areas[desktop * 4];
    return DisplayBounds{static_cast<std::int32_t>(area[0]), static_cast<std::int32_t>(area[1]), area[2], area[3]};
}

}  // namespace orvanta::platform::x11
