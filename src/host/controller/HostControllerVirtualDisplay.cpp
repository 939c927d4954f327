// The one virtual display the controller may own: made on its own queue with a time-out and
// retries, adopted, promoted to main display and demoted, and released, after which the physical
// arrangement from before the first creation is verified before anything resumes.
#include <algorithm>
#include <cmath>
#include <limits>

#include "host/controller/HostController.h"

namespace orvanta::host {
namespace {

const HostDisplay* findDisplay(const std::vector<HostDisplay>& displays, std::uint32_t id) {
    const auto found = std::ranges::find_if(displays, [id](const HostDisplay& d) { return d.id == id; });
    return found != displays.end() ? &*found : nullptr;
}

// The saved entries whose display is still there and physical.
DisplayOrigins survivingOrigins(const DisplayOrigins& saved, const std::vector<HostDisplay>& active) {
    DisplayOrigins result;
    for (const auto& entry : saved) {
        const HostDisplay* display = findDisplay(active, entry.first);
        if (display && !display->ownVirtual) result.push_back(entry);
    }
    return result;
}

bool atSavedOrigins(const DisplayOrigins& survivors, const std::vector<HostDisplay>& active) {
    return std::ranges::all_of(survivors, [&](const auto& entry) {
        const HostDisplay* display = findDisplay(active, entry.first);
        return display && display->bounds.x == entry.second.x && display->bounds.y == entry.second.y;
    });
}

bool holds(const DisplayOrigins& origins, std::uint32_t id) {
    return std::ranges::any_of(origins, [id](const auto& entry) { return entry.first == id; });
}

}  // namespace

std::string HostController::originsText(const DisplayOrigins& origins) {
    std::string text = "[";
    for (const auto& [id, origin] : origins) {
        if (text.size() > 1) text += ", ";
        text += "(" + std::to_string(id) + ", (" + formatNumber(origin.x) + ", " + formatNumber(origin.y) + "))";
    }
    return text + "]";
}

void HostController::startVirtualDisplayCreation(const DisplaySize& size, std::uint64_t generation, int attempt) {
    virtualCreateAttempt_ = attempt;
    if (attempt == 0) virtualCreationGaveUp_ = false;
    const std::weak_ptr<HostController> weakSelf = weak_from_this();
    const std::weak_ptr<HostDisplays> weakDisplays = dependencies_.components.displays;
    base::Executor* host = &queue_;
    dependencies_.components.displays->displayQueue().async([weakSelf, weakDisplays, host, size, generation, attempt] {
        bool wanted = false;
        try {
            wanted = host->sync([&] {
                const auto self = weakSelf.lock();
                return self && self->virtualGeneration_ == generation && self->virtualCreateAttempt_ == attempt;
            });
        } catch (const base::ExecutorStopped&) {
            return;
        }
        const auto displays = weakDisplays.lock();
        if (!wanted || !displays) return;
        auto display = displays->create(size);
        host->async([weakSelf, displays, display, size, generation, attempt] {
            const auto self = weakSelf.lock();
            if (!self) {
                if (display) displays->release(display);
                return;
            }
            self->finishVirtualDisplayCreation(display, size, generation, attempt);
        });
    });
    queue_.asyncAfter(kVirtualCreateTimeout, [weakSelf, generation, attempt] {
        if (auto self = weakSelf.lock()) self->virtualDisplayCreationTimedOut(generation, attempt);
    });
}

void HostController::virtualDisplayCreationTimedOut(std::uint64_t generation, int attempt) {
    if (virtualGeneration_ != generation || virtualCreateAttempt_ != attempt || !virtualDisplayPending_) return;
    virtualCreationGaveUp_ = true;
    destroyVirtualDisplay("creation timed out, continuing with physical display", false);
    resumeAfterDisplayRestore();
}

void HostController::finishVirtualDisplayCreation(std::shared_ptr<VirtualDisplay> display, const DisplaySize& size,
                                                  std::uint64_t generation, int attempt) {
    const bool current = generation == virtualGeneration_ && attempt == virtualCreateAttempt_;
    const bool wanted = session_ && virtualDisplayWanted();
    if (current && !wanted) {
        // The creation in force ends here; a pending flag left set would hold off every later one.
        virtualDisplayPending_ = false;
        if (!display) return destroyVirtualDisplay("creation no longer requested", false);
    }
    if (!current || !wanted) {
        if (display) discardUnclaimedVirtualDisplay(std::move(display));
        return;
    }
    if (display) return adoptVirtualDisplay(std::move(display), attempt);
    if (attempt >= kVirtualCreateLastAttempt) {
        virtualCreationGaveUp_ = true;
        destroyVirtualDisplay("creation failed, continuing with physical display", false);
        return;
    }
    log("virtual display: creation failed, retry " + std::to_string(attempt + 1) + "/" +
        std::to_string(kVirtualCreateLastAttempt));
    virtualCreateAttempt_ = -1;
    queue_.asyncAfter(kVirtualCreateRetryDelay, [weakSelf = weak_from_this(), size, generation, attempt] {
        if (auto self = weakSelf.lock()) self->retryVirtualDisplayCreation(size, generation, attempt);
    });
}

void HostController::retryVirtualDisplayCreation(const DisplaySize& size, std::uint64_t generation, int attempt) {
    if (virtualGeneration_ != generation || !virtualDisplayPending_ || virtualCreateAttempt_ != -1) return;
    if (!session_ || !virtualDisplayWanted()) {
        destroyVirtualDisplay("creation no longer requested", false);
        return;
    }
    startVirtualDisplayCreation(size, generation, attempt + 1);
}

void HostController::adoptVirtualDisplay(std::shared_ptr<VirtualDisplay> display, int attempt) {
    virtualDisplayPending_ = false;
    virtualDisplay_ = std::move(display);
    if (!session_ || session_->detachedAt) return;
    if (paused_) {
        session_->viewportChangedWhilePaused = true;
        return;
    }
    if (pendingFit_) {
        applyPendingFit();
        startPipelineIfNeeded();
        return;
    }
    if (fitActiveUnsuspended()) {
        const auto bounds = displayInfo(virtualDisplay_->displayID);
        const platform::Rect& frame = windowFit_->appliedFrame;
        if (bounds && !bounds->bounds.contains(frame.midX(), frame.midY())) {
            log("window fit: moving " + windowFit_->target.appName + " to virtual display");
            const WindowFit fit = *windowFit_;
            requestFit(fit.target, fit.viewport, fit.scWindow, fit.originalOrigin);
            return;
        }
    }
    if (clientAspectFit_ && !windowFitInPlay()) {
        log("display aspect fit: applying virtual display id=" + std::to_string(virtualDisplay_->displayID) +
            " after attempt " + std::to_string(attempt + 1));
        migrateWindowsToVirtualDisplay();
    } else {
        startPipelineIfNeeded();
    }
}

void HostController::discardUnclaimedVirtualDisplay(std::shared_ptr<VirtualDisplay> display) {
    if (!virtualDisplayPending_ && !virtualDisplay_ && !pendingAspectUpdate_) {
        // Adopted only to be released the usual way, so that the arrangement is checked again.
        virtualDisplay_ = std::move(display);
        destroyVirtualDisplay("unclaimed creation", false);
        return;
    }
    dependencies_.components.displays->release(std::move(display));
}

void HostController::destroyVirtualDisplay(std::string_view reason, bool replacingAspectDisplay) {
    if (!virtualDisplay_ && !virtualDisplayPending_ && (!aspectPhysicalMainID_ || displayRestorePending_)) return;
    displayRestorePending_ = true;
    log("virtual display: destroying id=" +
        (virtualDisplay_ ? std::to_string(virtualDisplay_->displayID) : std::string("pending")) + " (" +
        std::string(reason) + ")");
    restoreAspectMigratedWindows(replacingAspectDisplay);
    ++virtualGeneration_;
    virtualDisplayPending_ = false;
    if (input_) {
        InputMapping mapping = input_->mapping();
        mapping.displayID = physicalCaptureDisplayID();
        input_->setMapping(mapping);
    }
    std::optional<std::uint32_t> releasedID;
    if (auto released = std::exchange(virtualDisplay_, nullptr)) {
        releasedID = released->displayID;
        dependencies_.components.displays->release(std::move(released));
    }
    checkArrangementAfterRelease(releasedID);
}

void HostController::restoreDisplayOnDisconnect(std::string_view reason) {
    if (virtualDisplay_ || virtualDisplayPending_ || aspectPhysicalMainID_) {
        destroyVirtualDisplay(reason, false);
    } else if (!aspectRecords_.empty() && !displayRestorePending_) {
        restoreAspectMigratedWindows(false);
    }
}

void HostController::rememberDisplayArrangementBeforeCreation() {
    if (aspectPhysicalMainID_) return;
    const auto layout = session_ && connectionLayout_ ? connectionLayout_ : currentPhysicalLayout();
    if (!layout) {
        log("display aspect fit: could not snapshot original display arrangement");
        return;
    }
    aspectPhysicalMainID_ = layout->main;
    aspectSavedOrigins_ = layout->origins;
    log("display aspect fit: saved physical display arrangement main=" + std::to_string(layout->main) +
        " origins=" + originsText(layout->origins));
}

std::optional<HostController::DisplayLayout> HostController::currentPhysicalLayout() const {
    if (aspectPhysicalMainID_) return DisplayLayout{*aspectPhysicalMainID_, aspectSavedOrigins_};
    if (!dependencies_.components.displays) return std::nullopt;
    const std::uint32_t main = physicalCaptureDisplayID();
    DisplayLayout layout{main, {}};
    for (const auto& display : dependencies_.components.displays->activeDisplays()) {
        if (!display.ownVirtual)
            layout.origins.emplace_back(display.id, platform::Point{display.bounds.x, display.bounds.y});
    }
    if (!holds(layout.origins, main)) return std::nullopt;
    return layout;
}

std::optional<DisplayOrigins> HostController::promotionOrigins(const DisplayOrigins& displays, std::uint32_t virtualID,
                                                               double width, std::uint32_t mainID) {
    if (!(width > 0) || !holds(displays, virtualID) || !holds(displays, mainID)) return std::nullopt;
    platform::Point leftmost =
        std::ranges::find_if(displays, [mainID](const auto& entry) { return entry.first == mainID; })->second;
    for (const auto& [id, origin] : displays) {
        if (id != virtualID && id != mainID && origin.x < leftmost.x) leftmost = origin;
    }
    DisplayOrigins result;
    for (const auto& [id, origin] : displays) {
        result.emplace_back(id, id == virtualID
                                    ? platform::Point{0, 0}
                                    : platform::Point{width + origin.x - leftmost.x, origin.y - leftmost.y});
    }
    return result;
}

bool HostController::applyDisplayOrigins(const DisplayOrigins& origins) {
    std::vector<platform::DisplayPlacement> rounded;
    constexpr double kLowest = std::numeric_limits<std::int32_t>::min();
    constexpr double kHighest = std::numeric_limits<std::int32_t>::max();
    for (const auto& [id, origin] : origins) {
        const double x = std::round(origin.x);
        const double y = std::round(origin.y);
        if (!(x >= kLowest && x <= kHighest && y >= kLowest && y <= kHighest)) {
            log("display aspect fit: invalid origin id=" + std::to_string(id));
            return false;
        }
        rounded.push_back({id, static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)});
    }
    const auto applied = dependencies_.components.displays->applyOrigins(rounded);
    if (applied) return true;
    switch (applied.error().step) {
        case DisplayConfigurationError::Step::begin:
            log("display aspect fit: begin configuration failed");
            break;
        case DisplayConfigurationError::Step::origin:
            log("display aspect fit: origin failed id=" + std::to_string(applied.error().displayID) +
                " error=" + std::to_string(applied.error().code));
            break;
        case DisplayConfigurationError::Step::complete:
            log("display aspect fit: configuration failed " + std::to_string(applied.error().code));
            break;
    }
    return false;
}

