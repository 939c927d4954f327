// What the client model needs of the screens around it, without any toolkit: the measurements of
// the video surface and the window, the shared window state and the debug automation. The window
// state and the debug automation come later; until they are installed their defaults do nothing.
#pragma once

#include <optional>
#include <string>

#include "client/session/ConnectionManager.h"

namespace orvanta::client {

// A view or window as the model measures it. The widget owns it; the model holds it weakly, so a
// widget that is gone simply reads as absent.
class MeasuredView {
public:
    virtual ~MeasuredView() = default;
    // Bounds in points and the backing scale of the window it is in; nothing while it is in no
    // window. A window answers its content area.
    virtual std::optional<ViewportMetrics> metrics() const = 0;
};

// The shared window state's part in a session: immersive full screen.
class WindowStateHandoff {
public:
    virtual ~WindowStateHandoff() = default;
    // The first frame of a session is on screen; `autoEnter` asks for immersive full screen.
    virtual void videoBecameAvailable(bool /*autoEnter*/) {}
    virtual void endImmersiveSession() {}
};

// The debug automation's log and frame counter; inactive, it writes nothing.
class DebugHandoff {
public:
    virtual ~DebugHandoff() = default;
    virtual bool isActive() const { return false; }
    virtual void log(const std::string& /*line*/) {}
    virtual void frameShown() {}
};

}  // namespace orvanta::client
