#include "host/media/CaptureSizing.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace orvanta::host {

namespace {

constexpr double kMacroblockPixels = static_cast<double>(kMaxMacroblocks) * 256;
constexpr double kLimitShrink = 0.995;

std::optional<CaptureSize> usableViewport(const SizingRequest& request) {
    if (request.viewport && request.viewport->width >= 1 && request.viewport->height >= 1) return request.viewport;
    return std::nullopt;
}

CaptureSize scaled(double w, double h, double s) { return {evenDimension(w * s), evenDimension(h * s)}; }

CaptureSizing finish(double w, double h, double s, const SizingRequest& request,
                     std::optional<CaptureSize> physicalSource, const AspectOutputSizer& sizer, const CaptureLog& log) {
    const CaptureSize output = scaled(w, h, s);
    if (!request.minimum) return {limitMacroblocks(w, h, s, output, log), std::nullopt};
    return configureWindowsOutput(output, *request.minimum, physicalSource, sizer);
}

}  // namespace

std::int64_t evenDimension(double x) {
    const double truncated = std::trunc(x);
    if (!(truncated >= 2)) return 2;
    const auto whole = static_cast<std::int64_t>(truncated);
    return whole - whole % 2;
}

std::int64_t macroblockCount(CaptureSize size) { return ((size.width + 15) / 16) * ((size.height + 15) / 16); }

CaptureSize limitMacroblocks(double w, double h, double s, CaptureSize output, const CaptureLog& log) {
    if (macroblockCount(output) <= kMaxMacroblocks) return output;
    double k = std::min(std::sqrt(kMacroblockPixels / (w * h)), s);
    CaptureSize limited = scaled(w, h, k);
    while (macroblockCount(limited) > kMaxMacroblocks) {
        k *= kLimitShrink;
        limited = scaled(w, h, k);
    }
    if (log) {
        log("capture: limiting " + std::to_string(output.width) + "x" + std::to_string(output.height) + " to " +
            std::to_string(limited.width) + "x" + std::to_string(limited.height) + " (encoder max " +
            std::to_string(kMaxMacroblocks) + " macroblocks)");
    }
    return limited;
}

CaptureSizing configureWindowsOutput(CaptureSize configured, CaptureSize minimum,
                                     std::optional<CaptureSize> physicalSource, const AspectOutputSizer& sizer) {
    constexpr double kWindowsOutputScale = 2.0;
    const auto outputPixels =
        sizer ? sizer(configured.width, configured.height, kWindowsOutputScale, minimum) : std::optional<CaptureSize>{};
    if (!outputPixels) return {configured, std::nullopt};
    if (!physicalSource) return {*outputPixels, std::nullopt};
    const auto ow = static_cast<double>(outputPixels->width);
    const auto oh = static_cast<double>(outputPixels->height);
    const auto sw = static_cast<double>(physicalSource->width);
    const auto sh = static_cast<double>(physicalSource->height);
    const double g = std::min(ow / sw, oh / sh);
    const platform::ScreenRect placed{(ow - sw * g) / 2, (oh - sh * g) / 2, sw * g, sh * g};
    return {*outputPixels, platform::ScreenRect{placed.x / ow, placed.y / oh, placed.width / ow, placed.height / oh}};
}

CaptureSizing sizeDisplayCapture(double w, double h, const SizingRequest& request, const AspectOutputSizer& sizer,
                                 const CaptureLog& log) {
    if (request.aspectOutput) return {*request.aspectOutput, std::nullopt};
    const auto viewport = usableViewport(request);
    const double boxWidth = viewport ? static_cast<double>(viewport->width) : kFitBoxWidth;
    const double boxHeight = viewport ? static_cast<double>(viewport->height) : kFitBoxHeight;
    const double s = std::min({boxWidth / w, boxHeight / h, 1.0});
    const CaptureSize physical{static_cast<std::int64_t>(w), static_cast<std::int64_t>(h)};
    return finish(w, h, s, request, physical, sizer, log);
}

CaptureSizing sizeWindowCapture(double w, double h, const SizingRequest& request, const AspectOutputSizer& sizer,
                                const CaptureLog& log) {
    const auto viewport = usableViewport(request);
    if (viewport) {
        w = static_cast<double>(viewport->width);
        h = static_cast<double>(viewport->height);
    }
    const double f = std::min(kWindowMaxLongSide / std::max(w, h), 1.0);
    w *= f;
    h *= f;
    const double s =
        viewport ? std::min({static_cast<double>(viewport->width) / w, static_cast<double>(viewport->height) / h, 1.0})
                 : std::min({kFitBoxWidth / w, kFitBoxHeight / h, 1.0});
    return finish(w, h, s, request, std::nullopt, sizer, log);
}

}  // namespace orvanta::host
