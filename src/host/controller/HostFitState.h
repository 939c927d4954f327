// The records window fit and display aspect fit keep on the controller's queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "host/desktop/WindowManager.h"
#include "platform/ScreenSource.h"

namespace orvanta::host {

// A device viewport in pixels.
struct FitViewport {
    int width = 0;
    int height = 0;
    bool operator==(const FitViewport&) const = default;
};

// The window fit in force.
struct WindowFit {
    WindowTarget target;
    platform::Point originalOrigin;  // restored when the fit ends
    Rect appliedFrame;
    FitViewport viewport;
    std::optional<platform::ShareableWindow> scWindow;  // the capturable window; the pipeline captures it
    bool suspended = false;                             // kept but neither applied nor captured
    bool operator==(const WindowFit&) const = default;
};

// A fit waiting for a virtual display, a resume or the end of a pause.
struct PendingFit {
    WindowTarget target;
    FitViewport viewport;
    std::optional<platform::ShareableWindow> knownWindow;
    std::optional<platform::Point> inheritedOriginal;  // carried over from a suspended fit
    bool operator==(const PendingFit&) const = default;
};

// A window display aspect fit moved, with the frame to put it back at.
struct AspectRestoreRecord {
    AspectWindow original;  // in the coordinates of the saved physical arrangement
    std::optional<AXElement> axWindow;
    bool positionOnly = false;
    bool operator==(const AspectRestoreRecord&) const = default;
};

// Why a virtual display is wanted; logged as the text of `purposeName`.
enum class VirtualDisplayPurpose { highRes, windowFit, aspectFit };

constexpr std::string_view purposeName(VirtualDisplayPurpose purpose) {
    switch (purpose) {
        case VirtualDisplayPurpose::highRes:
            return "high-res";
        case VirtualDisplayPurpose::windowFit:
            return "window-fit";
        case VirtualDisplayPurpose::aspectFit:
            return "aspect-fit";
    }
    return "";
}

}  // namespace orvanta::host
