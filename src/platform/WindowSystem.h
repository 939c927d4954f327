// The desktop's windows as the host sees them: a window-server list of window descriptions and an
// accessibility view of applications and their windows, with attribute reads and writes, actions
// and notifications. The window-management logic above it only speaks these terms.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/Executor.h"

namespace orvanta::platform {

// Global desktop coordinates, origin at the top left; frames include the window's decorations.
struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    bool isEmpty() const { return !(width > 0) || !(height > 0); }
    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    bool contains(double px, double py) const { return px >= x && px < x + width && py >= y && py < y + height; }
    bool operator==(const Rect&) const = default;
};

// One entry of the window server's list. An entry the server could not fill is absent, so a
// caller can refuse descriptions that lack what it needs.
struct WindowDescription {
    std::optional<std::uint32_t> number;
    std::optional<std::int32_t> ownerPid;  // absent when the window names no plausible process
    std::optional<std::string> ownerName;  // the application's name, valid UTF-8
    std::optional<std::int32_t> layer;     // 0 for ordinary application windows
    std::optional<Rect> bounds;
    std::string title;  // valid UTF-8, empty when the window has none
    bool onScreen = false;
    // What the application draws, without the decorations a window manager adds around it: what
    // a capture of the window shows. Absent where the window server draws no decorations apart.
    std::optional<Rect> content = std::nullopt;
    bool operator==(const WindowDescription&) const = default;
};

// An accessibility element: an application (window 0) or one of its windows.
struct AXElement {
    std::int32_t pid = 0;
    std::uint32_t window = 0;

    static AXElement application(std::int32_t pid) { return {pid, 0}; }
    bool isApplication() const { return window == 0; }
    bool operator==(const AXElement&) const = default;
};

// Accessibility result codes; diagnostics print them in decimal.
namespace AXError {
inline constexpr int success = 0;
inline constexpr int failure = -25200;
inline constexpr int illegalArgument = -25201;
inline constexpr int invalidUIElement = -25202;
inline constexpr int cannotComplete = -25204;
inline constexpr int attributeUnsupported = -25205;
inline constexpr int notImplemented = -25208;
inline constexpr int apiDisabled = -25211;
inline constexpr int noValue = -25212;
}  // namespace AXError

// A read that succeeded without giving anything.
struct AXNoValue {
    bool operator==(const AXNoValue&) const = default;
};

using AXValue = std::variant<AXNoValue, bool, std::string, Point, Size, AXElement, std::vector<AXElement>>;

// Delivers an application's window notifications ("AXWindowCreated", "AXFocusedWindowChanged",
// "AXUIElementDestroyed") with the element they concern, once started. Destroying it stops them.
class AXObserver {
public:
    using Callback = std::function<void(std::string_view notification, const AXElement& element)>;
    virtual ~AXObserver() = default;
    // An accessibility result code: success when the notification will be delivered.
    virtual int addNotification(const AXElement& element, std::string_view notification) = 0;
    virtual void start() = 0;
};

// The running application behind a set of windows.
struct RunningApplication {
    std::int32_t pid = 0;
    std::string name;
    std::string windowClass;     // the class of its windows, as desktop entries name it
    std::string windowInstance;  // the instance part of that class
    bool regular = false;        // it shows an ordinary window that belongs in a task list
    bool operator==(const RunningApplication&) const = default;
};

// Icon pixels: width x height values of 0xAARRGGBB, row by row.
struct IconImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> argb;
    bool operator==(const IconImage&) const = default;
};

class WindowSystem {
public:
    virtual ~WindowSystem() = default;

    // The window server's windows, front to back; nothing when the list is unavailable.
    virtual std::optional<std::vector<WindowDescription>> windowList(bool onScreenOnly) = 0;
    // The description of one window; nothing when it is gone or the server does not answer.
    virtual std::optional<WindowDescription> windowDescription(std::uint32_t number) = 0;

    // Whether windows of other applications may be read and moved at all.
    virtual bool isAccessibilityTrusted() = 0;
    virtual std::expected<AXValue, int> copyAttribute(const AXElement& element, std::string_view name) = 0;
    virtual int setAttribute(const AXElement& element, std::string_view name, const AXValue& value) = 0;
    virtual int performAction(const AXElement& element, std::string_view action) = 0;
    virtual void setMessagingTimeout(const AXElement& element, double seconds) = 0;
    virtual std::expected<std::uint32_t, int> windowID(const AXElement& element) = 0;
    // Blocks until the window's frame may have changed or `timeoutMicros` has passed.
    virtual void waitForFrameChange(const AXElement& element, std::uint64_t timeoutMicros) = 0;

    // Notifications for `pid`'s windows, delivered on `executor`; nothing when observing fails.
    virtual std::unique_ptr<AXObserver> createObserver(std::int32_t pid, base::Executor& executor,
                                                       AXObserver::Callback callback) = 0;

    // The application in front, if any.
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // Brings the application forward; false when it is gone.
    virtual bool activateApplication(std::int32_t pid) = 0;
    // The largest icon the application's windows offer.
    virtual std::optional<IconImage> applicationIcon(std::int32_t pid) = 0;
};

}  // namespace orvanta::platform
