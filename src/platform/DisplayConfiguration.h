// The display arrangement: which displays are active, where each sits in the global coordinate
// space and which one is main, and moving displays together.
#pragma once

#include <cstdint>
#include <expected>
#include <utility>
#include <vector>

#include "platform/VirtualDisplayFactory.h"

namespace orvanta::platform {

struct ArrangedDisplay {
    std::uint32_t id = 0;
    DisplayBounds bounds;
    bool ownVirtual = false;  // carries the host's mark
    bool operator==(const ArrangedDisplay&) const = default;
};

// The step of a configuration that failed, with the system's result code.
struct DisplayConfigurationError {
    enum class Step { begin, origin, complete };
    Step step = Step::begin;
    std::uint32_t displayID = 0;  // the display whose origin was refused
    int code = 0;
    bool operator==(const DisplayConfigurationError&) const = default;
};

struct DisplayPlacement {
    std::uint32_t id = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    bool operator==(const DisplayPlacement&) const = default;
};

class DisplayConfiguration {
public:
    virtual ~DisplayConfiguration() = default;
    // The active displays in the system's order; empty when they cannot be read.
    virtual std::vector<ArrangedDisplay> activeDisplays() = 0;
    // The main display; 0 when there is none.
    virtual std::uint32_t mainDisplay() = 0;
    // Moves every listed display to its origin in one configuration. The display placed at (0, 0)
    // becomes main, as the origin of the global space is the main display's top-left corner.
    virtual std::expected<void, DisplayConfigurationError> setOrigins(
        const std::vector<DisplayPlacement>& placements) = 0;
};

}  // namespace orvanta::platform
