// Windows moved onto the aspect display, evacuated from it and put back. The window work runs on
// the window queue and asks the controller's queue, synchronously, before each step whether it is
// still wanted; everything it decides with is read there.
#include <algorithm>
#include <cmath>

#include "host/controller/HostAspectSeams.h"
#include "host/controller/HostController.h"

namespace orvanta::host {

namespace {

bool holdsMidpoint(const Rect& area, const Rect& frame) { return area.contains(frame.midX(), frame.midY()); }

bool finitePoint(const platform::Point& point) { return std::isfinite(point.x) && std::isfinite(point.y); }

void placeAt(Rect& frame, const platform::Point& origin) {
    frame.x = origin.x;
    frame.y = origin.y;
}

// Frames count as equal within 2 points on every edge; a position-only record compares the origin.
bool matchesRecord(const AspectRestoreRecord& record, const Rect& actual) {
    auto expected = record.original.frame;
    if (record.positionOnly) {
        expected.width = actual.width;
        expected.height = actual.height;
    }
    return framesMatch(actual, expected);
}

AspectDisplayApplication::WindowKey keyOf(const AspectWindow& window) { return {window.id, window.pid}; }

std::string restoreDetail(const AspectRestoreRecord& record, const std::optional<AspectWindow>& live) {
    return "window=" + std::to_string(record.original.id) + " pid=" + std::to_string(record.original.pid) +
           " actual=" + (live ? formatRect(live->frame) : std::string("none")) +
           " expected=" + formatRect(record.original.frame);
}

}  // namespace

// One batch of moves: what it was started with, so that each step can tell whether it still holds.
struct HostController::AspectMoveBatch {
    std::shared_ptr<AspectDisplayApplication> application;
    std::shared_ptr<Session> session;
    std::uint64_t fitGeneration = 0;
    Rect target;  // the virtual display's bounds
    std::vector<AspectPhysicalScreen> screens;
    std::vector<AspectWindow> windows;
    std::size_t next = 0;
    std::function<void()> done;
};

Rect HostController::aspectMigrationFrame(const Rect& window, const Rect& source, const Rect& target) {
    const double sx = source.width <= 0 ? 1 : target.width / source.width;
    const double sy = source.height <= 0 ? 1 : target.height / source.height;
    const double width = std::floor(std::min(target.width, sx * window.width));
    const double usable = target.height - kMenuBarPoints;
    const double height =
        std::floor(usable <= 1 ? std::min(1.0, sy * window.height) : std::min(usable, sy * window.height));
    const double x = std::max(target.x + sx * (window.x - source.x), target.x);
    const double y = std::max(target.y + sy * (window.y - source.y), target.y + kMenuBarPoints);
    return {std::floor(std::min(target.x + target.width - width, x)),
            std::floor(std::min(target.y + target.height - height, y)), width, height};
}

platform::Point HostController::evacuationOrigin(const Rect& window, const Rect& source, const Rect& target) {
    const double dx = std::max(0.0, window.x - source.x);
    const double dy = std::max(0.0, window.y - source.y);
    const double roomX = target.width - window.width;
    const double roomY = target.height - window.height;
    return {target.x + (roomX >= 0 ? std::min(dx, roomX) : 0), target.y + (roomY >= 0 ? std::min(dy, roomY) : 0)};
}

// Recording the frames to restore.

void HostController::rememberAspectFrame(const AspectWindow& window) {
    const auto known = aspectRecords_.find(window.id);
    if (known != aspectRecords_.end() && known->second.original.pid == window.pid) return;
    auto original = window;
    if (connectionFrames_) {
        const auto snapshot = connectionFrames_->find(window.id);
        if (snapshot != connectionFrames_->end() && snapshot->second.pid == window.pid) original = snapshot->second;
    }
    aspectRecords_[window.id] = AspectRestoreRecord{original, std::nullopt, false};
}

// Before a creation and before each promotion attempt: frames recorded now are what a new
// migration restores to, so restore checks still running for an earlier one stop first.
void HostController::rememberAspectFrames() {
    if (aspectRestoreRetryGeneration_) cancelAspectRestoreRetries();
    if (connectionFrames_) {
        for (const auto& [id, window] : *connectionFrames_) rememberAspectFrame(window);
    }
    if (auto frames = physicalWindowFrames()) {
        for (const auto& [id, window] : *frames) rememberAspectFrame(window);
    }
    persistAspectRecords();
}

std::vector<HostController::AspectPhysicalScreen> HostController::aspectPhysicalScreens() {
    std::vector<AspectPhysicalScreen> screens;
    if (!dependencies_.components.aspectWindows) return screens;
    for (const auto& screen : dependencies_.components.aspectWindows->physicalScreens()) {
        screens.push_back(
            {screen.bounds, savedDisplayOrigin(screen.id).value_or(platform::Point{screen.bounds.x, screen.bounds.y})});
    }
    return screens;
}

std::optional<std::map<std::uint32_t, AspectWindow>> HostController::physicalWindowFrames() {
    const auto& windows = dependencies_.components.aspectWindows;
    if (!windows) return std::nullopt;
    auto list = windows->aspectEvacuationWindows();
    if (!list) {
        log("display aspect fit: physical frame snapshot unavailable (WindowServer list)");
        return std::nullopt;
    }
    const auto screens = aspectPhysicalScreens();
    std::map<std::uint32_t, AspectWindow> frames;
    for (auto window : *list) {
        const auto screen =
            std::ranges::find_if(screens, [&](const auto& s) { return holdsMidpoint(s.bounds, window.frame); });
        if (screen == screens.end()) continue;
        window.frame.x += screen->savedOrigin.x - screen->bounds.x;
        window.frame.y += screen->savedOrigin.y - screen->bounds.y;
        frames.emplace(window.id, std::move(window));
    }
    return frames;
}

// The windows as the session found them, with those display aspect fit still holds at their
// recorded frames, so that a resumed session restores to where the user had them.
void HostController::snapshotConnectionFrames() {
    if (connectionFrames_) return;
    auto frames = physicalWindowFrames();
    if (!frames) return;
    for (const auto& [id, record] : aspectRecords_) {
        const auto live = frames->find(id);
        if (live != frames->end() && live->second.pid == record.original.pid && !record.positionOnly) {
            live->second = record.original;
        }
    }
    log("display aspect fit: connection snapshot windows=" + std::to_string(frames->size()));
    connectionFrames_ = std::move(frames);
}

// The records outlive a crash on disk, so that the next start can put the windows back. The
// disk is the window queue's to wait on, never the controller's.
void HostController::persistAspectRecords() {
    std::vector<SavedAspectFrame> frames;
    for (const auto& [id, record] : aspectRecords_) frames.push_back({record.original, record.positionOnly});
    aspectFramesWriter_->post(dependencies_.components.aspectWindows, std::move(frames));
}

void HostController::cancelAspectRestoreRetries() {
    aspectRestoreRetryGeneration_.reset();
    ++aspectMigrationGeneration_;
    log("display aspect fit: restore retries cancelled (new migration)");
}

// The migration sweep.

void HostController::migrateWindowsToVirtualDisplay() {
    const bool sessionLive = session_ && !session_->detachedAt;
    if (!clientAspectFit_ || !virtualDisplay_ || virtualDisplayPending_ || aspectUpdateScheduled() || !sessionLive ||
        windowFit_ || pendingFit_ || paused_) {
        return;
    }
    if (aspectRestoreRetryGeneration_) cancelAspectRestoreRetries();
    const auto displayID = virtualDisplay_->displayID;
    if (!aspectApplication_ || aspectApplication_->displayID != displayID) {
        aspectApplication_ = std::make_shared<AspectDisplayApplication>(
            displayID, [this] { return static_cast<double>(now()) / 1e6; },
            [this](std::string_view line) { log(line); });
        log("display aspect fit: virtual display ready id=" + std::to_string(displayID));
    }
    const auto application = aspectApplication_;
    const bool captureActive = activeAspectCaptureID_ == displayID;
    application->sweep(
        [&] {
            if (!aspectPromoted_ || !virtualDisplayIsMain()) {
                aspectPromoted_ = false;
                rememberAspectFrames();
                promoteVirtualDisplayToMain();
            }
            return aspectPromoted_;
        },
        [&] {
            stopPipeline();
            if (session_ && !session_->video) {
                log("display aspect fit: virtual capture waiting for video connection id=" + std::to_string(displayID));
            }
            startPipelineIfNeeded();
        },
        captureActive, [&](std::function<void()> done) { moveAspectWindows(std::move(done)); });
    if (application->captureSelected && !capture_) startPipelineIfNeeded();
}

// Reads the window list and hands the windows to move, as one batch, to the window queue.
void HostController::moveAspectWindows(std::function<void()> done) {
    const auto& windows = dependencies_.components.aspectWindows;
    auto list = windows ? windows->aspectWindows() : std::nullopt;
    aspectApplication_->recordWindowList(list.has_value());
    if (!list) {
        done();
        return;
    }
    auto batch = std::make_shared<AspectMoveBatch>();
    batch->application = aspectApplication_;
    batch->session = session_;
    batch->fitGeneration = fitGeneration_;
    batch->target = windows->displayArea(aspectApplication_->displayID).value_or(DisplayArea{}).frame;
    batch->screens = aspectPhysicalScreens();
    for (const auto& window : *list) {
        if (holdsMidpoint(batch->target, window.frame)) {
            aspectApplication_->recordArrivalOnSweep(keyOf(window));
        } else if (std::ranges::any_of(batch->screens,
                                       [&](const auto& s) { return holdsMidpoint(s.bounds, window.frame); }) &&
                   aspectApplication_->canMove(keyOf(window))) {
            batch->windows.push_back(window);
        }
    }
    if (batch->windows.empty()) {
        done();
        return;
    }
    batch->done = std::move(done);
    windows->windowQueue().async([weak = weak_from_this(), batch] {
        if (auto self = weak.lock()) self->moveNextAspectWindow(batch);
    });
}

bool HostController::aspectBatchCurrent(const AspectMoveBatch& batch) const {
    return aspectApplication_ == batch.application && activeAspectCaptureID_ == batch.application->displayID &&
           session_ == batch.session && !(session_ && session_->detachedAt) && clientAspectFit_ &&
           !aspectUpdateScheduled() && !paused_ && !windowFit_ && !pendingFit_ && fitGeneration_ == batch.fitGeneration;
}

// From the window queue: runs `step` on the controller's queue and waits for its answer. A queue
// that has shut down answers no.
bool HostController::aspectHop(const std::function<bool()>& step) {
    try {
        return queue_.sync(step);
    } catch (const base::ExecutorStopped&) {
        return false;
    }
}

// On the window queue: one window of the batch, then the next.
void HostController::moveNextAspectWindow(const std::shared_ptr<AspectMoveBatch>& batch) {
    auto& windows = *dependencies_.components.aspectWindows;
    if (batch->next >= batch->windows.size()) {
        queue_.async([done = batch->done] { done(); });
        return;
    }
    const auto window = batch->windows[batch->next++];
    auto continueBatch = [&] {
        windows.windowQueue().async([weak = weak_from_this(), batch] {
            if (auto self = weak.lock()) self->moveNextAspectWindow(batch);
        });
    };
    const auto isCurrent = [this, batch] { return aspectHop([&] { return aspectBatchCurrent(*batch); }); };
    AXElement element;
    if (!isCurrent() || !resolveForMove(*batch, window, element)) return continueBatch();
    const auto destination = [&] {
        std::optional<Rect> found;
        aspectHop([&] {
            found = aspectDestination(*batch, window, element);
            return true;
        });
        return found;
    }();
    if (!destination) return continueBatch();
    aspectFramesWriter_->flush();
    const auto result = windows.applyAspectFrame(element, *destination, false, true, isCurrent);
    if (result.cancelled || !isCurrent()) return continueBatch();
    if (arrivedOnVirtualDisplay(*batch, window)) {
        bookAspectMove(batch, window, std::nullopt);
        return continueBatch();
    }
    const AspectMoveFailure unconfirmed{"position unconfirmed " + result.diagnostic, result.cannotComplete};
    windows.windowQueue().asyncAfter(kMoveConfirmDelay, [weak = weak_from_this(), batch, window, unconfirmed] {
        auto self = weak.lock();
        if (!self) return;
        const bool arrived = self->arrivedOnVirtualDisplay(*batch, window);
        self->bookAspectMove(batch, window, arrived ? std::nullopt : std::optional(unconfirmed));
        self->moveNextAspectWindow(batch);
    });
}

// On the window queue: the window's element, or false when the window is skipped this time.
bool HostController::resolveForMove(const AspectMoveBatch& batch, const AspectWindow& window, AXElement& element) {
    const auto isCurrent = [&] { return aspectHop([&] { return aspectBatchCurrent(batch); }); };
    auto resolution = dependencies_.components.aspectWindows->resolveAspectWindow(window, isCurrent);
    if (auto* target = std::get_if<WindowTarget>(&resolution)) {
        element = target->axWindow;
        return true;
    }
    if (const auto* excluded = std::get_if<AspectExcluded>(&resolution)) {
        if (excluded->reason.find("AXMinimized=true") != std::string::npos) return false;
        aspectHop([&] {
            if (aspectBatchCurrent(batch)) batch.application->exclude(keyOf(window));
            return true;
        });
    } else if (const auto* failure = std::get_if<AXFailure>(&resolution)) {
        aspectHop([&] {
            if (aspectBatchCurrent(batch)) {
                batch.application->recordMove(keyOf(window),
                                              AspectMoveFailure{failure->description, failure->cannotComplete});
            }
            return true;
        });
    }
    return false;
}

// On the controller's queue: where the window goes on the virtual display, recording where it
// came from first.
std::optional<Rect> HostController::aspectDestination(const AspectMoveBatch& batch, const AspectWindow& window,
                                                      const AXElement& element) {
    if (!aspectBatchCurrent(batch) || batch.target.isEmpty()) return std::nullopt;
    const auto live = dependencies_.components.aspectWindows->aspectWindow(window.id);
    if (!live || live->pid != window.pid) return std::nullopt;
    const auto screen =
        std::ranges::find_if(batch.screens, [&](const auto& s) { return holdsMidpoint(s.bounds, live->frame); });
    if (screen == batch.screens.end()) return std::nullopt;
    auto saved = *live;
    saved.frame.x += screen->savedOrigin.x - screen->bounds.x;
    saved.frame.y += screen->savedOrigin.y - screen->bounds.y;
    rememberAspectFrame(saved);
    auto& record = aspectRecords_[window.id];
    record.axWindow = element;
    persistAspectRecords();
    const Rect moving{live->frame.x, live->frame.y, record.original.frame.width, record.original.frame.height};
    return aspectMigrationFrame(moving, screen->bounds, batch.target);
}

// On the window queue: the window's middle is on the virtual display, read while the batch holds.
bool HostController::arrivedOnVirtualDisplay(const AspectMoveBatch& batch, const AspectWindow& window) {
    std::optional<AspectWindow> live;
    const bool current = aspectHop([&] { return aspectBatchCurrent(batch); });
    if (current) live = dependencies_.components.aspectWindows->aspectWindow(window.id);
    return live && live->pid == window.pid && holdsMidpoint(batch.target, live->frame);
}

void HostController::bookAspectMove(const std::shared_ptr<AspectMoveBatch>& batch, const AspectWindow& window,
                                    std::optional<AspectMoveFailure> failure) {
    aspectHop([&] {
        if (aspectBatchCurrent(*batch)) batch->application->recordMove(keyOf(window), failure);
        return true;
    });
}

// Windows on the virtual display at release.

std::optional<Rect> HostController::evacuationBounds(std::uint32_t displayID, bool virtualDisplay) {
    const auto& windows = dependencies_.components.aspectWindows;
    if (displayID == 0 || !windows) return std::nullopt;
    const auto screens = windows->physicalScreens();
    const bool physical = std::ranges::any_of(screens, [&](const auto& s) { return s.id == displayID; });
    const auto area = windows->displayArea(displayID);
    if (!area || physical == virtualDisplay) return std::nullopt;
    const auto& bounds = area->frame;
    if (bounds.isEmpty() || !std::isfinite(bounds.x + bounds.y + bounds.width + bounds.height)) return std::nullopt;
    return bounds;
}

// `physicalID`: the physical capture display, where the windows go.
void HostController::recordWindowsToEvacuate(std::uint32_t virtualDisplayID, std::uint32_t physicalID,
                                             bool replacingAspectDisplay) {
    if (physicalID == virtualDisplayID) return;
    const auto source = evacuationBounds(virtualDisplayID, true);
    auto target = evacuationBounds(physicalID, false);
    if (!source || !target) return;
    if (auto saved = savedDisplayOrigin(physicalID); saved && finitePoint(*saved)) placeAt(*target, *saved);
    auto& windows = *dependencies_.components.aspectWindows;
    auto evacuated = [&](AspectWindow window) {
        placeAt(window.frame, evacuationOrigin(window.frame, *source, *target));
        return window;
    };
    if (replacingAspectDisplay) {
        auto list = windows.aspectEvacuationWindows();
        if (!list) {
            log("display aspect fit: evacuation snapshot unavailable on replacement");
            return;
        }
        for (const auto& window : *list) {
            if (aspectRecords_.contains(window.id) || !holdsMidpoint(*source, window.frame)) continue;
            aspectRecords_[window.id] = AspectRestoreRecord{evacuated(window), std::nullopt, true};
        }
        persistAspectRecords();
        return;
    }
    std::set<std::uint32_t> recorded;
    for (const auto& [id, record] : aspectRecords_) recorded.insert(id);
    std::size_t count = 0;
    windows.visitWindows(*source, recorded, [&](std::uint32_t id, const WindowTarget& visited) {
        auto original = evacuated(AspectWindow{id, visited.owner.pid, visited.appName, visited.frame});
        if (windowFit_ && windowFit_->target.axWindow == visited.axWindow) {
            const auto& back = windowFit_->originalOrigin;
            const auto top = platform::Point{back.x + visited.frame.width / 2, back.y};
            const bool onSavedDisplay = std::ranges::any_of(aspectPhysicalScreens(), [&](const auto& screen) {
                return Rect{screen.savedOrigin.x, screen.savedOrigin.y, screen.bounds.width, screen.bounds.height}
                    .contains(top.x, top.y);
            });
            if (onSavedDisplay) placeAt(original.frame, back);
        }
        aspectRecords_[id] = AspectRestoreRecord{original, visited.axWindow, true};
        ++count;
    });
    persistAspectRecords();
    log("display aspect fit: evacuating " + std::to_string(count) +
        " additional windows from virtual id=" + std::to_string(virtualDisplayID));
}

// Putting windows back.

void HostController::restoreAspectMigratedWindows(bool replacingAspectDisplay) {
    // The release records what sits on the display before the display goes; doing it here keeps
    // that ahead of the restore on every path that still has a display.
    if (virtualDisplay_ && dependencies_.components.aspectWindows) {
        recordWindowsToEvacuate(virtualDisplay_->displayID, physicalCaptureDisplayID(), replacingAspectDisplay);
    }
    ++aspectMigrationGeneration_;
    aspectApplication_.reset();
    aspectRestoreRetryGeneration_.reset();
    demoteVirtualDisplayFromMain();
    if (aspectRecords_.empty() || !dependencies_.components.aspectWindows) return;
    if (!replacingAspectDisplay) evacuateKnownWindows();
    aspectRestoreRetryGeneration_ = aspectMigrationGeneration_;
    AspectRecordIDs ids;
    for (const auto& [id, record] : aspectRecords_) ids.push_back(id);
    scheduleAspectRestoreCheck(std::move(ids), aspectMigrationGeneration_, 0);
}

void HostController::evacuateKnownWindows() {
    auto& windows = *dependencies_.components.aspectWindows;
    for (auto& [id, record] : aspectRecords_) {
        if (!record.axWindow || id == 0) continue;
        const auto& element = *record.axWindow;
        const auto live = windows.aspectWindow(id);
        if (!live || live->id != id || live->pid != record.original.pid) continue;
        auto current = live->frame;
        if (pendingFit_ && pendingFit_->target.axWindow == element && pendingFit_->inheritedOriginal) {
            placeAt(record.original.frame, *pendingFit_->inheritedOriginal);
        }
        if (windowFit_ && !windowFit_->suspended && windowFit_->target.axWindow == element) {
            placeAt(record.original.frame, windowFit_->originalOrigin);
            windows.writePosition(element, windowFit_->originalOrigin);
            if (auto frame = windows.readFrame(element)) {
                windowFit_->appliedFrame = *frame;
                current = *frame;
            }
        }
        if (matchesRecord(record, current)) continue;
        const auto& frame = record.original.frame;
        windows.writePosition(element, {frame.x, frame.y});
        if (record.positionOnly) continue;
        windows.writeSize(element, {frame.width, frame.height});
        windows.writePosition(element, {frame.x, frame.y});
    }
    persistAspectRecords();
}

void HostController::scheduleAspectRestoreCheck(AspectRecordIDs ids, std::uint64_t generation, int attempt) {
    const auto delayMs = kAspectRestoreCheckDelaysMs[static_cast<std::size_t>(std::clamp(attempt, 0, 3))];
    queue_.asyncAfter(std::chrono::milliseconds(delayMs),
                      [weak = weak_from_this(), ids = std::move(ids), generation, attempt] {
                          if (auto self = weak.lock()) self->runAspectRestoreCheck(ids, generation, attempt);
                      });
}

void HostController::runAspectRestoreCheck(const AspectRecordIDs& ids, std::uint64_t generation, int attempt) {
    if (aspectRestoreRetryGeneration_ != generation) return;
    if (displayRestorePending_) {
        scheduleAspectRestoreCheck(ids, generation, attempt);
        return;
    }
    std::vector<AspectRestoreRecord> records;
    for (auto id : ids) {
        if (auto found = aspectRecords_.find(id); found != aspectRecords_.end()) records.push_back(found->second);
    }
    dependencies_.components.aspectWindows->windowQueue().async(
        [weak = weak_from_this(), records = std::move(records), generation, attempt, fit = fitGeneration_] {
            if (auto self = weak.lock()) self->checkRestoredWindows(records, generation, attempt, fit);
        });
}

// On the window queue: each record verified, given up or tried again.
void HostController::checkRestoredWindows(const std::vector<AspectRestoreRecord>& records, std::uint64_t generation,
                                          int attempt, std::uint64_t fitGeneration) {
    auto& windows = *dependencies_.components.aspectWindows;
    const std::function<bool()> isCurrent = [&] {
        return aspectHop([&] { return aspectRestoreRetryGeneration_ == generation; });
    };
    AspectRecordIDs settled;
    AspectRecordIDs kept;
    for (const auto& record : records) {
        if (!isCurrent()) break;
        const auto id = record.original.id;
        const auto live = windows.aspectWindow(id);
        const auto detail = restoreDetail(record, live);
        const bool sameOwner = live && live->pid == record.original.pid;
        if (sameOwner && matchesRecord(record, live->frame)) {
            log("display aspect fit: restore verified " + detail);
            settled.push_back(id);
        } else if (attempt >= kAspectRestoreLastAttempt || (live && !sameOwner)) {
            log("display aspect fit: restore mismatch " + detail +
                " reason=" + (live ? "owner or frame mismatch" : "window unavailable"));
            settled.push_back(id);
        } else if (auto failure = retryAspectRestore(record, live, isCurrent, fitGeneration)) {
            log("display aspect fit: restore attempt=" + std::to_string(attempt + 1) + "/" +
                std::to_string(kAspectRestoreLastAttempt) + " " + detail + " reason=" + *failure);
            kept.push_back(id);
        }
    }
    queue_.async([weak = weak_from_this(), settled = std::move(settled), kept = std::move(kept), generation, attempt] {
        if (auto self = weak.lock()) self->finishAspectRestoreCheck(settled, kept, generation, attempt);
    });
}

void HostController::finishAspectRestoreCheck(const AspectRecordIDs& settled, AspectRecordIDs kept,
                                              std::uint64_t generation, int attempt) {
    if (aspectRestoreRetryGeneration_ != generation) return;
    for (auto id : settled) aspectRecords_.erase(id);
    persistAspectRecords();
    if (kept.empty()) {
        aspectRestoreRetryGeneration_.reset();
        return;
    }
    scheduleAspectRestoreCheck(std::move(kept), generation, attempt + 1);
}

// On the window queue: the failure text to log, or nothing when the window was handled or the
// restore is no longer wanted.
std::optional<std::string> HostController::retryAspectRestore(const AspectRestoreRecord& record,
                                                              const std::optional<AspectWindow>& live,
                                                              const std::function<bool()>& isCurrent,
                                                              std::uint64_t fitGeneration) {
    if (!live || live->pid != record.original.pid) return "window unavailable";
    auto& windows = *dependencies_.components.aspectWindows;
    const std::function<bool()> stillCurrent = [&] {
        return isCurrent() && aspectHop([&] { return fitGeneration_ == fitGeneration; });
    };
    AXElement element;
    if (record.positionOnly && record.axWindow) {
        element = *record.axWindow;
    } else {
        auto resolution = windows.resolveAspectWindow(record.original, stillCurrent);
        if (std::holds_alternative<Cancelled>(resolution)) return std::nullopt;
        if (const auto* failure = std::get_if<AXFailure>(&resolution)) return failure->description;
        if (const auto* excluded = std::get_if<AspectExcluded>(&resolution)) return excluded->reason;
        element = std::get<WindowTarget>(resolution).axWindow;
    }
    const bool deferred = aspectHop([&] {
        if (!windowFit_ || windowFit_->suspended || windowFit_->target.axWindow != element) return false;
        windowFit_->originalOrigin = {record.original.frame.x, record.original.frame.y};
        log("display aspect fit: restore deferred to disconnect window=" + std::to_string(record.original.id) +
            " pid=" + std::to_string(record.original.pid) + " (active window fit)");
        return true;
    });
    if (deferred) return std::nullopt;
    const auto result =
        windows.applyAspectFrame(element, record.original.frame, record.positionOnly, false, stillCurrent);
    if (!stillCurrent()) return std::nullopt;
    return result.diagnostic;
}

// A display's usable rectangle: its area less what a panel across the top takes, or, when asked,
// less panels on any side.
std::optional<Rect> HostController::visibleBounds(std::uint32_t displayID, bool includeDockOnly) {
    const auto& windows = dependencies_.components.aspectWindows;
    const auto area = windows ? windows->displayArea(displayID) : std::nullopt;
    if (!area) return std::nullopt;
    const auto& frame = area->frame;
    const auto& visible = area->visible;
    const double topInset = visible.y - frame.y;
    if (!(topInset > 0 || (includeDockOnly && visible != frame)) || visible.isEmpty()) return std::nullopt;
    return Rect{frame.x + (visible.x - frame.x), frame.y + topInset, visible.width, visible.height};
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
