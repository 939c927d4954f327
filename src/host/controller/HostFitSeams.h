// The controller's view of the windows a window fit places, captures and follows: finding them,
// reading and moving their frames, raising them, watching their application, and where the fit's
// lookups and watcher run. Tests hand the controller a fake.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Executor.h"
#include "host/desktop/WindowFollow.h"
#include "host/desktop/WindowManager.h"
#include "platform/WindowSystem.h"

namespace orvanta::host {

// Reports the fitted application's window events until it is destroyed.
class HostFitObservation {
public:
    virtual ~HostFitObservation() = default;
};

class HostFitWindows {
public:
    using FollowEvent = WindowFollowObserver::Event;

    virtual ~HostFitWindows() = default;

    // Where window lookups and the fit watcher run, off the controller's queue.
    virtual base::Executor& tasks() = 0;
    // Whether other applications' windows can be read and moved at all: a window manager answers.
    virtual bool trusted() = 0;

    // Every capturable window, on screen or not; nothing when the listing failed.
    virtual std::optional<std::vector<platform::WindowDescription>> windows() = 0;
    // The capturable on-screen window with that number.
    virtual std::optional<platform::WindowDescription> window(std::uint32_t id) = 0;
    // The window server's current bounds of one window.
    virtual std::optional<Rect> windowServerBounds(std::uint32_t id) = 0;

    // The frontmost application's window, not one of the host's own and at least 100 by 100.
    virtual std::optional<WindowTarget> frontmostTarget() = 0;
    // The movable window behind a capturable one; for a fit only a layer-0 window of another
    // process, at least 120 by 100.
    virtual std::optional<WindowTarget> target(const platform::WindowDescription& window, bool forFit) = 0;
    // The process, with its start time when it can be read.
    virtual WindowOwner owner(std::int32_t pid) = 0;
    // The movable window of `owner` that the window server knows as `id` at `bounds`.
    virtual std::optional<WindowTarget> resolveTarget(const WindowOwner& owner, std::string_view appName,
                                                      std::uint32_t id, const Rect& bounds) = 0;
    // Why the window is not a standard one (minimised, a dialog, unreadable), nothing when it is.
    virtual std::optional<std::string> nonstandardReason(const AXElement& window) = 0;

    virtual std::optional<Rect> readFrame(const AXElement& window) = 0;
    // Asks for the window's top-left corner; the window manager may ignore it. With `awaitApplied`
    // it waits a little for the window manager to apply it, so that the next read sees it.
    virtual void setPosition(const AXElement& window, platform::Point origin, bool awaitApplied) = 0;
    virtual std::optional<std::uint32_t> readWindowID(const AXElement& window) = 0;
    // Lets a stopped owner run again, waiting a little for it.
    virtual void resumeIfStopped(const WindowTarget& target) = 0;
    // Activates the window's application and brings the window to the front.
    virtual void raise(const WindowTarget& target) = 0;

    // The full bounds of a display; 0 names the main display.
    virtual std::optional<Rect> displayBounds(std::uint32_t displayID) = 0;

    // Watches the target's application for new and focused windows and the target for its end,
    // with events delivered from any thread; nothing when it cannot be watched.
    virtual std::unique_ptr<HostFitObservation> observe(const WindowTarget& target,
                                                        std::function<void(const FollowEvent&)> onChange) = 0;
};

}  // namespace orvanta::host
