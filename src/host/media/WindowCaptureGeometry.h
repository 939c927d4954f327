// Where a captured window sits in the output picture: which part of the screen the picture stands
// for, which part of the window is shown, and where it is drawn.
#pragma once

#include <cstdint>

#include "platform/ScreenSource.h"

namespace orvanta::host {

struct WindowCaptureGeometry {
    platform::ScreenRect windowFrame;      // global screen points
    platform::ScreenRect canvasRect;       // the screen area, centred on the window, the whole picture stands for
    platform::ScreenRect sourceRect;       // canvas ∩ window, screen points
    platform::ScreenRect destinationRect;  // where sourceRect is drawn, output pixels

    // `scale` above 1 shows a centred part of the window enlarged, below 1 the whole window smaller
    // on black; it is clamped to 0.1...2, and a non-finite scale counts as 1.
    static WindowCaptureGeometry make(const platform::ScreenRect& windowFrame, std::int64_t outputWidth,
                                      std::int64_t outputHeight, double scale);

    bool operator==(const WindowCaptureGeometry&) const = default;
};

}  // namespace orvanta::host
