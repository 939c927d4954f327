// An in-memory desktop for the window-management logic: windows in front-to-back order, with
// accessibility answers that a test can replace by errors or odd values, writes that are recorded
// and applied (at once or after a delay on a ManualClock), and an observer a test can fire.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/WindowSystem.h"
#include "support/ManualExecutor.h"

namespace orvanta::testing {

struct FakeWindow {
    std::uint32_t id = 0;
    std::int32_t pid = 0;
    std::string appName;
    std::string title;
    platform::Rect frame;
    std::int32_t layer = 0;
    bool onScreen = true;
    bool minimized = false;
    std::string subrole = "AXStandardWindow";
    std::optional<platform::Rect> content = std::nullopt;  // inside decorations drawn apart, when there are any
};

class FakeWindowSystem final : public platform::WindowSystem {
public:
    using AXElement = platform::AXElement;
    using AXValue = platform::AXValue;

    std::vector<FakeWindow> windows;  // front to back
    bool listAvailable = true;
    bool trusted = true;
    std::optional<std::int32_t> frontmostPid;
    std::vector<platform::RunningApplication> running;
    std::map<std::int32_t, platform::IconImage> icons;
    // Replaced answers: an attribute of an element gives this value or error code instead.
    std::map<std::pair<std::uint32_t, std::string>, std::expected<AXValue, int>> attributeOverrides;
    std::map<std::pair<std::int32_t, std::string>, std::expected<AXValue, int>> appAttributeOverrides;
    std::map<std::uint32_t, int> windowIDErrors;  // windows whose id cannot be read
    std::map<std::string, int> writeErrors;       // attribute name -> code for every write
    std::vector<std::string> writes;              // "AXPosition (x, y)" / "AXSize (w, h)"
    std::vector<std::string> actions;             // "AXRaise 12"
    std::vector<std::int32_t> activated;
    // Writes reach the frame only after this much virtual time on `clock`, as with a window
    // manager that applies moves later; 0 applies them at once.
    ManualClock* clock = nullptr;
    std::uint64_t applyDelayMicros = 0;
    int waits = 0;
    // Sizes a window refuses: a size write keeps the current size.
    bool refuseSize = false;

    FakeWindow* find(std::uint32_t id) {
        auto found = std::ranges::find(windows, id, &FakeWindow::id);
        return found == windows.end() ? nullptr : &*found;
    }

    std::optional<std::vector<platform::WindowDescription>> windowList(bool onScreenOnly) override {
        if (!listAvailable) return std::nullopt;
        std::vector<platform::WindowDescription> out;
        for (const auto& window : windows) {
            if (!onScreenOnly || window.onScreen) out.push_back(describe(window));
        }
        return out;
    }
    std::optional<platform::WindowDescription> windowDescription(std::uint32_t number) override {
        if (!listAvailable) return std::nullopt;
        auto* window = find(number);
        if (!window) return std::nullopt;
        return describe(*window);
    }

    bool isAccessibilityTrusted() override { return trusted; }

    std::expected<AXValue, int> copyAttribute(const AXElement& element, std::string_view name) override {
        if (element.isApplication()) return appAttribute(element.pid, std::string(name));
        if (auto replaced = attributeOverrides.find({element.window, std::string(name)});
            replaced != attributeOverrides.end()) {
            return replaced->second;
        }
        auto* window = find(element.window);
        if (!window) return std::unexpected(platform::AXError::invalidUIElement);
        settle();
        if (name == "AXPosition") return platform::Point{window->frame.x, window->frame.y};
        if (name == "AXSize") return platform::Size{window->frame.width, window->frame.height};
        if (name == "AXRole") return std::string("AXWindow");
        if (name == "AXSubrole") return window->subrole;
        if (name == "AXMinimized") return window->minimized;
        return std::unexpected(platform::AXError::attributeUnsupported);
    }

    int setAttribute(const AXElement& element, std::string_view name, const AXValue& value) override {
        auto* window = find(element.window);
        if (!window) return platform::AXError::invalidUIElement;
        if (auto error = writeErrors.find(std::string(name)); error != writeErrors.end()) return error->second;
        if (const auto* point = std::get_if<platform::Point>(&value)) {
            writes.push_back(std::string(name) + " (" + fmt(point->x) + ", " + fmt(point->y) + ")");
            schedule(element.window, [point = *point](platform::Rect& frame) {
                frame.x = point.x;
                frame.y = point.y;
            });
        } else if (const auto* size = std::get_if<platform::Size>(&value)) {
            writes.push_back(std::string(name) + " (" + fmt(size->width) + ", " + fmt(size->height) + ")");
            if (!refuseSize) {
                schedule(element.window, [size = *size](platform::Rect& frame) {
                    frame.width = size.width;
                    frame.height = size.height;
                });
            }
        }
        return platform::AXError::success;
    }

