// Black windows over the local screens. A cover starts out invisible, so that capture can exclude
// it before anyone sees it, and turns black only when revealed. Covers never take input.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/VirtualDisplayFactory.h"

namespace orvanta::platform {

struct CoverScreen {
    std::uint32_t displayID = 0;
    DisplayBounds frame;
    bool hostVirtualDisplay = false;  // one of the host's own virtual displays
    bool operator==(const CoverScreen&) const = default;
};

class BlackoutCovers {
public:
    virtual ~BlackoutCovers() = default;

    virtual std::vector<CoverScreen> screens() = 0;
    // `changed` runs on any thread whenever the screens change; set once.
    virtual void observeScreens(std::function<void()> changed) = 0;
    // An invisible cover over `frame`; its window id, which capture excludes, or none.
    virtual std::optional<std::uint32_t> createCover(const DisplayBounds& frame) = 0;
    virtual void moveCover(std::uint32_t id, const DisplayBounds& frame) = 0;
    virtual void revealCover(std::uint32_t id) = 0;
    virtual void removeCover(std::uint32_t id) = 0;
};

}  // namespace orvanta::platform
