// Finds, lists, raises and moves the windows of other applications: ties a window-server window to
// its accessibility window, lists windows for the picker, the display aspect fit and evacuation,
// and writes and verifies aspect frames step by step, each step stopped by a currency check.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "host/desktop/WindowOwner.h"
#include "platform/IconRenderer.h"
#include "platform/WindowSystem.h"

namespace orvanta::host {

using platform::AXElement;
using platform::Rect;

struct WindowTarget {
    std::string appName;
    WindowOwner owner;
    AXElement axWindow;
    Rect frame;
    bool operator==(const WindowTarget&) const = default;
};

// One accessibility failure, as text for the log; `cannotComplete` marks an application that did
// not answer in time, which is retried rather than counted.
struct AXFailure {
    std::string description;
    bool cannotComplete = false;

    static AXFailure fromCode(std::string_view name, int code);
    static AXFailure text(std::string description) { return {std::move(description), false}; }
    bool operator==(const AXFailure&) const = default;
};

// The caller's currency check turned false.
struct Cancelled {
    bool operator==(const Cancelled&) const = default;
};

using ResolveError = std::variant<AXFailure, Cancelled>;

struct AspectWindow {
    std::uint32_t id = 0;
    std::int32_t pid = 0;
    std::string appName;
    Rect frame;
    bool operator==(const AspectWindow&) const = default;
};

struct OpenWindowInfo {
    std::uint32_t windowId = 0;
    std::int32_t pid = 0;
    std::string appName;
    std::string title;
    bool operator==(const OpenWindowInfo&) const = default;
};

// The window exists but is not one to move; the text says why.
struct AspectExcluded {
    std::string reason;
    bool operator==(const AspectExcluded&) const = default;
};

using AspectResolution = std::variant<WindowTarget, AspectExcluded, AXFailure, Cancelled>;

struct AspectFrameResult {
    std::optional<Rect> actual;
    bool matches = false;
    std::string diagnostic;
    bool cancelled = false;
    bool cannotComplete = false;

    static AspectFrameResult cancelledResult() { return {std::nullopt, false, "cancelled", true, false}; }
    bool operator==(const AspectFrameResult&) const = default;
};

// The shortest decimal form that reads back, with at least one fractional digit: how numbers of
// frames and scales appear in the log.
std::string formatNumber(double value);
// "(x, y, width, height)", each number in that form.
std::string formatRect(const Rect& rect);
// Frames match when x, y, width and height each differ by at most 2 points.
bool framesMatch(const Rect& a, const Rect& b);
// Ascending code-point order of the canonically composed forms.
bool unicodeLess(std::string_view a, std::string_view b);

class WindowManager {
public:
    using IsCurrent = std::function<bool()>;
    using Visitor = std::function<void(std::uint32_t, const WindowTarget&)>;

    // The name used for an application that does not give one.
    static constexpr std::string_view kUnnamedApp = "アプリ";
    // How long a frame check waits for a window manager to apply a move it was asked for. Window
    // managers apply moves asynchronously, usually within milliseconds; a quarter second covers
    // a busy one without holding the aspect batch much longer than one messaging time-out.
    static constexpr std::uint64_t kFrameSettleMicros = 250'000;
    // The side of a window list's application icons.
    static constexpr int kAppIconPixels = 72;

    WindowManager(platform::WindowSystem& system, platform::IconRenderer& icons, const base::Clock& clock,
                  LogFunction log);

    // Window targets and accessibility access.
    static std::optional<AspectWindow> aspectWindow(const platform::WindowDescription& info);
    std::expected<platform::AXValue, AXFailure> attribute(const AXElement& element, std::string_view name);
    std::expected<Rect, AXFailure> readFrame(const AXElement& element);
    std::expected<std::uint32_t, AXFailure> readWindowID(const AXElement& element);
    // What a capture of the window shows, where it is now: without the window manager's
    // decorations when they are drawn apart from the application.
    std::optional<Rect> contentBounds(std::uint32_t windowID);
    // The same without a manager, for callers on other threads than the manager's (capture).
    static std::optional<Rect> contentBounds(platform::WindowSystem& system, std::uint32_t windowID);
    std::optional<WindowTarget> frontmostTarget();
    std::optional<WindowTarget> target(const platform::WindowDescription& window, bool forFit);
    void raise(const WindowTarget& target);
    std::expected<WindowTarget, ResolveError> resolveTarget(const WindowOwner& owner, std::string_view appName,
                                                            std::uint32_t id, const Rect& bounds, std::int32_t layer,
                                                            bool forAspect, const IsCurrent& isCurrent);

    // Window lists and icons.
    std::optional<std::vector<AspectWindow>> aspectWindows();
    std::optional<std::vector<AspectWindow>> aspectEvacuationWindows();
    std::optional<AspectWindow> aspectWindow(std::uint32_t id);
    void visitWindows(const Rect& area, const std::set<std::uint32_t>& excluding, const Visitor& visitor);
    std::optional<platform::WindowDescription> shareableWindow(std::uint32_t id);
    std::optional<std::vector<platform::WindowDescription>> selectableWindows();
    std::vector<OpenWindowInfo> openWindows();
    std::optional<base::Bytes> appIconPNG(std::int32_t pid);

    // Aspect frames.
    AspectResolution resolveAspectWindow(const AspectWindow& window, const IsCurrent& isCurrent);
    std::expected<std::optional<std::string>, AXFailure> nonstandardReason(const AXElement& element);
    AspectFrameResult checkAspectFrame(const AXElement& element, const Rect& expected, bool positionOnly);
    AspectFrameResult applyAspectFrame(const AXElement& element, const Rect& expected, bool positionOnly,
                                       bool requireInitialMove, const IsCurrent& isCurrent);

private:
    platform::WindowSystem& system_;
    platform::IconRenderer& icons_;
    const base::Clock& clock_;
    LogFunction log_;
    std::int32_t hostPid_;
};

}  // namespace orvanta::host
