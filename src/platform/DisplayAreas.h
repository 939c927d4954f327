// The active displays and the part of each that windows may use once panels and docks have taken
// theirs: where moved windows may go.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/DisplayConfiguration.h"

namespace orvanta::platform {

// A display's whole frame and the part of it left to windows, both in global top-left coordinates.
struct DisplayWorkArea {
    DisplayBounds frame;
    DisplayBounds visible;
    bool operator==(const DisplayWorkArea&) const = default;
};

class DisplayAreas {
public:
    virtual ~DisplayAreas() = default;
    // The active displays, the host's own virtual ones marked; empty when they cannot be read.
    virtual std::vector<ArrangedDisplay> activeDisplays() = 0;
    // The display's frame and what of it windows may use; nothing when it is not active.
    virtual std::optional<DisplayWorkArea> workArea(std::uint32_t displayID) = 0;
};

}  // namespace orvanta::platform