// A main-display change may land a moment after the configuration completes.
bool HostController::waitForMainDisplay(std::uint32_t expected) {
    for (int poll = 0; poll < kMainDisplayPolls; ++poll) {
        if (poll > 0) dependencies_.components.displays->waitForMainDisplay(kMainDisplayPollInterval);
        if (currentMainDisplayID() == expected) return true;
    }
    return false;
}

void HostController::endArrangementGrace() { arrangementStallGraceUntil_ = now() + kArrangementGraceMicros; }

bool HostController::promoteVirtualDisplayToMain() {
    if (!virtualDisplay_ || aspectPromoted_) return aspectPromoted_;
    const std::uint32_t virtualID = virtualDisplay_->displayID;
    const std::string id = std::to_string(virtualID);
    log("display aspect fit: promoting id=" + id + " attempt=" + std::to_string(++aspectPromotionAttempts_));
    const std::uint32_t physical = physicalCaptureDisplayID();
    if (physical == 0 || physical == virtualID) {
        log("display aspect fit: promotion failed (no physical main)");
        return false;
    }
    if (currentMainDisplayID() == virtualID) {
        aspectPromoted_ = true;
        log("display aspect fit: virtual display id=" + id + " already main, migrating windows");
        return true;
    }
    const auto active = dependencies_.components.displays->activeDisplays();
    DisplayOrigins rollback;
    for (const auto& display : active)
        rollback.emplace_back(display.id, platform::Point{display.bounds.x, display.bounds.y});
    const HostDisplay* own = findDisplay(active, virtualID);
    const auto origins = promotionOrigins(rollback, virtualID, own ? own->bounds.width : 0, physical);
    if (!origins) {
        log("display aspect fit: promotion failed (display list)");
        return false;
    }
    // Input stays on the physical display while the main display changes under it.
    if (input_ && !input_->mapping().displayID && !fitActiveUnsuspended()) {
        InputMapping mapping = input_->mapping();
        mapping.displayID = physical;
        input_->setMapping(mapping);
    }
    arrangementStallGraceUntil_ = std::numeric_limits<std::uint64_t>::max();
    if (applyDisplayOrigins(*origins) && waitForMainDisplay(virtualID)) {
        aspectPromoted_ = true;
        log("display aspect fit: promoted virtual display id=" + id + " to main");
        endArrangementGrace();
        return true;
    }
    applyDisplayOrigins(rollback);
    waitForMainDisplay(physical);
    log("display aspect fit: promotion failed");
    restartWholeDisplayPipelineAfterArrangementChange("promotion failed");
    endArrangementGrace();
    return false;
}

