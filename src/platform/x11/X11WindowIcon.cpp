#include "platform/x11/X11WindowIcon.h"

#include <cstddef>

namespace orvanta::platform::x11 {
namespace {

constexpr int kMaxIconSide = 1024;
constexpr int kPreferredIconSide = 256;

}  // namespace

std::optional<IconImage> bestIcon(std::span<const std::uint32_t> values) {
    std::optional<IconImage> best;
    std::size_t at = 0;
    while (values.size() - at >= 2) {
        const auto width = values[at], height = values[at + 1];
        at += 2;
        // Entries follow each other; a client may claim any size, so one that overruns ends the list.
        if (width == 0 || height == 0 || width > kMaxIconSide || height > kMaxIconSide ||
            std::size_t{width} * height > values.size() - at) {
            break;
        }
        const auto count = std::size_t{width} * height;
        const int side = static_cast<int>(width);
        // The largest up to the preferred side, else the smallest above it.
        const bool better = !best || (best->width > kPreferredIconSide && side < best->width) ||
                            (side > best->width && side <= kPreferredIconSide);
        if (better) {
            best = IconImage{side,
                             static_cast<int>(height),
                             {values.begin() + static_cast<std::ptrdiff_t>(at),
                              values.begin() + static_cast<std::ptrdiff_t>(at + count)}};
        }
        at += count;
    }
    return best;
}

}  // namespace orvanta::platform::x11
