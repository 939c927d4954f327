// A display system in memory: displays with origins, the main display being the one at (0, 0), a
// virtual display made to the right of the main one, and the queue "zq2.vdisplay" as a
// ManualExecutor the test drives. Calls go to the shared call log.
#pragma once

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/controller/HostDisplaySeams.h"
#include "support/ManualExecutor.h"

namespace orvanta::testing {

class FakeHostDisplays final : public host::HostDisplays {
public:
    using HostCallLog = std::shared_ptr<std::vector<std::string>>;
    static constexpr std::uint32_t kFirstVirtualID = 100;

    explicit FakeHostDisplays(HostCallLog log) : log_(std::move(log)) {}

    bool virtualDisplaysAvailable() override { return available; }
    std::vector<host::HostDisplay> activeDisplays() override { return displays; }
    std::uint32_t mainDisplayID() override {
        if (stuckMain) return *stuckMain;
        const auto main = std::ranges::find_if(
            displays, [](const host::HostDisplay& d) { return d.bounds.x == 0 && d.bounds.y == 0; });
        return main != displays.end() ? main->id : 0;
    }
    std::expected<void, host::DisplayConfigurationError> applyOrigins(
        const std::vector<platform::DisplayPlacement>& origins) override {
        std::string line = "displays.applyOrigins";
        for (const auto& p : origins) {
            line += " " + std::to_string(p.id) + "@" + std::to_string(p.x) + "," + std::to_string(p.y);
        }
        log_->push_back(line);
        if (!configurationFailures.empty()) {
            const auto failure = configurationFailures.front();
            configurationFailures.pop_front();
            if (failure) return std::unexpected(*failure);
        }
        for (const auto& p : origins) {
            if (auto* display = find(p.id)) {
                display->bounds.x = p.x;
                display->bounds.y = p.y;
            }
        }
        return {};
    }
    void waitForMainDisplay(base::Micros delay) override { waited += delay; }

    base::Executor& displayQueue() override { return queue; }
    // Each creation takes the next scripted answer (true: made); made when none is left.
    std::shared_ptr<host::VirtualDisplay> create(const host::DisplaySize& size) override {
        log_->push_back("displays.create " + size.pixels.text() + (size.hiDPI ? " HiDPI" : ""));
        const bool made = createResults.empty() || createResults.front();
        if (!createResults.empty()) createResults.pop_front();
        if (!made) return nullptr;
        const auto mainID = mainDisplayID();
        const auto* main = find(mainID);
        const double x = main ? main->bounds.x + main->bounds.width : 0;
        const double y = main ? main->bounds.y : 0;
        const std::int64_t f = size.hiDPI ? 2 : 1;
        const std::uint32_t id = nextVirtualID++;
        displays.push_back(
            {id,
             {x, y, static_cast<double>(size.pixels.width / f), static_cast<double>(size.pixels.height / f)},
             size.pixels,
             true});
        return std::make_shared<host::VirtualDisplay>(
            id, size, host::DisplayOrigin{static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)});
    }
    void release(std::shared_ptr<host::VirtualDisplay> display) override {
        queue.async([this, display] {
            log_->push_back("displays.release " + std::to_string(display->displayID));
            std::erase_if(displays, [&](const host::HostDisplay& d) { return d.id == display->displayID; });
            released.push_back(display->displayID);
        });
    }

    host::HostDisplay* find(std::uint32_t id) {
        const auto found = std::ranges::find_if(displays, [id](const host::HostDisplay& d) { return d.id == id; });
        return found != displays.end() ? &*found : nullptr;
    }
    host::DisplayOrigins origins() const {
        host::DisplayOrigins result;
        for (const auto& d : displays) result.emplace_back(d.id, platform::Point{d.bounds.x, d.bounds.y});
        return result;
    }

    bool available = true;
    // A 1728 x 1117 point main display of 3456 x 2234 pixels.
    std::vector<host::HostDisplay> displays{{1, {0, 0, 1728, 1117}, {3456, 2234}, false}};
    std::deque<bool> createResults;
    std::deque<std::optional<host::DisplayConfigurationError>> configurationFailures;
    std::vector<std::uint32_t> released;
    base::Micros waited{0};                  // blocked in waits for the main display
    std::optional<std::uint32_t> stuckMain;  // a main display that no configuration changes
    std::uint32_t nextVirtualID = kFirstVirtualID;
    ManualExecutor queue;  // "zq2.vdisplay"

private:
    HostCallLog log_;
};

}  // namespace orvanta::testing
