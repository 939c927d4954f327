#include "host/controller/HostFitAdapters.h"

#include <cmath>

namespace orvanta::host {

namespace {

class FollowObservation final : public HostFitObservation {
public:
    explicit FollowObservation(std::unique_ptr<WindowFollowObserver> observer) : observer_(std::move(observer)) {}

private:
    std::unique_ptr<WindowFollowObserver> observer_;
};

template <class T, class E>
std::optional<T> value(std::expected<T, E> result) {
    if (!result) return std::nullopt;
    return std::move(*result);
}

}  // namespace

FitWindowsAdapter::FitWindowsAdapter(platform::WindowSystem& system, WindowManager& manager,
                                     platform::InputSink& displays, base::Executor& tasks, const base::Clock& clock,
                                     LogFunction log)
    : system_(system), manager_(manager), displays_(displays), tasks_(tasks), clock_(clock), log_(std::move(log)) {}

bool FitWindowsAdapter::trusted() { return system_.isAccessibilityTrusted(); }

std::optional<std::vector<platform::WindowDescription>> FitWindowsAdapter::windows() {
    return system_.windowList(false);
}

std::optional<platform::WindowDescription> FitWindowsAdapter::window(std::uint32_t id) {
    return manager_.shareableWindow(id);
}

std::optional<Rect> FitWindowsAdapter::windowServerBounds(std::uint32_t id) {
    auto window = manager_.aspectWindow(id);
    if (!window) return std::nullopt;
    return window->frame;
}

std::optional<WindowTarget> FitWindowsAdapter::frontmostTarget() { return manager_.frontmostTarget(); }

std::optional<WindowTarget> FitWindowsAdapter::target(const platform::WindowDescription& window, bool forFit) {
    return manager_.target(window, forFit);
}

WindowOwner FitWindowsAdapter::owner(std::int32_t pid) { return WindowOwner::of(pid); }

std::optional<WindowTarget> FitWindowsAdapter::resolveTarget(const WindowOwner& owner, std::string_view appName,
                                                             std::uint32_t id, const Rect& bounds) {
    return value(manager_.resolveTarget(owner, appName, id, bounds, 0, false, [] { return true; }));
}

std::optional<std::string> FitWindowsAdapter::nonstandardReason(const AXElement& window) {
    auto reason = manager_.nonstandardReason(window);
    if (!reason) return reason.error().description;
    return *reason;
}

std::optional<Rect> FitWindowsAdapter::readFrame(const AXElement& window) { return value(manager_.readFrame(window)); }

// A window manager applies a move later; waiting for it lets the next frame read see the result,
// as a synchronous move would. The window lands on whole pixels.
void FitWindowsAdapter::setPosition(const AXElement& window, platform::Point origin, bool awaitApplied) {
    if (system_.setAttribute(window, "AXPosition", origin) != platform::AXError::success || !awaitApplied) return;
    const auto deadline = clock_.uptimeMicros() + WindowManager::kFrameSettleMicros;
    for (auto now = clock_.uptimeMicros(); now < deadline; now = clock_.uptimeMicros()) {
        auto frame = manager_.readFrame(window);
        if (!frame || (std::abs(frame->x - origin.x) <= 1 && std::abs(frame->y - origin.y) <= 1)) return;
        system_.waitForFrameChange(window, deadline - now);
    }
}

std::optional<std::uint32_t> FitWindowsAdapter::readWindowID(const AXElement& window) {
    return value(manager_.readWindowID(window));
}

// Seeing a resumed application run again can take a second and a half: the task queue waits for
// it, never the controller's.
void FitWindowsAdapter::resumeIfStopped(const WindowTarget& target) {
    tasks_.async([owner = target.owner, appName = target.appName, log = log_] { owner.resumeIfStopped(appName, log); });
}

void FitWindowsAdapter::raise(const WindowTarget& target) { manager_.raise(target); }

std::optional<Rect> FitWindowsAdapter::displayBounds(std::uint32_t displayID) {
    auto bounds = displays_.displayBounds(displayID == 0 ? std::nullopt : std::optional(displayID));
    if (!bounds) return std::nullopt;
    return Rect{bounds->x, bounds->y, bounds->width, bounds->height};
}

std::unique_ptr<HostFitObservation> FitWindowsAdapter::observe(const WindowTarget& target,
                                                               std::function<void(const FollowEvent&)> onChange) {
    auto observer = WindowFollowObserver::create(system_, manager_, target, tasks_, std::move(onChange));
    if (!observer) return nullptr;
    return std::make_unique<FollowObservation>(std::move(observer));
}

}  // namespace orvanta::host