void HostController::demoteVirtualDisplayFromMain() {
    const auto finish = [this] {
        aspectPromoted_ = false;
        aspectPromotionAttempts_ = 0;
    };
    if (!virtualDisplay_ || !aspectPhysicalMainID_ ||
        !(aspectPromoted_ || currentMainDisplayID() == virtualDisplay_->displayID)) {
        return finish();
    }
    const std::uint32_t main = *aspectPhysicalMainID_;
    const std::uint32_t virtualID = virtualDisplay_->displayID;
    const auto active = dependencies_.components.displays->activeDisplays();
    DisplayOrigins restore = survivingOrigins(aspectSavedOrigins_, active);
    if (!holds(restore, main)) return finish();
    const HostDisplay* own = findDisplay(active, virtualID);
    if (main != virtualID && own && own->ownVirtual) {
        platform::Point origin{static_cast<double>(virtualDisplay_->origin.x),
                               static_cast<double>(virtualDisplay_->origin.y)};
        if (origin == platform::Point{0, 0}) origin = {findDisplay(active, main)->bounds.width, 0};
        restore.emplace_back(virtualID, origin);
    }
    arrangementStallGraceUntil_ = std::numeric_limits<std::uint64_t>::max();
    if (applyDisplayOrigins(restore) && waitForMainDisplay(main)) {
        log("display aspect fit: demoted virtual display, physical main=" + std::to_string(main));
    } else {
        log("display aspect fit: restore of display arrangement failed (main=" +
            std::to_string(currentMainDisplayID()) + " expected=" + std::to_string(main) + ")");
    }
    restartWholeDisplayPipelineAfterArrangementChange("demotion");
    endArrangementGrace();
    finish();
}

