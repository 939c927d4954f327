// Windows moved onto the aspect display, evacuated from it and put back.
#include "host/controller/WindowMigration.h"

#include <algorithm>
#include <cmath>
#include <set>

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

WindowMigration::WindowMigration(base::Executor& queue, std::shared_ptr<HostAspectWindows> windows,
                                 LogFunction writerLog)
    : queue_(queue),
      windows_(std::move(windows)),
      // The writer may outlive the component in a queued write: it logs through its own copy.
      framesWriter_(std::make_shared<AspectFramesWriter>(std::move(writerLog))) {}

void WindowMigration::post(base::Executor& executor, std::function<void(WindowMigration&)> task) {
    executor.async([lifetime = lifetime_, self = this, task = std::move(task)] {
        if (const auto alive = lifetime.lock()) task(*self);
    });
}

void WindowMigration::postAfter(base::Executor& executor, base::Micros delay,
                                std::function<void(WindowMigration&)> task) {
    executor.asyncAfter(delay, [lifetime = lifetime_, self = this, task = std::move(task)] {
        if (const auto alive = lifetime.lock()) task(*self);
    });
}

// One batch of moves: what it was started with, so that each step can tell whether it still holds.
struct WindowMigration::MoveBatch {
    std::shared_ptr<AspectDisplayApplication> application;
    std::shared_ptr<HostSession> session;
    std::uint64_t fitGeneration = 0;
    Rect target;  // the virtual display's bounds
    std::vector<PhysicalScreen> screens;
    std::vector<AspectWindow> windows;
    std::size_t next = 0;
    std::function<void()> done;
};

