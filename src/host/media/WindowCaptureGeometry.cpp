#include "host/media/WindowCaptureGeometry.h"

#include <cmath>

namespace orvanta::host {

namespace {

double clampedScale(double scale) {
    if (!std::isfinite(scale)) return 1;
    if (scale > 2) return 2;
    if (scale <= 0.1) return 0.1;
    return scale;
}

}  // namespace

WindowCaptureGeometry WindowCaptureGeometry::make(const platform::ScreenRect& windowFrame, std::int64_t outputWidth,
                                                  std::int64_t outputHeight, double scale) {
    const double c = clampedScale(scale);
    const double canvasWidth = windowFrame.width / c;
    const double pointsPerPixel = canvasWidth / static_cast<double>(outputWidth);
    const double canvasHeight = static_cast<double>(outputHeight) * pointsPerPixel;
    const platform::ScreenRect canvas{windowFrame.midX() - canvasWidth / 2, windowFrame.midY() - canvasHeight / 2,
                                      canvasWidth, canvasHeight};
    const platform::ScreenRect source = canvas.intersection(windowFrame);
    const platform::ScreenRect destination{(source.x - canvas.x) / pointsPerPixel,
                                           (source.y - canvas.y) / pointsPerPixel, source.width / pointsPerPixel,
                                           source.height / pointsPerPixel};
    return {windowFrame, canvas, source, destination};
}

}  // namespace orvanta::host
