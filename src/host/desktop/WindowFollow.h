// Follows the application of a fitted window: the observer reports its window events, the history
// decides which of its windows to show.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "base/Executor.h"
#include "host/desktop/WindowManager.h"
#include "platform/WindowSystem.h"

namespace orvanta::host {

class WindowFollowObserver {
public:
    struct Event {
        enum class Kind { created, focused, destroyed };
        Kind kind = Kind::destroyed;
        std::optional<std::uint32_t> window;  // nothing when the id cannot be read
        bool operator==(const Event&) const = default;
    };
    using OnChange = std::function<void(const Event&)>;

    // Observes the target's application (new and focused windows) and the target window (its end),
    // with events delivered on `executor`; nothing when no observation could be registered.
    static std::unique_ptr<WindowFollowObserver> create(platform::WindowSystem& system, WindowManager& windows,
                                                        const WindowTarget& target, base::Executor& executor,
                                                        OnChange onChange);

private:
    WindowFollowObserver() = default;
    void handle(std::string_view notification, const AXElement& element);

    WindowManager* windows_ = nullptr;
    AXElement app_;
    OnChange onChange_;
    std::unique_ptr<platform::AXObserver> observer_;
};

// The windows a fit may follow: the last element of `stack` is the one shown.
struct WindowFollowHistory {
    std::vector<std::uint32_t> stack;
    std::set<std::uint32_t> previous;

    std::optional<std::uint32_t> update(const std::set<std::uint32_t>& present,
                                        const std::vector<std::uint32_t>& eligible,
                                        std::optional<std::uint32_t> created, std::optional<std::uint32_t> focused);
    bool isNew(std::uint32_t id) const { return !previous.contains(id); }
    bool operator==(const WindowFollowHistory&) const = default;
};

}  // namespace orvanta::host
