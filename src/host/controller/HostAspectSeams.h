// Window migration's view of the desktop: the windows display aspect fit moves onto the virtual
// display and puts back, the steps that move them, the displays they sit on, and the frames
// recorded for restoration kept on disk so that a later start can put the windows back.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Executor.h"
#include "host/desktop/AspectFramesWriter.h"
#include "host/desktop/WindowManager.h"

namespace orvanta::host {

// An active display of the machine, not one of the host's own virtual displays.
struct AspectScreen {
    std::uint32_t id = 0;
    Rect bounds;  // global coordinates, origin at the top left
    bool operator==(const AspectScreen&) const = default;
};

// A display's whole frame and the part of it left to windows once panels and docks have taken
// theirs, both in global top-left coordinates.
struct DisplayArea {
    Rect frame;
    Rect visible;
    bool operator==(const DisplayArea&) const = default;
};

// Its window queue ("zq2.aspect.windows") runs the moves and restore checks as well as the writes.
class HostAspectWindows : public AspectFramesStore {
public:
    using IsCurrent = WindowManager::IsCurrent;
    using Visitor = WindowManager::Visitor;

    virtual ~HostAspectWindows() = default;

    // On-screen normal windows of other applications large enough to move; nothing when the
    // window list cannot be read.
    virtual std::optional<std::vector<AspectWindow>> aspectWindows() = 0;
    // Every normal window of other applications, on- and off-screen.
    virtual std::optional<std::vector<AspectWindow>> aspectEvacuationWindows() = 0;
    virtual std::optional<AspectWindow> aspectWindow(std::uint32_t id) = 0;
    // The windows whose middle lies inside `area`, except `excluding`, with their elements.
    virtual void visitWindows(const Rect& area, const std::set<std::uint32_t>& excluding, const Visitor& visitor) = 0;

    virtual AspectResolution resolveAspectWindow(const AspectWindow& window, const IsCurrent& isCurrent) = 0;
    virtual AspectFrameResult applyAspectFrame(const AXElement& element, const Rect& expected, bool positionOnly,
                                               bool requireInitialMove, const IsCurrent& isCurrent) = 0;
    virtual std::expected<Rect, AXFailure> readFrame(const AXElement& element) = 0;
    // Single writes, without reading back.
    virtual void writePosition(const AXElement& element, const platform::Point& origin) = 0;
    virtual void writeSize(const AXElement& element, const platform::Size& size) = 0;

    // The active displays that are not the host's own, and any display's area.
    virtual std::vector<AspectScreen> physicalScreens() = 0;
    virtual std::optional<DisplayArea> displayArea(std::uint32_t displayID) = 0;
};

}  // namespace orvanta::host
