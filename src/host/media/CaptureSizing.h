// The size of the picture a capture produces: fitted to the client's view, within the encoder's
// macroblock limit, or as the Windows client's letterboxed output.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/ScreenSource.h"

namespace orvanta::host {

struct CaptureSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool operator==(const CaptureSize&) const = default;
};

using CaptureLog = std::function<void(std::string_view)>;

// H.264's level limit for one frame.
inline constexpr std::int64_t kMaxMacroblocks = 34'560;
inline constexpr double kFitBoxWidth = 2560;
inline constexpr double kFitBoxHeight = 1080;
inline constexpr double kWindowMaxLongSide = 4096;

// x truncated toward zero, then rounded down to even; at least 2.
std::int64_t evenDimension(double x);
std::int64_t macroblockCount(CaptureSize size);

// The output pixels of the virtual-display size for (width, height) at `scale` with the
// `minimum`, or nothing when there is no such size.
using AspectOutputSizer = std::function<std::optional<CaptureSize>(std::int64_t width, std::int64_t height,
                                                                   double scale, std::optional<CaptureSize> minimum)>;

struct CaptureSizing {
    CaptureSize output;
    // Where the source lies in a letterboxed output, in 0...1 of the picture.
    std::optional<platform::ScreenRect> displayContentRect;
    bool operator==(const CaptureSizing&) const = default;
};

struct SizingRequest {
    std::optional<CaptureSize> viewport = std::nullopt;  // used only when both sides are at least 1
    std::optional<CaptureSize> aspectOutput =
        std::nullopt;                                   // exact size; display captures of the requested display only
    std::optional<CaptureSize> minimum = std::nullopt;  // selects the Windows-output sizing
};

// Shrinks `output` of the source (w, h) at scale s until it fits the macroblock limit, logging
// the change.
CaptureSize limitMacroblocks(double w, double h, double s, CaptureSize output, const CaptureLog& log);

// The Windows client's output: the virtual-display output size for `configured` at scale 2 with
// the minimum; with a physical source, also where that source lies in it when scaled to fit.
CaptureSizing configureWindowsOutput(CaptureSize configured, CaptureSize minimum,
                                     std::optional<CaptureSize> physicalSource, const AspectOutputSizer& sizer);

// A display of (w, h) pixels.
CaptureSizing sizeDisplayCapture(double w, double h, const SizingRequest& request, const AspectOutputSizer& sizer,
                                 const CaptureLog& log);
// A window whose content is (w, h) points.
CaptureSizing sizeWindowCapture(double w, double h, const SizingRequest& request, const AspectOutputSizer& sizer,
                                const CaptureLog& log);

}  // namespace orvanta::host
