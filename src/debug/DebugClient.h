// What the client automation drives: the client model, its session and the one window, seen
// through one narrow seam so the sequence and its checks run against a fake on virtual time. The
// application's adapter answers from the real model and widgets. Main executor only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "client/directory/HostListStore.h"
#include "client/session/ConnectionManager.h"
#include "protocol/ControlMessages.h"

namespace orvanta::debug {

using State = client::ConnectionManager::State;

enum class Side { host, client };

struct SelectedHost {
    std::string displayName;
    client::HostListStore::Kind kind = client::HostListStore::Kind::mac;
    std::string baseURL;
    bool operator==(const SelectedHost&) const = default;
};

// The video surface while it is in a window: its bounds in points, its window's backing scale and
// its display layer's status (0 before rendering, 1 rendering, 2 failed).
struct SurfaceReport {
    double width = 0;
    double height = 0;
    double scale = 1;
    int layerStatus = 0;
    bool operator==(const SurfaceReport&) const = default;
};

// A rectangle in global screen coordinates, origin at the top left.
struct ScreenRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const ScreenRect&) const = default;
};

// Where the window's top strip is on the screens: its frame, the global y of the top of its
// content area, and the main display's bounds (nothing when there is no screen).
struct BarGeometry {
    ScreenRect frame;
    double contentTop = 0;
    std::optional<ScreenRect> mainDisplay;
};

struct NormalizedPoint {
    double x = 0;
    double y = 0;
    bool operator==(const NormalizedPoint&) const = default;
};

// The point at `fraction` of the window's width, 18 points below the top of its content area, as a
// normalized position on the main display with the origin at the top left.
std::optional<NormalizedPoint> normalizedOnBar(const BarGeometry& bar, double fraction);

// A local event the input check's monitor consumed.
struct ObservedEvent {
    enum class Type { leftDown, leftUp, rightDown, dragged, keyDown, scroll };
    Type type = Type::leftDown;
    int clickCount = 0;
    double x = 0;  // in the window
    double y = 0;
    int keyCode = 0;      // the client viewer's key code
    double scrollDy = 0;  // vertical scrolling delta
    bool operator==(const ObservedEvent&) const = default;
};

std::string describe(const ObservedEvent& event);

class DebugClient {
public:
    virtual ~DebugClient() = default;

    // ---- The saved hosts and pairing.
    virtual std::vector<std::string> savedBaseURLs() const = 0;
    virtual std::optional<SelectedHost> selectedHost() const = 0;
    // `done` runs later on the main executor, or at once when a pairing is already running.
    virtual void addHost(const std::string& address, const std::string& code, client::HostListStore::Kind kind,
                         std::function<void(bool)> done) = 0;
    virtual std::string errorMessage() const = 0;

    // ---- The session.
    virtual void connect() = 0;
    virtual void disconnect() = 0;
    virtual State state() const = 0;
    virtual client::StreamSize streamSize() const = 0;
    virtual int fps() const = 0;
    virtual void hideConnectScreen() = 0;
    virtual std::optional<protocol::CursorPosition> cursor() const = 0;
    virtual std::optional<std::string> inputNotice() const = 0;
    virtual void sendPointer(const std::string& action, double x, double y, std::optional<double> dx = {},
                             std::optional<double> dy = {}) = 0;
    virtual void sendKey(const std::string& name) = 0;
    virtual void setLocalInputSuspended(bool suspended) = 0;

    // ---- Display aspect: the active entry and the target entry (active while the state is
    // active, else the selected one).
    virtual std::optional<client::HostListStore::Entry> activeEntry() const = 0;
    virtual std::optional<client::HostListStore::Entry> targetEntry() const = 0;
    virtual bool isSelfConnection() const = 0;
    virtual double aspectScale() const = 0;
    virtual void setAspectFit(bool on) = 0;
    virtual void setAspectScale(double scale) = 0;

    // ---- The window and the video surface.
    virtual std::optional<SurfaceReport> surface() const = 0;
    virtual std::optional<ScreenRect> windowFrame() const = 0;
    virtual void setWindowFrame(const ScreenRect& frame) = 0;
    virtual std::optional<BarGeometry> barGeometry() const = 0;
    virtual void show(Side side) = 0;
    virtual void bringToFront() = 0;
    virtual void terminate() = 0;
    // Consumes the monitored local events, recording each, until stopped.
    virtual void startEventMonitor(std::function<void(const ObservedEvent&)> record) = 0;
    virtual void stopEventMonitor() = 0;
};

}  // namespace orvanta::debug
