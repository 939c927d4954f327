// The application's one top-level window as the window state drives it, free of any toolkit: its
// frame and content size, zoom (maximised), full screen with a will/did pair of notifications in
// each direction, miniaturising, bringing it forward and the video surface it shows. Sizes are in
// points, top-left origin. The window state observes it by setting the callbacks and stops by
// clearing them.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "client/ui/SideFrameMemory.h"
#include "client/viewer/ViewerHandoffs.h"

namespace orvanta::client {

class AppWindow {
public:
    virtual ~AppWindow() = default;

    // The whole frame, decorations included; the content is what the window's own views get.
    virtual platform::Rect frame() const = 0;
    virtual Size contentSize() const = 0;
    // The usable area of the window's screen; nothing when the window is on no screen.
    virtual std::optional<platform::Rect> screenVisibleFrame() const = 0;
    virtual void setFrame(const platform::Rect& frame) = 0;

    virtual bool isVisible() const = 0;
    virtual bool isMiniaturized() const = 0;
    virtual bool isZoomed() const = 0;
    virtual bool isFullScreen() const = 0;

    virtual void zoom() = 0;
    // Enters or leaves full screen; the notifications follow, also for changes made elsewhere.
    virtual void toggleFullScreen() = 0;
    virtual void deminiaturize() = 0;
    // Activates the application and makes the window key and frontmost.
    virtual void activate() = 0;

    // The video surface in this window, if it shows one, and making it take keyboard focus.
    virtual std::shared_ptr<const MeasuredView> videoSurface() const = 0;
    virtual void focusVideoSurface() = 0;

    // Notifications, on the main thread.
    std::function<void()> onWillClose;
    std::function<void()> onResizeOrMove;
    std::function<void()> onWillEnterFullScreen;
    std::function<void()> onDidEnterFullScreen;
    std::function<void()> onWillExitFullScreen;
    std::function<void()> onDidExitFullScreen;
};

}  // namespace orvanta::client
