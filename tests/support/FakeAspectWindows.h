// A desktop of windows for window migration: windows with frames and owners that resolve, move or
// refuse as the test sets them up, displays with their usable areas, the window queue as an
// executor on virtual time, and the recorded frames kept in memory. Moves go to the shared call log.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/controller/HostAspectSeams.h"
#include "support/ManualExecutor.h"

namespace orvanta::testing {

class FakeAspectWindows final : public host::HostAspectWindows {
public:
    struct Window {
        host::AspectWindow window;
        bool onScreen = true;
        std::optional<std::string> excluded;            // resolves as not a standard window, for this reason
        std::optional<host::AXFailure> resolveFailure;  // resolves as this failure
        bool refusesMoves = false;                      // writes leave the frame as it is
        bool movesLate = false;                         // a write takes effect 50 ms later
    };

    explicit FakeAspectWindows(std::shared_ptr<std::vector<std::string>> log) : log_(std::move(log)) {}

    void add(const host::AspectWindow& window) {
        windows[window.id] = Window{.window = window, .excluded = std::nullopt, .resolveFailure = std::nullopt};
    }
    host::Rect frame(std::uint32_t id) const { return windows.at(id).window.frame; }

    base::Executor& windowQueue() override { return queue; }

    std::optional<std::vector<host::AspectWindow>> aspectWindows() override { return list(true); }
    std::optional<std::vector<host::AspectWindow>> aspectEvacuationWindows() override { return list(false); }
    std::optional<host::AspectWindow> aspectWindow(std::uint32_t id) override {
        ++reads;
        if (beforeRead) beforeRead(id);
        auto found = windows.find(id);
        if (found == windows.end()) return std::nullopt;
        return found->second.window;
    }
    void visitWindows(const host::Rect& area, const std::set<std::uint32_t>& excluding,
                      const Visitor& visitor) override {
        for (const auto& [id, entry] : windows) {
            const auto& frame = entry.window.frame;
            if (excluding.contains(id) || !area.contains(frame.midX(), frame.midY())) continue;
            visitor(id, host::WindowTarget{entry.window.appName, host::WindowOwner{entry.window.pid, std::nullopt},
                                           element(entry.window), frame});
        }
    }

    host::AspectResolution resolveAspectWindow(const host::AspectWindow& window, const IsCurrent& isCurrent) override {
        if (!isCurrent()) return host::Cancelled{};
        const auto label = "pid=" + std::to_string(window.pid) + " CGWindowID=" + std::to_string(window.id);
        auto found = windows.find(window.id);
        if (found == windows.end()) return host::AXFailure::text(label + " CGWindowBounds=window unavailable");
        if (found->second.resolveFailure) return *found->second.resolveFailure;
        if (found->second.excluded) return host::AspectExcluded{label + " " + *found->second.excluded};
        return host::WindowTarget{window.appName, host::WindowOwner{window.pid, std::nullopt},
                                  element(found->second.window), found->second.window.frame};
    }

    host::AspectFrameResult applyAspectFrame(const host::AXElement& element, const host::Rect& expected,
                                             bool positionOnly, bool, const IsCurrent& isCurrent) override {
        if (!isCurrent()) return host::AspectFrameResult::cancelledResult();
        log_->push_back("aspect.apply " + std::to_string(element.window) + " " + host::formatRect(expected) +
                        (positionOnly ? " position" : ""));
        if (beforeApply) beforeApply(element.window);
        auto wanted = expected;
        if (auto found = windows.find(element.window); found != windows.end() && positionOnly) {
            wanted.width = found->second.window.frame.width;
            wanted.height = found->second.window.frame.height;
        }
        place(element.window, wanted);
        const auto actual = windows.contains(element.window) ? std::optional(frame(element.window)) : std::nullopt;
        const bool matches = actual && host::framesMatch(*actual, wanted);
        return {actual, matches,
                "actual=" + (actual ? host::formatRect(*actual) : std::string("none")) +
                    " expected=" + host::formatRect(wanted),
                false, false};
    }

    std::expected<host::Rect, host::AXFailure> readFrame(const host::AXElement& element) override {
        auto found = windows.find(element.window);
        if (found == windows.end()) return std::unexpected(host::AXFailure::fromCode("AXPosition", -25202));
        return found->second.window.frame;
    }
    void writePosition(const host::AXElement& element, const platform::Point& origin) override {
        log_->push_back("aspect.position " + std::to_string(element.window));
        auto found = windows.find(element.window);
        if (found == windows.end()) return;
        place(element.window,
              {origin.x, origin.y, found->second.window.frame.width, found->second.window.frame.height});
    }
    void writeSize(const host::AXElement& element, const platform::Size& size) override {
        log_->push_back("aspect.size " + std::to_string(element.window));
        auto found = windows.find(element.window);
        if (found == windows.end()) return;
        place(element.window, {found->second.window.frame.x, found->second.window.frame.y, size.width, size.height});
    }

    std::vector<host::AspectScreen> physicalScreens() override { return screens; }
    std::optional<host::DisplayArea> displayArea(std::uint32_t displayID) override {
        auto found = areas.find(displayID);
        if (found == areas.end()) return std::nullopt;
        return found->second;
    }

    std::expected<void, std::string> saveRecordedFrames(const std::vector<host::SavedAspectFrame>& frames) override {
        log_->push_back("aspect.save " + std::to_string(frames.size()));
        if (saveFails) return std::unexpected("disk full");
        saved = frames;
        return {};
    }
    void clearRecordedFrames() override {
        log_->push_back("aspect.clear");
        saved.reset();
    }

    ManualExecutor queue;  // "zq2.aspect.windows"
    std::map<std::uint32_t, Window> windows;
    std::vector<host::AspectScreen> screens;
    std::map<std::uint32_t, host::DisplayArea> areas;
    bool listAvailable = true;
    bool saveFails = false;
    std::optional<std::vector<host::SavedAspectFrame>> saved;
    int reads = 0;
    // Run inside a write or a read, as a user or another process acting meanwhile would.
    std::function<void(std::uint32_t id)> beforeApply;
    std::function<void(std::uint32_t id)> beforeRead;

private:
    static host::AXElement element(const host::AspectWindow& window) { return {window.pid, window.id}; }

    std::optional<std::vector<host::AspectWindow>> list(bool onScreenOnly) const {
        if (!listAvailable) return std::nullopt;
        std::vector<host::AspectWindow> result;
        for (const auto& [id, entry] : windows) {
            if (!onScreenOnly || entry.onScreen) result.push_back(entry.window);
        }
        return result;
    }

    void place(std::uint32_t id, const host::Rect& frame) {
        auto found = windows.find(id);
        if (found == windows.end() || found->second.refusesMoves) return;
        if (!found->second.movesLate) {
            found->second.window.frame = frame;
            return;
        }
        queue.asyncAfter(std::chrono::milliseconds(50), [this, id, frame] {
            if (auto late = windows.find(id); late != windows.end()) late->second.window.frame = frame;
        });
    }

    std::shared_ptr<std::vector<std::string>> log_;
};

}  // namespace orvanta::testing
