// What display aspect fit and the virtual display need of the display system: the active displays
// and which one is main, moving displays' origins together, and making and releasing the one
// virtual display on its own queue.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "base/Executor.h"
#include "host/media/VirtualDisplay.h"
#include "platform/DisplayConfiguration.h"
#include "platform/WindowSystem.h"

namespace orvanta::host {

// One active display, in global coordinates (origin at the top left of the main display).
struct HostDisplay {
    std::uint32_t id = 0;
    platform::Rect bounds;
    PixelSize pixels;         // its current mode; 0x0 when the mode cannot be read
    bool ownVirtual = false;  // one of the host's own virtual displays
    bool operator==(const HostDisplay&) const = default;
};

// Display origins in list order, as an arrangement is saved and applied.
using DisplayOrigins = std::vector<std::pair<std::uint32_t, platform::Point>>;

using platform::DisplayConfigurationError;

class HostDisplays {
public:
    virtual ~HostDisplays() = default;

    // Whether this system can make virtual displays at all.
    virtual bool virtualDisplaysAvailable() = 0;
    // The active displays in the system's order; empty when the list cannot be read.
    virtual std::vector<HostDisplay> activeDisplays() = 0;
    // The main display (the one at the origin, which the menu bar and new windows go to); 0 when none.
    virtual std::uint32_t mainDisplayID() = 0;
    // Moves every listed display to its origin in one configuration for the login session; the
    // display placed at (0, 0) becomes main. A failure leaves the arrangement as the system left it.
    virtual std::expected<void, DisplayConfigurationError> applyOrigins(
        const std::vector<platform::DisplayPlacement>& origins) = 0;
    // Blocks the calling queue between two looks at the main display.
    virtual void waitForMainDisplay(base::Micros delay) = 0;

    // The queue "zq2.vdisplay": creation runs on it, release and the check after it are queued on it.
    virtual base::Executor& displayQueue() = 0;
    // Blocks; call it on displayQueue(). None on any failure, logged by the display service.
    virtual std::shared_ptr<VirtualDisplay> create(const DisplaySize& size) = 0;
    // Removes the display asynchronously on displayQueue().
    virtual void release(std::shared_ptr<VirtualDisplay> display) = 0;
};

}  // namespace orvanta::host