void HostController::restartWholeDisplayPipelineAfterArrangementChange(std::string_view reason) {
    const auto capture = capture_;
    const auto eligible = [this](const std::shared_ptr<HostCapture>& running) {
        return running && running->running() && !fitActiveUnsuspended() && session_ && session_->video && !paused_;
    };
    if (!eligible(capture)) return;
    queue_.async([weakSelf = weak_from_this(), capture, eligible, reason = std::string(reason)] {
        const auto self = weakSelf.lock();
        if (!self || self->capture_ != capture || !eligible(capture) || self->session_->detachedAt ||
            self->virtualDisplayPending_) {
            return;
        }
        self->log("pipeline restart after display arrangement change (" + reason + ")");
        self->restartPipeline();
    });
}

void HostController::checkArrangementAfterRelease(std::optional<std::uint32_t> displayID) {
    const std::uint64_t generation = virtualGeneration_;
    const std::weak_ptr<HostController> weakSelf = weak_from_this();
    base::Executor* host = &queue_;
    // Behind the release on the display queue, so the check never sees the display half gone.
    dependencies_.components.displays->displayQueue().async([weakSelf, host, displayID, generation] {
        host->async([weakSelf, displayID, generation] {
            if (auto self = weakSelf.lock()) self->verifyReleasedArrangement(displayID, generation, 0);
        });
    });
    queue_.asyncAfter(kReleaseVerifyFallback, [weakSelf, generation] {
        const auto self = weakSelf.lock();
        if (!self || self->virtualGeneration_ != generation || !self->displayRestorePending_) return;
        self->log("display aspect fit: arrangement verification still pending, continuing on physical id=" +
                  std::to_string(self->physicalCaptureDisplayID()));
        self->resumeAfterDisplayRestore();
    });
}

