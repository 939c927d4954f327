// A window migration with its neighbours as plain state a test sets: display aspect fit, window
// fit, the session and the pipeline. The controller's queue is the test's manual executor.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/controller/WindowMigration.h"
#include "support/ManualExecutor.h"

namespace orvanta::testing {

struct MigrationRig {
    MigrationRig(ManualExecutor& queue, std::shared_ptr<host::HostAspectWindows> windows)
        : migration(std::make_shared<host::WindowMigration>(
              queue, std::move(windows), [this](std::string_view line) { logs.emplace_back(line); })),
          clock(&queue) {
        auto& m = *migration;
        m.setLifetime(migration);
        m.display = {.aspectFitOn = [this] { return aspectFitOn; },
                     .virtualDisplayID = [this] { return virtualID; },
                     .creationPending = [this] { return creationPending; },
                     .updateScheduled = [this] { return updateScheduled; },
                     .restorePending = [this] { return restorePending; },
                     .promoted = [this] { return promoted; },
                     .promote =
                         [this] {
                             ++promotions;
                             promoted = promotionWorks;
                             return promoted;
                         },
                     .demote =
                         [this] {
                             ++demotions;
                             promoted = false;
                         },
                     .savedOrigin = [this](std::uint32_t id) -> std::optional<platform::Point> {
                         const auto found = savedOrigins.find(id);
                         if (found == savedOrigins.end()) return std::nullopt;
                         return found->second;
                     },
                     .physicalCaptureDisplayID = [this] { return physicalID; }};
        const auto fitOf = [this](const host::AXElement& element, bool activeOnly) -> std::optional<platform::Point> {
            if (!windowFit || (activeOnly && windowFit->suspended) || windowFit->target.axWindow != element) {
                return std::nullopt;
            }
            return windowFit->originalOrigin;
        };
        m.fit = {.inPlay = [this] { return windowFit || pendingFit; },
                 .generation = [this] { return fitGeneration; },
                 .fittedOrigin = [fitOf](const host::AXElement& element) { return fitOf(element, false); },
                 .activeOrigin = [fitOf](const host::AXElement& element) { return fitOf(element, true); },
                 .pendingOrigin = [this](const host::AXElement& element) -> std::optional<platform::Point> {
                     if (!pendingFit || pendingFit->target.axWindow != element) return std::nullopt;
                     return pendingFit->inheritedOriginal;
                 },
                 .setActiveOrigin = [this](const platform::Point& origin) { windowFit->originalOrigin = origin; },
                 .setActiveAppliedFrame = [this](const host::Rect& frame) { windowFit->appliedFrame = frame; }};
        m.host = {.log = [this](std::string_view line) { logs.emplace_back(line); },
                  .now = [this] { return clock->nowMicros(); },
                  .session = [this] { return session; },
                  .paused = [this] { return paused; },
                  .aspectCaptureID = [this] { return captureID; },
                  .capturing = [this] { return capturing; },
                  .stopPipeline = [this] { pipeline.emplace_back("stop"); },
                  .startPipeline = [this] { pipeline.emplace_back("start"); },
                  .application = [this] { return application; },
                  .setApplication =
                      [this](std::shared_ptr<host::AspectDisplayApplication> made) { application = std::move(made); },
                  .connectionFrames = [this]() -> std::optional<std::map<std::uint32_t, host::AspectWindow>>& {
                      return connectionFrames;
                  }};
    }
    MigrationRig(const MigrationRig&) = delete;
    MigrationRig& operator=(const MigrationRig&) = delete;

    std::shared_ptr<host::WindowMigration> migration;
    ManualExecutor* clock;
    std::vector<std::string> logs;

    // Display aspect fit.
    bool aspectFitOn = true;
    std::optional<std::uint32_t> virtualID;
    bool creationPending = false;
    bool updateScheduled = false;
    bool restorePending = false;
    bool promoted = false;
    bool promotionWorks = true;
    int promotions = 0;
    int demotions = 0;
    std::map<std::uint32_t, platform::Point> savedOrigins;
    std::uint32_t physicalID = 0;

    // Window fit.
    std::optional<host::WindowFit> windowFit;
    std::optional<host::PendingFit> pendingFit;
    std::uint64_t fitGeneration = 0;

    // The session and the pipeline.
    std::shared_ptr<host::HostSession> session = std::make_shared<host::HostSession>(nullptr, 0);
    bool paused = false;
    std::optional<std::uint32_t> captureID;
    bool capturing = false;
    std::vector<std::string> pipeline;  // "stop" and "start", in order
    std::shared_ptr<host::AspectDisplayApplication> application;
    std::optional<std::map<std::uint32_t, host::AspectWindow>> connectionFrames;
};

}  // namespace orvanta::testing
