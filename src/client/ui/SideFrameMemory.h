// The one window's two sides, and the rules for its frame: the size each side gets, the sizes and
// zoomed states remembered when the user leaves a side, and how a frame is kept on the usable part
// of the screen. The origin is at the top left, y growing downwards, so a frame's top is its
// smallest y.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string_view>

#include "platform/WindowSystem.h"

namespace orvanta::client {

enum class WindowSide { host, client };

inline std::string_view rawValue(WindowSide side) { return side == WindowSide::host ? "host" : "client"; }

// Frames are the window system's: the whole window with its decorations, in global coordinates.
using platform::Point;
using platform::Size;

inline Point topLeft(const platform::Rect& frame) { return {frame.x, frame.y}; }
inline Size sizeOf(const platform::Rect& frame) { return {frame.width, frame.height}; }

struct SideFrameMemory {
    static constexpr Size kClientDefaultContent{1280, 760};
    static constexpr Size kClientMinimumContent{360, 300};

    std::map<WindowSide, Size> frameSizes;  // whole frames, chrome included
    std::set<WindowSide> zoomedSides;

    // Records the side being left; a missing or empty size keeps the earlier one.
    void leave(WindowSide side, std::optional<Size> frameSize, bool zoomed);

    // The frame size for a side; nothing for the host side when neither a size is remembered nor a
    // usable host content size is given (the caller keeps the current size).
    std::optional<Size> targetFrameSize(WindowSide side, Size chrome, std::optional<Size> hostContentSize,
                                        std::optional<Size> defaultHostContentSize) const;

    // A frame of `size` with its top left at `topLeft`, cut to and moved onto `visible` when that
    // has an area; the left edge and the top win over the right and the bottom.
    static platform::Rect placedFrame(Size size, Point topLeft, std::optional<platform::Rect> visible);

    bool operator==(const SideFrameMemory&) const = default;
};

}  // namespace orvanta::client
