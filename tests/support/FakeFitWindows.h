// A desktop of windows for window fit: the test places windows, says which can be resolved, moved
// or read, and fires the follow observer's events; lookups and the watcher run on `taskExecutor`,
// which the test drives on virtual time. Moves and raises go to the shared call log.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/controller/HostFitSeams.h"
#include "support/ManualExecutor.h"

namespace orvanta::testing {

// The call log FakeHostComponents shares among its fakes.
using HostCallLog = std::shared_ptr<std::vector<std::string>>;

class FakeFitWindows final : public host::HostFitWindows {
public:
    static constexpr std::int32_t kHostPid = 1;

    explicit FakeFitWindows(HostCallLog log) : log_(std::move(log)) {}

    // A layer-0 window of `pid`, on screen, in front of the others.
    platform::WindowDescription& add(std::uint32_t id, std::int32_t pid, host::Rect frame,
                                     std::string appName = "Editor") {
        list.insert(list.begin(), platform::WindowDescription{id, pid, appName, 0, frame, "", true});
        return list.front();
    }
    void remove(std::uint32_t id) {
        std::erase_if(list, [&](const auto& w) { return w.number == id; });
    }
    platform::WindowDescription* find(std::uint32_t id) {
        for (auto& window : list) {
            if (window.number == id) return &window;
        }
        return nullptr;
    }
    host::Rect frameOf(std::uint32_t id) { return find(id)->bounds.value(); }
    static host::AXElement element(const platform::WindowDescription& window) {
        return {*window.ownerPid, *window.number};
    }
    host::WindowTarget targetOf(std::uint32_t id) {
        auto* window = find(id);
        return {window->ownerName.value_or(""), {*window->ownerPid, std::nullopt}, element(*window), *window->bounds};
    }
    void emit(const FollowEvent& event) {
        if (onChange) onChange(event);
    }

    base::Executor& tasks() override { return taskExecutor; }
    bool trusted() override { return isTrusted; }
    std::optional<std::vector<platform::WindowDescription>> windows() override {
        if (listingFails) return std::nullopt;
        return list;
    }
    std::optional<platform::WindowDescription> window(std::uint32_t id) override {
        auto* found = find(id);
        if (!found || !found->onScreen) return std::nullopt;
        return *found;
    }
    std::optional<host::Rect> windowServerBounds(std::uint32_t id) override {
        auto* found = find(id);
        return found ? found->bounds : std::nullopt;
    }
    std::optional<host::WindowTarget> frontmostTarget() override {
        if (!frontmost || !find(*frontmost)) return std::nullopt;
        return targetOf(*frontmost);
    }
    std::optional<host::WindowTarget> target(const platform::WindowDescription& window, bool forFit) override {
        auto* found = find(*window.number);
        if (!found || unresolvable.contains(*window.number)) return std::nullopt;
        const auto& frame = *found->bounds;
        if (forFit && (found->ownerPid == kHostPid || found->layer != 0 || frame.width < 120 || frame.height < 100)) {
            return std::nullopt;
        }
        return targetOf(*window.number);
    }
    host::WindowOwner owner(std::int32_t pid) override { return {pid, std::nullopt}; }
    std::optional<host::WindowTarget> resolveTarget(const host::WindowOwner& owner, std::string_view, std::uint32_t id,
                                                    const host::Rect&) override {
        auto* found = find(id);
        if (!found || found->ownerPid != owner.pid || unresolvable.contains(id)) return std::nullopt;
        return targetOf(id);
    }
    std::optional<std::string> nonstandardReason(const host::AXElement& window) override {
        auto reason = nonstandard.find(window.window);
        if (reason == nonstandard.end()) return std::nullopt;
        return reason->second;
    }
    std::optional<host::Rect> readFrame(const host::AXElement& window) override {
        auto* found = find(window.window);
        if (!found || unreadableFrames.contains(window.window)) return std::nullopt;
        return found->bounds;
    }
    void setPosition(const host::AXElement& window, platform::Point origin, bool awaitApplied) override {
        log_->push_back("fit.setPosition " + std::to_string(window.window) + " " + std::to_string(int(origin.x)) + "," +
                        std::to_string(int(origin.y)) + (awaitApplied ? "" : " unawaited"));
        auto* found = find(window.window);
        if (!found || ignoresMoves) return;
        found->bounds->x = origin.x;
        found->bounds->y = origin.y;
        if (awaitApplied && whileSettling) whileSettling();
    }
    std::optional<std::uint32_t> readWindowID(const host::AXElement& window) override {
        if (unreadableIDs.contains(window.window)) return std::nullopt;
        return window.window;
    }
    void resumeIfStopped(const host::WindowTarget& target) override {
        log_->push_back("fit.resume " + std::to_string(target.owner.pid));
    }
    void raise(const host::WindowTarget& target) override {
        log_->push_back("fit.raise " + std::to_string(target.axWindow.window));
    }
    std::optional<host::Rect> displayBounds(std::uint32_t displayID) override {
        auto found = displays.find(displayID);
        if (found == displays.end()) return std::nullopt;
        return found->second;
    }
    std::unique_ptr<host::HostFitObservation> observe(const host::WindowTarget& target,
                                                      std::function<void(const FollowEvent&)> change) override {
        log_->push_back("fit.observe " + std::to_string(target.axWindow.window));
        if (!observable) return nullptr;
        onChange = std::move(change);
        return std::make_unique<Observation>(this);
    }

    ManualExecutor taskExecutor;
    std::vector<platform::WindowDescription> list;  // front to back
    // Keyed like the displays fake: display 1 is its main display.
    std::map<std::uint32_t, host::Rect> displays{{1, {0, 0, 1920, 1080}}};
    std::optional<std::uint32_t> frontmost;
    std::set<std::uint32_t> unresolvable;
    std::set<std::uint32_t> unreadableFrames;
    std::set<std::uint32_t> unreadableIDs;
    std::map<std::uint32_t, std::string> nonstandard;
    bool isTrusted = true;
    bool listingFails = false;
    bool ignoresMoves = false;
    bool observable = true;
    std::function<void()> whileSettling;               // runs while a move waits for the window to settle
    std::function<void(const FollowEvent&)> onChange;  // the live observer's, while one lives

private:
    struct Observation final : host::HostFitObservation {
        explicit Observation(FakeFitWindows* owner) : owner_(owner) {}
        ~Observation() override { owner_->onChange = nullptr; }
        FakeFitWindows* owner_;
    };

    HostCallLog log_;
};

}  // namespace orvanta::testing
