// A VirtualDisplayFactory in memory: displays get the modes of their request, a scripted number of
// mode switches fail or take several attempts, and every call is recorded.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/VirtualDisplayFactory.h"

namespace orvanta::testing {

class FakeVirtualDisplayFactory final : public platform::VirtualDisplayFactory {
public:
    struct Display {
        platform::VirtualDisplayRequest request;
        std::optional<platform::DisplayMode> current;
        platform::DisplayBounds bounds;
    };

    bool available = true;
    std::string unavailable = "no spare output";     // the reason given while not available
    bool startsInMode = false;                       // a new display is already in its first mode
    std::string createError;                         // non-empty: create fails with it
    std::vector<platform::DisplayMode> listedModes;  // when set, listed instead of the request's
    int modeListsEmpty = 0;                          // the first N mode lists come back empty
    int setModeIgnored = 0;                          // the first N switches report success but change nothing
    int setModeResult = 0;
    std::optional<platform::DisplayBounds> main = platform::DisplayBounds{0, 0, 1920, 1080};
    int placeResult = 0;

    std::map<std::uint32_t, Display> displays;
    std::vector<std::uint32_t> released;
    int setModeCalls = 0;
    int modeListCalls = 0;

    bool isAvailable() override { return available; }
    std::string unavailableReason() override { return available ? std::string() : unavailable; }
    std::expected<std::uint32_t, std::string> create(const platform::VirtualDisplayRequest& request) override {
        if (!createError.empty()) return std::unexpected(createError);
        const std::uint32_t id = nextID_++;
        displays[id] = Display{request, std::nullopt, {}};
        if (startsInMode && !request.modes.empty()) displays[id].current = request.modes.front();
        return id;
    }
    std::optional<platform::DisplayMode> currentMode(std::uint32_t id) override {
        const auto it = displays.find(id);
        return it == displays.end() ? std::nullopt : it->second.current;
    }
    std::vector<platform::DisplayMode> modes(std::uint32_t id) override {
        ++modeListCalls;
        if (modeListsEmpty > 0) {
            --modeListsEmpty;
            return {};
        }
        if (!listedModes.empty()) return listedModes;
        const auto it = displays.find(id);
        return it == displays.end() ? std::vector<platform::DisplayMode>{} : it->second.request.modes;
    }
    int setMode(std::uint32_t id, const platform::DisplayMode& mode) override {
        ++setModeCalls;
        if (setModeIgnored > 0) {
            --setModeIgnored;
            return setModeResult;
        }
        if (setModeResult == 0) {
            displays[id].current = mode;
            displays[id].bounds.width = mode.width;
            displays[id].bounds.height = mode.height;
        }
        return setModeResult;
    }
    std::optional<platform::DisplayBounds> mainBounds() override { return main; }
    int place(std::uint32_t id, std::int32_t x, std::int32_t y) override {
        if (placeResult == 0) {
            displays[id].bounds.x = x;
            displays[id].bounds.y = y;
        }
        return placeResult;
    }
    std::optional<platform::DisplayBounds> bounds(std::uint32_t id) override {
        const auto it = displays.find(id);
        return it == displays.end() ? std::nullopt : std::optional(it->second.bounds);
    }
    void release(std::uint32_t id) override {
        displays.erase(id);
        released.push_back(id);
    }

private:
    std::uint32_t nextID_ = 7;
};

}  // namespace orvanta::testing
