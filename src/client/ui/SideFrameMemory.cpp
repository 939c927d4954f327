#include "client/ui/SideFrameMemory.h"

#include <algorithm>

namespace orvanta::client {
namespace {

Size atLeast(Size size, Size minimum) {
    return {std::max(size.width, minimum.width), std::max(size.height, minimum.height)};
}

Size plus(Size a, Size b) { return {a.width + b.width, a.height + b.height}; }

bool hasArea(Size size) { return size.width > 0 && size.height > 0; }

}  // namespace

void SideFrameMemory::leave(WindowSide side, std::optional<Size> frameSize, bool zoomed) {
    if (zoomed) {
        zoomedSides.insert(side);
    } else {
        zoomedSides.erase(side);
    }
    if (frameSize && hasArea(*frameSize)) frameSizes[side] = *frameSize;
}

std::optional<Size> SideFrameMemory::targetFrameSize(WindowSide side, Size chrome, std::optional<Size> hostContentSize,
                                                     std::optional<Size> defaultHostContentSize) const {
    const auto remembered = frameSizes.find(side);
    const std::optional<Size> stored =
        remembered == frameSizes.end() ? std::nullopt : std::optional<Size>(remembered->second);
    if (side == WindowSide::client) {
        return atLeast(stored.value_or(plus(chrome, kClientDefaultContent)), plus(chrome, kClientMinimumContent));
    }
    if (!hostContentSize || !hasArea(*hostContentSize)) return stored;
    const Size first = plus(chrome, defaultHostContentSize.value_or(*hostContentSize));
    return atLeast(stored.value_or(first), plus(chrome, *hostContentSize));
}

platform::Rect SideFrameMemory::placedFrame(Size size, Point topLeft, std::optional<platform::Rect> visible) {
    platform::Rect frame{topLeft.x, topLeft.y, size.width, size.height};
    if (!visible || visible->width <= 0 || visible->height <= 0) return frame;
    frame.width = std::min(frame.width, visible->width);
    frame.height = std::min(frame.height, visible->height);
    const double visibleRight = visible->x + visible->width;
    const double visibleBottom = visible->y + visible->height;
    if (frame.x + frame.width > visibleRight) frame.x = visibleRight - frame.width;
    if (frame.x < visible->x) frame.x = visible->x;
    if (frame.y + frame.height > visibleBottom) frame.y = visibleBottom - frame.height;
    if (frame.y < visible->y) frame.y = visible->y;
    return frame;
}

}  // namespace orvanta::client
