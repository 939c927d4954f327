#include "host/desktop/WindowFollow.h"

#include <algorithm>

namespace orvanta::host {

std::unique_ptr<WindowFollowObserver> WindowFollowObserver::create(platform::WindowSystem& system,
                                                                   WindowManager& windows, const WindowTarget& target,
                                                                   base::Executor& executor, OnChange onChange) {
    std::unique_ptr<WindowFollowObserver> follow(new WindowFollowObserver());
    follow->windows_ = &windows;
    follow->app_ = AXElement::application(target.owner.pid);
    follow->onChange_ = std::move(onChange);
    // The observer delivers on `executor` and is destroyed with us, so the raw pointer never dangles.
    auto* self = follow.get();
    follow->observer_ = system.createObserver(
        target.owner.pid, executor,
        [self](std::string_view notification, const AXElement& element) { self->handle(notification, element); });
    if (!follow->observer_) return nullptr;
    int registered = 0;
    for (const auto& [element, name] :
         {std::pair{follow->app_, "AXFocusedWindowChanged"}, std::pair{follow->app_, "AXWindowCreated"},
          std::pair{target.axWindow, "AXUIElementDestroyed"}}) {
        if (follow->observer_->addNotification(element, name) == platform::AXError::success) ++registered;
    }
    if (registered == 0) return nullptr;
    follow->observer_->start();
    return follow;
}

void WindowFollowObserver::handle(std::string_view notification, const AXElement& element) {
    auto idOf = [&](const AXElement& window) -> std::optional<std::uint32_t> {
        auto id = windows_->readWindowID(window);
        return id ? std::optional(*id) : std::nullopt;
    };
    if (notification == "AXWindowCreated") {
        onChange_({Event::Kind::created, idOf(element)});
    } else if (notification == "AXFocusedWindowChanged") {
        auto focused = windows_->attribute(app_, "AXFocusedWindow");
        const auto* window = focused ? std::get_if<AXElement>(&*focused) : nullptr;
        onChange_({Event::Kind::focused, idOf(window ? *window : element)});
    } else if (notification == "AXUIElementDestroyed") {
        onChange_({Event::Kind::destroyed, std::nullopt});
    }
}

std::optional<std::uint32_t> WindowFollowHistory::update(const std::set<std::uint32_t>& present,
                                                         const std::vector<std::uint32_t>& eligible,
                                                         std::optional<std::uint32_t> created,
                                                         std::optional<std::uint32_t> focused) {
    const auto oldTop = stack.empty() ? std::nullopt : std::optional(stack.back());
    std::erase_if(stack, [&](std::uint32_t id) { return !present.contains(id); });
    auto isEligible = [&](std::uint32_t id) { return std::ranges::find(eligible, id) != eligible.end(); };
    std::vector<std::uint32_t> fresh;
    for (auto id : eligible) {
        if (present.contains(id) && !previous.contains(id)) fresh.push_back(id);
    }

    if (focused && oldTop && present.contains(*oldTop) && *focused != *oldTop && present.contains(*focused) &&
        isEligible(*focused)) {
        std::erase(stack, *focused);
        stack.push_back(*focused);
    } else if (created && std::ranges::find(fresh, *created) != fresh.end()) {
        stack.push_back(*created);
    } else if (!fresh.empty()) {
        stack.push_back(fresh.front());
    } else if (!(oldTop && !stack.empty() && stack.back() == *oldTop)) {
        while (!stack.empty() && !isEligible(stack.back())) stack.pop_back();
        if (stack.empty()) {
            auto first = std::ranges::find_if(eligible, [&](std::uint32_t id) { return present.contains(id); });
            if (first != eligible.end()) stack.push_back(*first);
        }
    }
    previous = present;
    return stack.empty() ? std::nullopt : std::optional(stack.back());
}

}  // namespace orvanta::host