void HostController::verifyReleasedArrangement(std::optional<std::uint32_t> displayID, std::uint64_t generation,
                                               int attempt) {
    if (generation != virtualGeneration_ || virtualDisplay_ || virtualDisplayPending_) return;
    if (!displayRestorePending_ && !aspectPhysicalMainID_) return;
    const auto& displays = dependencies_.components.displays;
    auto active = displays->activeDisplays();
    const HostDisplay* released = displayID ? findDisplay(active, *displayID) : nullptr;
    const bool releasedActive = released && released->ownVirtual;
    const DisplayOrigins survivors = survivingOrigins(aspectSavedOrigins_, active);
    const std::optional<std::uint32_t> expected = aspectPhysicalMainID_;
    const std::size_t savedCount = aspectSavedOrigins_.size();
    bool restored = false;
    const bool mayRetry = attempt <= kArrangementCheckRetries;
    if (expected && holds(survivors, *expected)) {
        if (!releasedActive && (displays->mainDisplayID() != *expected || !atSavedOrigins(survivors, active))) {
            applyDisplayOrigins(survivors);
            active = displays->activeDisplays();
        }
        restored = displays->mainDisplayID() == *expected && atSavedOrigins(survivors, active);
    } else if (!mayRetry && !releasedActive && !active.empty()) {
        forgetSavedArrangement();
    }
    if (!restored && mayRetry) {
        const std::weak_ptr<HostController> weakSelf = weak_from_this();
        queue_.asyncAfter(kArrangementCheckStep * (attempt + 1), [weakSelf, displayID, generation, attempt] {
            if (auto self = weakSelf.lock()) self->verifyReleasedArrangement(displayID, generation, attempt + 1);
        });
        return;
    }
    log(std::string("display aspect fit: post-release arrangement restored=") + (restored ? "true" : "false") +
        " main=" + std::to_string(displays->mainDisplayID()) +
        " expected=" + (expected ? "Optional(" + std::to_string(*expected) + ")" : std::string("nil")) +
        " surviving origins=" + std::to_string(survivors.size()) + "/" + std::to_string(savedCount) +
        " virtual active=" + (releasedActive ? "true" : "false"));
    if (restored) forgetSavedArrangement();
    if (displayRestorePending_) {
        resumeAfterDisplayRestore();
    } else if (restored) {
        restartWholeDisplayPipelineAfterArrangementChange("post-release arrangement");
    }
}

void HostController::forgetSavedArrangement() {
    aspectPhysicalMainID_.reset();
    aspectSavedOrigins_.clear();
}

void HostController::resumeAfterDisplayRestore() {
    displayRestorePending_ = false;
    const bool reapply = std::exchange(applyAspectAfterRestore_, false);
    // After a creation that failed for good the fit goes on physically; asking again would loop.
    const bool gaveUp = std::exchange(virtualCreationGaveUp_, false);
    if (session_) {
        session_->recreateWindowDisplayOnResume = false;
        if (!gaveUp && !session_->detachedAt && windowFitInPlay() &&
            ensureVirtualDisplay(fitPurpose(), session_->viewportWidth, session_->viewportHeight)) {
            return;
        }
    }
    if (!virtualDisplayPending_) applyPendingFit();
    if (reapply && clientAspectFit_ && session_ && !session_->detachedAt && !windowFitInPlay()) {
        if (paused_) {
            session_->viewportChangedWhilePaused = true;
        } else {
            applyWholeDisplayAspect(session_);
        }
    }
    startPipelineIfNeeded();
}

bool HostController::virtualDisplayIsMain() {
    return virtualDisplay_ && currentMainDisplayID() == virtualDisplay_->displayID;
}

bool HostController::aspectUpdateScheduled() const { return pendingAspectUpdate_.has_value(); }

std::optional<platform::Point> HostController::savedDisplayOrigin(std::uint32_t displayID) const {
    const auto saved = std::ranges::find(aspectSavedOrigins_, displayID, &DisplayOrigins::value_type::first);
    if (saved == aspectSavedOrigins_.end()) return std::nullopt;
    return saved->second;
}

}  // namespace orvanta::host