Rect WindowMigration::migrationFrame(const Rect& window, const Rect& source, const Rect& target) {
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

platform::Point WindowMigration::evacuationOrigin(const Rect& window, const Rect& source, const Rect& target) {
    const double dx = std::max(0.0, window.x - source.x);
    const double dy = std::max(0.0, window.y - source.y);
    const double roomX = target.width - window.width;
    const double roomY = target.height - window.height;
    return {target.x + (roomX >= 0 ? std::min(dx, roomX) : 0), target.y + (roomY >= 0 ? std::min(dy, roomY) : 0)};
}

// Recording the frames to restore.

void WindowMigration::rememberFrame(const AspectWindow& window) {
    const auto known = records_.find(window.id);
    if (known != records_.end() && known->second.original.pid == window.pid) return;
    auto original = window;
    if (const auto& frames = host.connectionFrames()) {
        const auto snapshot = frames->find(window.id);
        if (snapshot != frames->end() && snapshot->second.pid == window.pid) original = snapshot->second;
    }
    records_[window.id] = AspectRestoreRecord{original, std::nullopt, false};
}

// Before a creation and before each promotion attempt: frames recorded now are what a new
// migration restores to, so restore checks still running for an earlier one stop first.
void WindowMigration::rememberFrames() {
    if (restoreRetryGeneration_) cancelRestoreRetries();
    if (const auto& frames = host.connectionFrames()) {
        for (const auto& [id, window] : *frames) rememberFrame(window);
    }
    if (auto frames = physicalWindowFrames()) {
        for (const auto& [id, window] : *frames) rememberFrame(window);
    }
    persistRecords();
}

std::vector<WindowMigration::PhysicalScreen> WindowMigration::physicalScreens() {
    std::vector<PhysicalScreen> screens;
    if (!windows_) return screens;
    for (const auto& screen : windows_->physicalScreens()) {
        screens.push_back({screen.bounds,
                           display.savedOrigin(screen.id).value_or(platform::Point{screen.bounds.x, screen.bounds.y})});
    }
    return screens;
}

std::optional<std::map<std::uint32_t, AspectWindow>> WindowMigration::physicalWindowFrames() {
    const auto& windows = windows_;
    if (!windows) return std::nullopt;
    auto list = windows->aspectEvacuationWindows();
    if (!list) {
        log("display aspect fit: physical frame snapshot unavailable (WindowServer list)");
        return std::nullopt;
    }
    const auto screens = physicalScreens();
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
void WindowMigration::snapshotConnectionFrames() {
    auto& connectionFrames = host.connectionFrames();
    if (connectionFrames) return;
    auto frames = physicalWindowFrames();
    if (!frames) return;
    for (const auto& [id, record] : records_) {
        const auto live = frames->find(id);
        if (live != frames->end() && live->second.pid == record.original.pid && !record.positionOnly) {
            live->second = record.original;
        }
    }
    log("display aspect fit: connection snapshot windows=" + std::to_string(frames->size()));
    connectionFrames = std::move(frames);
}

// The records outlive a crash on disk, so that the next start can put the windows back. The
// disk is the window queue's to wait on, never the controller's.
void WindowMigration::persistRecords() {
    std::vector<SavedAspectFrame> frames;
    for (const auto& [id, record] : records_) frames.push_back({record.original, record.positionOnly});
    framesWriter_->post(windows_, std::move(frames));
}

void WindowMigration::cancelRestoreRetries() {
    restoreRetryGeneration_.reset();
    ++generation_;
    log("display aspect fit: restore retries cancelled (new migration)");
}

// The migration sweep.

void WindowMigration::migrate() {
    const auto session = host.session();
    const bool sessionLive = session && !session->detachedAt;
    const auto virtualID = display.virtualDisplayID();
    if (!display.aspectFitOn() || !virtualID || display.creationPending() || display.updateScheduled() ||
        !sessionLive || fit.inPlay() || host.paused()) {
        return;
    }
    if (restoreRetryGeneration_) cancelRestoreRetries();
    const auto displayID = *virtualID;
    auto application = host.application();
    if (!application || application->displayID != displayID) {
        application = std::make_shared<AspectDisplayApplication>(
            displayID, [now = host.now] { return static_cast<double>(now()) / 1e6; }, host.log);
        host.setApplication(application);
        log("display aspect fit: virtual display ready id=" + std::to_string(displayID));
    }
    const bool captureActive = host.aspectCaptureID() == displayID;
    application->sweep(
        [&] {
            if (display.promoted()) return true;
            rememberFrames();
            return display.promote();
        },
        [&] {
            host.stopPipeline();
            if (const auto current = host.session(); current && !current->video) {
                log("display aspect fit: virtual capture waiting for video connection id=" + std::to_string(displayID));
            }
            host.startPipeline();
        },
        captureActive, [&](std::function<void()> done) { moveWindows(std::move(done)); });
    if (application->captureSelected && !host.capturing()) host.startPipeline();
}

// Reads the window list and hands the windows to move, as one batch, to the window queue.
void WindowMigration::moveWindows(std::function<void()> done) {
    const auto& windows = windows_;
    const auto application = host.application();
    auto list = windows ? windows->aspectWindows() : std::nullopt;
    application->recordWindowList(list.has_value());
    if (!list) {
        done();
        return;
    }
    auto batch = std::make_shared<MoveBatch>();
    batch->application = application;
    batch->session = host.session();
    batch->fitGeneration = fit.generation();
    batch->target = windows->displayArea(application->displayID).value_or(DisplayArea{}).frame;
    batch->screens = physicalScreens();
    for (const auto& window : *list) {
        if (holdsMidpoint(batch->target, window.frame)) {
            application->recordArrivalOnSweep(keyOf(window));
        } else if (std::ranges::any_of(batch->screens,
                                       [&](const auto& s) { return holdsMidpoint(s.bounds, window.frame); }) &&
                   application->canMove(keyOf(window))) {
            batch->windows.push_back(window);
        }
    }
    if (batch->windows.empty()) {
        done();
        return;
    }
    batch->done = std::move(done);
    post(windows->windowQueue(), [batch](WindowMigration& self) { self.moveNextWindow(batch); });
}

bool WindowMigration::batchCurrent(const MoveBatch& batch) const {
    const auto session = host.session();
    return host.application() == batch.application && host.aspectCaptureID() == batch.application->displayID &&
           session == batch.session && !(session && session->detachedAt) && display.aspectFitOn() &&
           !display.updateScheduled() && !host.paused() && !fit.inPlay() && fit.generation() == batch.fitGeneration;
}

// From the window queue: runs `step` on the controller's queue and waits for its answer. A queue
// that has shut down answers no.
bool WindowMigration::hop(const std::function<bool()>& step) {
    try {
        return queue_.sync(step);
    } catch (const base::ExecutorStopped&) {
        return false;
    }
}

// On the window queue: one window of the batch, then the next.
void WindowMigration::moveNextWindow(const std::shared_ptr<MoveBatch>& batch) {
    auto& windows = *windows_;
    if (batch->next >= batch->windows.size()) {
        queue_.async([done = batch->done] { done(); });
        return;
    }
    const auto window = batch->windows[batch->next++];
    auto continueBatch = [&] {
        post(windows.windowQueue(), [batch](WindowMigration& self) { self.moveNextWindow(batch); });
    };
    const auto isCurrent = [this, batch] { return hop([&] { return batchCurrent(*batch); }); };
    AXElement element;
    if (!isCurrent() || !resolveForMove(*batch, window, element)) return continueBatch();
    const auto landing = [&] {
        std::optional<Rect> found;
        hop([&] {
            found = destination(*batch, window, element);
            return true;
        });
        return found;
    }();
    if (!landing) return continueBatch();
    framesWriter_->flush();
    const auto result = windows.applyAspectFrame(element, *landing, false, true, isCurrent);
    if (result.cancelled || !isCurrent()) return continueBatch();
    if (arrivedOnVirtualDisplay(*batch, window)) {
        bookMove(batch, window, std::nullopt);
        return continueBatch();
    }
    const AspectMoveFailure unconfirmed{"position unconfirmed " + result.diagnostic, result.cannotComplete};
    postAfter(windows.windowQueue(), kMoveConfirmDelay, [batch, window, unconfirmed](WindowMigration& self) {
        const bool arrived = self.arrivedOnVirtualDisplay(*batch, window);
        self.bookMove(batch, window, arrived ? std::nullopt : std::optional(unconfirmed));
        self.moveNextWindow(batch);
    });
}

// On the window queue: the window's element, or false when the window is skipped this time.
bool WindowMigration::resolveForMove(const MoveBatch& batch, const AspectWindow& window, AXElement& element) {
    const auto isCurrent = [&] { return hop([&] { return batchCurrent(batch); }); };
    auto resolution = windows_->resolveAspectWindow(window, isCurrent);
    if (auto* target = std::get_if<WindowTarget>(&resolution)) {
        element = target->axWindow;
        return true;
    }
    if (const auto* excluded = std::get_if<AspectExcluded>(&resolution)) {
        if (excluded->reason.find("AXMinimized=true") != std::string::npos) return false;
        hop([&] {
            if (batchCurrent(batch)) batch.application->exclude(keyOf(window));
            return true;
        });
    } else if (const auto* failure = std::get_if<AXFailure>(&resolution)) {
        hop([&] {
            if (batchCurrent(batch)) {
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
std::optional<Rect> WindowMigration::destination(const MoveBatch& batch, const AspectWindow& window,
                                                 const AXElement& element) {
    if (!batchCurrent(batch) || batch.target.isEmpty()) return std::nullopt;
    const auto live = windows_->aspectWindow(window.id);
    if (!live || live->pid != window.pid) return std::nullopt;
    const auto screen =
        std::ranges::find_if(batch.screens, [&](const auto& s) { return holdsMidpoint(s.bounds, live->frame); });
    if (screen == batch.screens.end()) return std::nullopt;
    auto saved = *live;
    saved.frame.x += screen->savedOrigin.x - screen->bounds.x;
    saved.frame.y += screen->savedOrigin.y - screen->bounds.y;
    rememberFrame(saved);
    auto& record = records_[window.id];
    record.axWindow = element;
    persistRecords();
    const Rect moving{live->frame.x, live->frame.y, record.original.frame.width, record.original.frame.height};
    return migrationFrame(moving, screen->bounds, batch.target);
}

// On the window queue: the window's middle is on the virtual display, read while the batch holds.
bool WindowMigration::arrivedOnVirtualDisplay(const MoveBatch& batch, const AspectWindow& window) {
    std::optional<AspectWindow> live;
    const bool current = hop([&] { return batchCurrent(batch); });
    if (current) live = windows_->aspectWindow(window.id);
    return live && live->pid == window.pid && holdsMidpoint(batch.target, live->frame);
}

void WindowMigration::bookMove(const std::shared_ptr<MoveBatch>& batch, const AspectWindow& window,
                               std::optional<AspectMoveFailure> failure) {
    hop([&] {
        if (batchCurrent(*batch)) batch->application->recordMove(keyOf(window), failure);
        return true;
    });
}

// Windows on the virtual display at release.

std::optional<Rect> WindowMigration::evacuationBounds(std::uint32_t displayID, bool virtualDisplay) {
    const auto& windows = windows_;
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
void WindowMigration::recordWindowsToEvacuate(std::uint32_t virtualDisplayID, std::uint32_t physicalID,
                                              bool replacingAspectDisplay) {
    if (physicalID == virtualDisplayID) return;
    const auto source = evacuationBounds(virtualDisplayID, true);
    auto target = evacuationBounds(physicalID, false);
    if (!source || !target) return;
    if (auto saved = display.savedOrigin(physicalID); saved && finitePoint(*saved)) placeAt(*target, *saved);
    auto& windows = *windows_;
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
            if (records_.contains(window.id) || !holdsMidpoint(*source, window.frame)) continue;
            records_[window.id] = AspectRestoreRecord{evacuated(window), std::nullopt, true};
        }
        persistRecords();
        return;
    }
    std::set<std::uint32_t> recorded;
    for (const auto& [id, record] : records_) recorded.insert(id);
    std::size_t count = 0;
    windows.visitWindows(*source, recorded, [&](std::uint32_t id, const WindowTarget& visited) {
        auto original = evacuated(AspectWindow{id, visited.owner.pid, visited.appName, visited.frame});
        if (const auto fitted = fit.fittedOrigin(visited.axWindow)) {
            const auto& back = *fitted;
            const auto top = platform::Point{back.x + visited.frame.width / 2, back.y};
            const bool onSavedDisplay = std::ranges::any_of(physicalScreens(), [&](const auto& screen) {
                return Rect{screen.savedOrigin.x, screen.savedOrigin.y, screen.bounds.width, screen.bounds.height}
                    .contains(top.x, top.y);
            });
            if (onSavedDisplay) placeAt(original.frame, back);
        }
        records_[id] = AspectRestoreRecord{original, visited.axWindow, true};
        ++count;
    });
    persistRecords();
    log("display aspect fit: evacuating " + std::to_string(count) +
        " additional windows from virtual id=" + std::to_string(virtualDisplayID));
}

// Putting windows back.

void WindowMigration::restore(bool replacingAspectDisplay) {
    // The release records what sits on the display before the display goes; doing it here keeps
    // that ahead of the restore on every path that still has a display.
    if (const auto virtualID = display.virtualDisplayID(); virtualID && windows_) {
        recordWindowsToEvacuate(*virtualID, display.physicalCaptureDisplayID(), replacingAspectDisplay);
    }
    ++generation_;
    host.setApplication(nullptr);
    restoreRetryGeneration_.reset();
    display.demote();
    if (records_.empty() || !windows_) return;
    if (!replacingAspectDisplay) evacuateKnownWindows();
    restoreRetryGeneration_ = generation_;
    RecordIDs ids;
    for (const auto& [id, record] : records_) ids.push_back(id);
    scheduleRestoreCheck(std::move(ids), generation_, 0);
}

void WindowMigration::evacuateKnownWindows() {
    auto& windows = *windows_;
    for (auto& [id, record] : records_) {
        if (!record.axWindow || id == 0) continue;
        const auto& element = *record.axWindow;
        const auto live = windows.aspectWindow(id);
        if (!live || live->id != id || live->pid != record.original.pid) continue;
        auto current = live->frame;
        if (const auto inherited = fit.pendingOrigin(element)) placeAt(record.original.frame, *inherited);
        if (const auto origin = fit.activeOrigin(element)) {
            placeAt(record.original.frame, *origin);
            windows.writePosition(element, *origin);
            if (auto frame = windows.readFrame(element)) {
                fit.setActiveAppliedFrame(*frame);
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
    persistRecords();
}

void WindowMigration::scheduleRestoreCheck(RecordIDs ids, std::uint64_t generation, int attempt) {
    const auto delayMs = kRestoreCheckDelaysMs[static_cast<std::size_t>(std::clamp(attempt, 0, 3))];
    postAfter(queue_, std::chrono::milliseconds(delayMs),
              [ids = std::move(ids), generation, attempt](WindowMigration& self) {
                  self.runRestoreCheck(ids, generation, attempt);
              });
}

void WindowMigration::runRestoreCheck(const RecordIDs& ids, std::uint64_t generation, int attempt) {
    if (restoreRetryGeneration_ != generation) return;
    if (display.restorePending()) {
        scheduleRestoreCheck(ids, generation, attempt);
        return;
    }
    std::vector<AspectRestoreRecord> records;
    for (auto id : ids) {
        if (auto found = records_.find(id); found != records_.end()) records.push_back(found->second);
    }
    post(windows_->windowQueue(),
         [records = std::move(records), generation, attempt, fitGeneration = fit.generation()](WindowMigration& self) {
             self.checkRestoredWindows(records, generation, attempt, fitGeneration);
         });
}

// On the window queue: each record verified, given up or tried again.
void WindowMigration::checkRestoredWindows(const std::vector<AspectRestoreRecord>& records, std::uint64_t generation,
                                           int attempt, std::uint64_t fitGeneration) {
    auto& windows = *windows_;
    const std::function<bool()> isCurrent = [&] { return hop([&] { return restoreRetryGeneration_ == generation; }); };
    RecordIDs settled;
    RecordIDs kept;
    for (const auto& record : records) {
        if (!isCurrent()) break;
        const auto id = record.original.id;
        const auto live = windows.aspectWindow(id);
        const auto detail = restoreDetail(record, live);
        const bool sameOwner = live && live->pid == record.original.pid;
        if (sameOwner && matchesRecord(record, live->frame)) {
            log("display aspect fit: restore verified " + detail);
            settled.push_back(id);
        } else if (attempt >= kRestoreLastAttempt || (live && !sameOwner)) {
            log("display aspect fit: restore mismatch " + detail +
                " reason=" + (live ? "owner or frame mismatch" : "window unavailable"));
            settled.push_back(id);
        } else if (auto failure = retryRestore(record, live, isCurrent, fitGeneration)) {
            log("display aspect fit: restore attempt=" + std::to_string(attempt + 1) + "/" +
                std::to_string(kRestoreLastAttempt) + " " + detail + " reason=" + *failure);
            kept.push_back(id);
        }
    }
    post(queue_, [settled = std::move(settled), kept = std::move(kept), generation, attempt](WindowMigration& self) {
        self.finishRestoreCheck(settled, std::move(kept), generation, attempt);
    });
}

void WindowMigration::finishRestoreCheck(const RecordIDs& settled, RecordIDs kept, std::uint64_t generation,
                                         int attempt) {
    if (restoreRetryGeneration_ != generation) return;
    for (auto id : settled) records_.erase(id);
    persistRecords();
    if (kept.empty()) {
        restoreRetryGeneration_.reset();
        return;
    }
    scheduleRestoreCheck(std::move(kept), generation, attempt + 1);
}

// On the window queue: the failure text to log, or nothing when the window was handled or the
// restore is no longer wanted.
std::optional<std::string> WindowMigration::retryRestore(const AspectRestoreRecord& record,
                                                         const std::optional<AspectWindow>& live,
                                                         const std::function<bool()>& isCurrent,
                                                         std::uint64_t fitGeneration) {
    if (!live || live->pid != record.original.pid) return "window unavailable";
    auto& windows = *windows_;
    const std::function<bool()> stillCurrent = [&] {
        return isCurrent() && hop([&] { return fit.generation() == fitGeneration; });
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
    const bool deferred = hop([&] {
        if (!fit.activeOrigin(element)) return false;
        fit.setActiveOrigin({record.original.frame.x, record.original.frame.y});
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
std::optional<Rect> WindowMigration::visibleBounds(std::uint32_t displayID, bool includeDockOnly) const {
    const auto& windows = windows_;
    const auto area = windows ? windows->displayArea(displayID) : std::nullopt;
    if (!area) return std::nullopt;
    const auto& frame = area->frame;
    const auto& visible = area->visible;
    const double topInset = visible.y - frame.y;
    if (!(topInset > 0 || (includeDockOnly && visible != frame)) || visible.isEmpty()) return std::nullopt;
    return Rect{frame.x + (visible.x - frame.x), frame.y + topInset, visible.width, visible.height};
}

}  // namespace orvanta::host
