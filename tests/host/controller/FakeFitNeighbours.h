// The rest of the host as window fit sees it: a main session, the pause, the displays, the pipeline
// and input mapping, with what the fit asks of them recorded in a call log.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/controller/WindowFitter.h"
#include "support/FakeFitWindows.h"

namespace orvanta::testing {

struct FakeFitNeighbours {
    // A fitter on `queue`, wired to these neighbours, that lives as long as the test holds it.
    std::shared_ptr<host::WindowFitter> make(base::Executor& queue, const base::Clock& clock,
                                             std::shared_ptr<host::HostFitWindows> windows) {
        auto fitter = std::make_shared<host::WindowFitter>(queue, clock, std::move(windows));
        fitter->setLifetime(fitter);
        fitter->setNeighbours(neighbours());
        return fitter;
    }

    host::WindowFitter::Neighbours neighbours() {
        auto note = [this](std::string call) { return [this, call] { calls->push_back(call); }; };
        return {
            .log = [this](std::string_view line) { logs.emplace_back(line); },
            .session = [this] { return session; },
            .holdWhilePaused =
                [this] {
                    if (paused && session) viewportChangedWhilePaused = true;
                    return paused;
                },
            .selection = [this] { return selection; },
            .nextSelection = [this] { return ++selection; },
            .beginPointerChange = note("pointer.change"),
            .updateInputMapping = [this](const std::function<void(host::InputMapping&)>& change) { change(mapping); },
            .streamingGeometry = [this] { return geometry; },
            .needsAccessibility = note("accessibilityNeeded"),
            .sendWindowState = [this](const protocol::WindowState& state) { states.push_back(state); },
            .displays = [this] { return displays; },
            .physicalDisplayID = [this] { return physicalDisplay; },
            .visibleBounds = [this](std::uint32_t displayID, bool) -> std::optional<host::Rect> {
                auto found = visibleAreas.find(displayID);
                return found == visibleAreas.end() ? std::nullopt : std::optional(found->second);
            },
            .fitPurpose = [] { return host::VirtualDisplayPurpose::windowFit; },
            .ensureVirtualDisplay =
                [this](host::VirtualDisplayPurpose purpose, host::FitViewport viewport) {
                    calls->push_back("display.ensure " + std::string(host::purposeName(purpose)) + " " +
                                     std::to_string(viewport.width) + "x" + std::to_string(viewport.height));
                    return displayCreationUnderWay;
                },
            .releaseVirtualDisplay = note("display.release"),
            .cancelAspectUpdate = note("aspect.cancel"),
            .scheduleAspectUpdate = note("aspect.schedule"),
            .stopPipeline = note("pipeline.stop"),
            .startPipeline = note("pipeline.start"),
        };
    }

    bool logged(std::string_view line) const { return std::ranges::find(logs, line) != logs.end(); }
    long count(std::string_view call) const { return std::ranges::count(*calls, call); }
    // The window states sent since the last call.
    std::vector<protocol::WindowState> takeStates() { return std::exchange(states, {}); }

    HostCallLog calls = std::make_shared<std::vector<std::string>>();
    std::vector<std::string> logs;
    std::optional<host::FitSession> session = host::FitSession{{1280, 800}, false};
    bool paused = false;
    bool viewportChangedWhilePaused = false;
    std::uint64_t selection = 0;
    host::InputMapping mapping;
    std::optional<host::WindowCaptureGeometry> geometry;
    std::vector<protocol::WindowState> states;
    host::FitDisplays displays;
    std::uint32_t physicalDisplay = 1;  // the window fakes' main display
    std::map<std::uint32_t, host::Rect> visibleAreas;  // a display's area without its panels
    bool displayCreationUnderWay = false;
};

}  // namespace orvanta::testing