    int performAction(const AXElement& element, std::string_view action) override {
        actions.push_back(std::string(action) + " " + std::to_string(element.window));
        return platform::AXError::success;
    }
    void setMessagingTimeout(const AXElement&, double) override {}

    std::expected<std::uint32_t, int> windowID(const AXElement& element) override {
        if (auto error = windowIDErrors.find(element.window); error != windowIDErrors.end()) {
            return std::unexpected(error->second);
        }
        return element.window;
    }

    void waitForFrameChange(const AXElement&, std::uint64_t timeoutMicros) override {
        ++waits;
        if (clock) clock->advance(base::Micros(std::min<std::uint64_t>(timeoutMicros, 10'000)));
    }

    class Observer final : public platform::AXObserver {
    public:
        Observer(FakeWindowSystem& system, Callback callback) : system_(system), callback_(std::move(callback)) {
            system_.observer = this;
        }
        ~Observer() override {
            if (system_.observer == this) system_.observer = nullptr;
        }
        int addNotification(const AXElement& element, std::string_view name) override {
            auto refused = system_.refusedNotifications.find(std::string(name));
            if (refused != system_.refusedNotifications.end()) return refused->second;
            registered.emplace_back(std::string(name), element);
            return platform::AXError::success;
        }
        void start() override { started = true; }
        void fire(std::string_view name, const AXElement& element) { callback_(name, element); }

        std::vector<std::pair<std::string, AXElement>> registered;
        bool started = false;

    private:
        FakeWindowSystem& system_;
        Callback callback_;
    };
    Observer* observer = nullptr;
    std::map<std::string, int> refusedNotifications;

    std::unique_ptr<platform::AXObserver> createObserver(std::int32_t, base::Executor&,
                                                         platform::AXObserver::Callback callback) override {
        return std::make_unique<Observer>(*this, std::move(callback));
    }

    std::optional<platform::RunningApplication> frontmostApplication() override {
        if (!frontmostPid) return std::nullopt;
        for (const auto& window : windows) {
            if (window.pid == *frontmostPid)
                return platform::RunningApplication{window.pid, window.appName, "", "", true};
        }
        return platform::RunningApplication{*frontmostPid, "", "", "", true};
    }
    std::vector<platform::RunningApplication> runningApplications() override { return running; }
    bool activateApplication(std::int32_t pid) override {
        activated.push_back(pid);
        return true;
    }
    std::optional<platform::IconImage> applicationIcon(std::int32_t pid) override {
        auto found = icons.find(pid);
        if (found == icons.end()) return std::nullopt;
        return found->second;
    }

private:
    struct Pending {
        std::uint64_t due;
        std::uint32_t window;
        std::function<void(platform::Rect&)> apply;
    };
    std::vector<Pending> pending_;

    static std::string fmt(double value) {
        auto text = std::to_string(value);
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.') text.pop_back();
        return text;
    }

    static platform::WindowDescription describe(const FakeWindow& window) {
        return {window.id,    window.pid,   window.appName,  window.layer,
                window.frame, window.title, window.onScreen, window.content};
    }

    void schedule(std::uint32_t window, std::function<void(platform::Rect&)> apply) {
        pending_.push_back({(clock ? clock->uptimeMicros() : 0) + applyDelayMicros, window, std::move(apply)});
        settle();
    }
    void settle() {
        const auto now = clock ? clock->uptimeMicros() : 0;
        std::erase_if(pending_, [&](Pending& change) {
            if (change.due > now) return false;
            if (auto* window = find(change.window)) change.apply(window->frame);
            return true;
        });
    }

    std::expected<AXValue, int> appAttribute(std::int32_t pid, const std::string& name) {
        if (auto replaced = appAttributeOverrides.find({pid, name}); replaced != appAttributeOverrides.end()) {
            return replaced->second;
        }
        std::vector<AXElement> owned;
        for (const auto& window : windows) {
            if (window.pid == pid) owned.push_back({pid, window.id});
        }
        if (name == "AXWindows") return owned;
        if (name == "AXFocusedWindow" || name == "AXMainWindow") {
            if (owned.empty()) return std::unexpected(platform::AXError::noValue);
            return owned.front();
        }
        return std::unexpected(platform::AXError::attributeUnsupported);
    }
};

}  // namespace orvanta::testing
