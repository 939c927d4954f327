// The window-fit view over the real window manager, its follow observer and the display bounds the
// input sink knows.
#pragma once

#include "host/controller/HostFitSeams.h"
#include "platform/InputSink.h"

namespace orvanta::host {

class FitWindowsAdapter final : public HostFitWindows {
public:
    // Everything given outlives the adapter; `tasks` runs the lookups and the watcher.
    FitWindowsAdapter(platform::WindowSystem& system, WindowManager& manager, platform::InputSink& displays,
                      base::Executor& tasks, const base::Clock& clock, LogFunction log);

    base::Executor& tasks() override { return tasks_; }
    bool trusted() override;
    std::optional<std::vector<platform::WindowDescription>> windows() override;
    std::optional<platform::WindowDescription> window(std::uint32_t id) override;
    std::optional<Rect> windowServerBounds(std::uint32_t id) override;
    std::optional<WindowTarget> frontmostTarget() override;
    std::optional<WindowTarget> target(const platform::WindowDescription& window, bool forFit) override;
    WindowOwner owner(std::int32_t pid) override;
    std::optional<WindowTarget> resolveTarget(const WindowOwner& owner, std::string_view appName, std::uint32_t id,
                                              const Rect& bounds) override;
    std::optional<std::string> nonstandardReason(const AXElement& window) override;
    std::optional<Rect> readFrame(const AXElement& window) override;
    void setPosition(const AXElement& window, platform::Point origin, bool awaitApplied) override;
    std::optional<std::uint32_t> readWindowID(const AXElement& window) override;
    void resumeIfStopped(const WindowTarget& target) override;
    void raise(const WindowTarget& target) override;
    std::optional<Rect> displayBounds(std::uint32_t displayID) override;
    std::unique_ptr<HostFitObservation> observe(const WindowTarget& target,
                                                std::function<void(const FollowEvent&)> onChange) override;

private:
    platform::WindowSystem& system_;
    WindowManager& manager_;
    platform::InputSink& displays_;
    base::Executor& tasks_;
    const base::Clock& clock_;
    LogFunction log_;
};

}  // namespace orvanta::host
