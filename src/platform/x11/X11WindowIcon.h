// Choosing the picture to show for a window from the icons its client offers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/WindowSystem.h"

namespace orvanta::platform::x11 {

// The icon to draw from a _NET_WM_ICON value: the largest of at most 256 pixels a side, else the
// smallest larger one; nothing when no entry is whole and at most 1024 pixels a side.
std::optional<IconImage> bestIcon(std::span<const std::uint32_t> values);

}  // namespace orvanta::platform::x11
