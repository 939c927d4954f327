// Window fit: one application window centred on the capture display, captured on its own and
// followed as its application opens, focuses and closes windows. Lookups and the watcher run on the
// window side's task executor and touch the controller's state only in hops to its queue; every
// late result is recognised by the fit and selection generations.
#include <charconv>
#include <map>
#include <set>

#include "host/controller/HostController.h"

namespace orvanta::host {

namespace {

constexpr std::int64_t kMaxViewportSide = 32'768;
constexpr double kFollowMinimumWidth = 200;
constexpr double kFollowMinimumHeight = 120;
constexpr int kMissesBeforeGone = 3;
constexpr int kRejectionsWhilePending = 3;

// A viewport of 1 to 32768 pixels a side: anything else is no viewport. The wire carries 64-bit
// numbers, which would wrap when narrowed.
std::optional<FitViewport> fitViewport(std::int64_t width, std::int64_t height) {
    if (width < 1 || height < 1 || width > kMaxViewportSide || height > kMaxViewportSide) return std::nullopt;
    return FitViewport{static_cast<int>(width), static_cast<int>(height)};
}

// The capturable window has the area a capture shows; the pointer maps onto that same area.
platform::ShareableWindow shareable(const platform::WindowDescription& window) {
    const auto bounds = window.content ? *window.content : window.bounds.value_or(Rect{});
    return {window.number.value_or(0), {bounds.x, bounds.y, bounds.width, bounds.height}};
}

std::string formatPoint(const platform::Point& point) {
    return "(" + formatNumber(point.x) + ", " + formatNumber(point.y) + ")";
}

platform::DisplayRect shifted(const platform::ScreenRect& rect, double dx, double dy) {
    return {rect.x + dx, rect.y + dy, rect.width, rect.height};
}

// Runs `work` on the controller's queue while the controller lives and waits for its answer;
// nothing when the controller or its queue is gone.
template <class Work>
auto onQueue(base::Executor& queue, const std::weak_ptr<HostController>& weak, Work work)
    -> std::optional<std::invoke_result_t<Work&, HostController&>> {
    using Result = std::invoke_result_t<Work&, HostController&>;
    try {
        return queue.sync([&]() -> std::optional<Result> {
            auto self = weak.lock();
            if (!self) return std::nullopt;
            return work(*self);
        });
    } catch (const base::ExecutorStopped&) {
        return std::nullopt;
    }
}

}  // namespace

// The watcher's own state, for one fit.
struct HostController::FitWatch {
    std::uint64_t generation = 0;
    std::optional<std::uint32_t> windowID;
    int misses = 0;
    FitViewport viewport;
    WindowTarget target;
    std::map<std::uint32_t, int> rejections;  // layer, size or target failures per window
};

// A fit between asking for its window's move and knowing where the window settled.
struct HostController::FitPlacement {
    std::uint64_t generation = 0;
    WindowTarget target;
    FitViewport viewport;
    std::optional<platform::ShareableWindow> knownWindow;
    bool onVirtual = false;
    bool visibleFrame = false;
    platform::Point origin{};
    Rect actual{};
};

// What one pass of the watcher saw and decided from.
struct HostController::FitSnapshot {
    struct Candidate {
        std::uint32_t id = 0;
        WindowTarget target;
        platform::WindowDescription window;
    };

    std::optional<std::uint32_t> fitted;
    std::optional<WindowFollowHistory> history;
    std::optional<std::uint32_t> created;
    std::optional<std::uint32_t> destroyed;
    std::optional<std::uint32_t> focused;
    std::set<std::uint32_t> present;
    bool fittedPresent = false;
    std::vector<Candidate> eligible;
    std::set<std::uint32_t> pending;
    std::optional<std::uint32_t> top;
};

bool HostController::isPhone() const {
    return session_ && (session_->deviceKind == DeviceKind::iPhone ||
                        (session_->deviceKind == DeviceKind::android && session_->hasPhoneIdiom));
}

// A fit starting or ending invalidates where the pointer lands until the new picture is shown.
// Only what the client holds is let go: the local user's drag or held Shift is theirs.
void HostController::beginFitPointerChange() {
    if (windowPointerState_ == WindowPointerState::ready && input_) input_->releaseHeldPointerInputs();
    windowPointerState_ = WindowPointerState::changing;
}

void HostController::clearFitInputRects() {
    if (!input_) return;
    auto mapping = input_->mapping();
    mapping.targetRect.reset();
    mapping.visibleWindowRect.reset();
    input_->setMapping(mapping);
}

bool HostController::fitFrontmostWindow(const protocol::FitWindowRequest& request) {
    const auto viewport = fitViewport(request.viewportWidth, request.viewportHeight);
    auto* windows = fitWindows();
    if (!viewport || !windows) return false;
    auto target = windows->frontmostTarget();
    if (!target) return false;
    resetFollow();
    ++selectionGeneration_;
    requestFit(*target, *viewport, std::nullopt, std::nullopt);
    return true;
}

void HostController::applyWindowFitTarget(const protocol::FitWindowTarget& request,
                                          std::optional<FitViewport> viewportOverride) {
    const auto viewport = viewportOverride ? fitViewport(viewportOverride->width, viewportOverride->height)
                                           : fitViewport(request.viewportWidth, request.viewportHeight);
    if (!viewport) return sendWindowState(false, std::nullopt);
    resetFollow();
    ++fitGeneration_;
    const std::uint64_t generation = ++selectionGeneration_;
    std::optional<FitViewport> noted;
    if (session_) noted = FitViewport{session_->viewportWidth, session_->viewportHeight};
    auto windows = dependencies_.components.fitWindows;
    if (!windows) return finishFitTarget(request, generation, noted, *viewport, {}, std::nullopt, std::nullopt);
    windows->tasks().async([weak = weak_from_this(), queue = &queue_, weakWindows = std::weak_ptr(windows), request,
                            generation, noted, viewport = *viewport] {
        auto alive = weakWindows.lock();
        if (!alive) return;
        auto listed = alive->windows().value_or(std::vector<platform::WindowDescription>{});
        std::optional<platform::WindowDescription> found;
        for (const auto& window : listed) {
            if (window.number == request.windowId && window.onScreen) {
                found = window;
                break;
            }
        }
        const bool current = onQueue(*queue, weak, [generation](HostController& self) {
                                 return self.session_ && self.selectionGeneration_ == generation;
                             }).value_or(false);
        if (!current) return;
        auto target = found ? alive->target(*found, true) : std::nullopt;
        queue->async([weak, request, generation, noted, viewport, listed = std::move(listed), found, target] {
            if (auto self = weak.lock())
                self->finishFitTarget(request, generation, noted, viewport, listed, found, target);
        });
    });
}

void HostController::finishFitTarget(const protocol::FitWindowTarget& request, std::uint64_t generation,
                                     std::optional<FitViewport> notedViewport, FitViewport requested,
                                     const std::vector<platform::WindowDescription>& listed,
                                     const std::optional<platform::WindowDescription>& found,
                                     const std::optional<WindowTarget>& target) {
    if (!session_ || selectionGeneration_ != generation) return;
    if (!target || !found) {
        clearWindowFit(true, true);
        sendWindowState(false, std::nullopt);
        log("window fit target: window " + std::to_string(request.windowId) + " not found");
        return;
    }
    const FitViewport current{session_->viewportWidth, session_->viewportHeight};
    const FitViewport viewport = notedViewport == current ? requested : current;
    WindowFollowHistory history{{request.windowId}, {request.windowId}};
    for (const auto& window : listed) {
        if (window.number && window.ownerPid == target->owner.pid) history.previous.insert(*window.number);
    }
    followHistory_ = std::move(history);
    requestFit(*target, viewport, shareable(*found), std::nullopt);
}

void HostController::requestFit(const WindowTarget& target, FitViewport viewport,
                                std::optional<platform::ShareableWindow> knownWindow,
                                std::optional<platform::Point> inheritedOriginal) {
    ++fitGeneration_;
    pendingFit_ = PendingFit{target, viewport, std::move(knownWindow), inheritedOriginal};
    if (!session_) return;
    if (session_->detachedAt) return log("window fit: deferred until resume");
    if (paused_) {
        session_->viewportChangedWhilePaused = true;
        return;
    }
    beginFitPointerChange();
    cancelAspectUpdate();
    if (virtualDisplayPending_ || displayRestorePending_) return;
    const bool highRes = highResOn_ && !isPhone();
    const auto purpose =
        highRes && !clientAspectFit_ ? VirtualDisplayPurpose::highRes : VirtualDisplayPurpose::windowFit;
    if (virtualDisplay_ || (windowFit_ && !windowFit_->suspended)) return applyPendingFit();
    if (!dependencies_.components.virtualDisplaysAvailable) return applyPendingFit();
    if (!clientAspectFit_ && !highRes && visibleBounds(physicalCaptureDisplayID(), false)) return applyPendingFit();
    if (ensureVirtualDisplay(purpose, viewport.width, viewport.height)) {
        return log("window fit: waiting for virtual display");
    }
    applyPendingFit();
}

void HostController::applyPendingFit() {
    if (displayRestorePending_ || !pendingFit_ || !session_ || session_->detachedAt) return;
    if (paused_) {
        session_->viewportChangedWhilePaused = true;
        return;
    }
    auto pending = *std::exchange(pendingFit_, std::nullopt);
    performFit(pending.target, pending.viewport, pending.knownWindow, pending.inheritedOriginal);
}

bool HostController::updateWindowVideo(Session& session) {
    if (!windowFit_ && !pendingFit_) return false;
    const FitViewport viewport{session.viewportWidth, session.viewportHeight};
    if (windowFit_) windowFit_->viewport = viewport;
    if (pendingFit_) pendingFit_->viewport = viewport;
    const std::uint32_t display = virtualDisplay_ ? virtualDisplay_->displayID : physicalCaptureDisplayID();
    log("window fit: video viewport=" + std::to_string(viewport.width) + "x" + std::to_string(viewport.height) +
        " scale=" + formatNumber(clientAspectScale_) + " display=" + std::to_string(display) + " displayGeneration=" +
        std::to_string(virtualGeneration_) + " fitGeneration=" + std::to_string(fitGeneration_));
    if (pendingFit_) return true;
    if (windowFit_ && !windowFit_->suspended) {
        stopPipeline();
        startPipelineIfNeeded();
    }
    return true;
}

void HostController::clearWindowFit(bool restore, bool restart) {
    resetFollow();
    ++selectionGeneration_;
    ++fitGeneration_;
    const bool hadPending = std::exchange(pendingFit_, std::nullopt).has_value();
    if (!windowFit_ && !hadPending) return;
    beginFitPointerChange();
    if (windowFit_) {
        if (restore) restoreWindowFitFrame();
        windowFit_.reset();
        clearFitInputRects();
    }
    if (session_ && !clientAspectFit_ && (virtualDisplay_ || virtualDisplayPending_)) {
        destroyVirtualDisplay("app view ended", false);
    }
    if (!restart) return;
    stopPipeline();
    if (clientAspectFit_ && session_) scheduleAspectUpdate(*session_);
    startPipelineIfNeeded();
}

// The size is left as the fit found it; only the position is put back, unchecked: nothing here
// waits for the window manager to apply it. A fit's move still on the task queue would land after
// this one, so the window is put back again behind it.
void HostController::restoreWindowFitFrame() {
    auto windows = dependencies_.components.fitWindows;
    if (!windowFit_ || windowFit_->suspended || !windows) return;
    windows->setPosition(windowFit_->target.axWindow, windowFit_->originalOrigin, false);
    if (fitMovesInFlight_ > 0) {
        windows->tasks().async([weakWindows = std::weak_ptr(windows), window = windowFit_->target.axWindow,
                                origin = windowFit_->originalOrigin] {
            if (auto alive = weakWindows.lock()) alive->setPosition(window, origin, false);
        });
    }
    log("window fit: restored " + windowFit_->target.appName + " position");
}

void HostController::resetFollow() {
    focusFollowAfter_ = 0;
    followHistory_.reset();
    followObserver_.reset();
    createdWindowID_.reset();
    focusedWindowID_.reset();
    destroyedWindowID_.reset();
}

void HostController::performFit(const WindowTarget& target, FitViewport viewport,
                                std::optional<platform::ShareableWindow> knownWindow,
                                std::optional<platform::Point> inheritedOriginal) {
    beginFitPointerChange();
    followObserver_.reset();
    createdWindowID_.reset();
    focusedWindowID_.reset();
    destroyedWindowID_.reset();
    pendingFit_.reset();
    const std::uint64_t generation = ++fitGeneration_;
    std::optional<platform::Point> keptOriginal;
    if (windowFit_) {
        if (windowFit_->target.axWindow == target.axWindow) {
            keptOriginal = windowFit_->originalOrigin;
        } else {
            restoreWindowFitFrame();
        }
        windowFit_.reset();
        clearFitInputRects();
    }
    auto* windows = fitWindows();
    if (!windows || !windows->trusted()) {
        handleInputResult(InputResult::needsAccessibility);
        if (!clientAspectFit_ && (virtualDisplay_ || virtualDisplayPending_)) {
            destroyVirtualDisplay("app view ended", false);
        }
        stopPipeline();
        startPipelineIfNeeded();
        return sendWindowState(false, std::nullopt);
    }
    windows->resumeIfStopped(target);
    windows->raise(target);

    // Until its window is placed the fit captures nothing; a restore meanwhile still knows the
    // window and where it came from.
    const platform::Point original =
        keptOriginal ? *keptOriginal : inheritedOriginal.value_or(platform::Point{target.frame.x, target.frame.y});
    windowFit_ = WindowFit{target, original, target.frame, viewport, std::nullopt, false};
    FitPlacement placement{.generation = generation,
                           .target = target,
                           .viewport = viewport,
                           .knownWindow = std::move(knownWindow),
                           .onVirtual = virtualDisplay_ != nullptr};
    const std::uint32_t display = placement.onVirtual ? virtualDisplay_->displayID : physicalCaptureDisplayID();
    const auto visible = visibleBounds(display, true);
    placement.visibleFrame = visible.has_value();
    const auto area = visible ? visible : windows->displayBounds(display);
    ++fitMovesInFlight_;
    // The window manager applies a move when it gets to it: the wait for it runs on the task queue,
    // behind any earlier move, and the fit goes on here once the window has settled.
    windows->tasks().async([weak = weak_from_this(), queue = &queue_,
                            weakWindows = std::weak_ptr(dependencies_.components.fitWindows), area,
                            placement = std::move(placement)]() mutable {
        if (auto alive = weakWindows.lock()) placeFitWindow(*alive, area, placement);
        queue->async([weak, placement = std::move(placement)] {
            if (auto self = weak.lock()) self->finishFitPlacement(placement);
        });
    });
}

// Centres the window in `area`, or leaves it where it is without one, and reads where it landed.
void HostController::placeFitWindow(HostFitWindows& windows, const std::optional<Rect>& area, FitPlacement& placement) {
    const auto& window = placement.target.axWindow;
    const Rect current = windows.readFrame(window).value_or(placement.target.frame);
    const Rect bounds = area.value_or(current);
    placement.origin = {bounds.x + std::max(0.0, (bounds.width - current.width) / 2),
                        bounds.y + std::max(0.0, (bounds.height - current.height) / 2)};
    if (placement.origin != platform::Point{current.x, current.y}) windows.setPosition(window, placement.origin, true);
    placement.actual =
        windows.readFrame(window).value_or(Rect{placement.origin.x, placement.origin.y, current.width, current.height});
}

void HostController::finishFitPlacement(const FitPlacement& placement) {
    --fitMovesInFlight_;
    if (fitGeneration_ != placement.generation || !windowFit_ || windowFit_->suspended || !session_) return;
    auto* windows = fitWindows();
    if (!windows) return;
    const auto& target = placement.target;
    windowFit_->appliedFrame = placement.actual;
    windowFit_->scWindow = placement.knownWindow;
    log("window fit: move " + target.appName + " to " + formatPoint(placement.origin) + " on " +
        (placement.onVirtual ? "virtual " : "physical ") + (placement.visibleFrame ? "visibleFrame" : "full bounds") +
        ", actual=" + formatRect(placement.actual));

    const auto windowID =
        placement.knownWindow ? std::optional(placement.knownWindow->id) : windows->readWindowID(target.axWindow);
    if (windowID) {
        followObserver_ =
            windows->observe(target, [weak = weak_from_this(), queue = &queue_, generation = placement.generation,
                                      fitted = *windowID](const HostFitWindows::FollowEvent& event) {
                queue->async([weak, generation, fitted, event] {
                    if (auto self = weak.lock()) self->noteFollowEvent(generation, fitted, event);
                });
            });
    }
    stopPipeline();
    startPipelineIfNeeded();
    sendWindowState(true, target.appName);
    startFitWatch(placement.generation, windowID, placement.viewport, target);
}

void HostController::noteFollowEvent(std::uint64_t generation, std::uint32_t fitted,
                                     const HostFitWindows::FollowEvent& event) {
    if (fitGeneration_ != generation) return;
    using Kind = HostFitWindows::FollowEvent::Kind;
    switch (event.kind) {
        case Kind::created:
            createdWindowID_ = event.window;
            return;
        case Kind::focused:
            if (!event.window || *event.window == fitted) {
                focusedWindowID_.reset();
            } else {
                focusedWindowID_ = event.window;
            }
            return;
        case Kind::destroyed:
            destroyedWindowID_ = fitted;
            return;
    }
}

void HostController::suspendWindowFit() {
    if (!windowFit_ || windowFit_->suspended) return;
    ++fitGeneration_;
    restoreWindowFitFrame();
    windowFit_->suspended = true;
    clearFitInputRects();
    log("window fit: suspended while detached");
}

void HostController::resumeWindowFit() {
    if (!session_) return;
    const FitViewport viewport{session_->viewportWidth, session_->viewportHeight};
    if (pendingFit_) {
        const auto pending = *pendingFit_;
        return requestFit(pending.target, viewport, pending.knownWindow, pending.inheritedOriginal);
    }
    if (!windowFit_) return;
    if (!windowFit_->suspended) {
        if (windowFit_->viewport != viewport) updateWindowVideo(*session_);
        return;
    }
    const std::uint64_t fitGeneration = fitGeneration_;
    const std::uint64_t selectionGeneration = selectionGeneration_;
    const auto id = windowFit_->scWindow ? std::optional(windowFit_->scWindow->id) : std::nullopt;
    auto windows = dependencies_.components.fitWindows;
    if (!windows) return finishFitResume(fitGeneration, selectionGeneration, std::nullopt);
    windows->tasks().async([weak = weak_from_this(), queue = &queue_, weakWindows = std::weak_ptr(windows), id,
                            fitGeneration, selectionGeneration] {
        auto alive = weakWindows.lock();
        auto window = alive && id ? alive->window(*id) : std::nullopt;
        queue->async([weak, window, fitGeneration, selectionGeneration] {
            if (auto self = weak.lock()) self->finishFitResume(fitGeneration, selectionGeneration, window);
        });
    });
}

void HostController::finishFitResume(std::uint64_t fitGeneration, std::uint64_t selectionGeneration,
                                     const std::optional<platform::WindowDescription>& window) {
    if (!session_ || session_->detachedAt || fitGeneration_ != fitGeneration ||
        selectionGeneration_ != selectionGeneration || pendingFit_ || !windowFit_ || !windowFit_->suspended) {
        return;
    }
    auto* windows = fitWindows();
    if (windows && windows->trusted()) windows->resumeIfStopped(windowFit_->target);
    const auto frame = windows ? windows->readFrame(windowFit_->target.axWindow) : std::nullopt;
    if (!frame) {
        clearWindowFit(false, true);
        sendWindowState(false, std::nullopt);
        return log("window fit: suspended window is gone, cleared");
    }
    auto target = windowFit_->target;
    target.frame = *frame;
    sendWindowState(true, target.appName);
    log("window fit: resuming " + target.appName);
    const auto known = window ? std::optional(shareable(*window)) : std::nullopt;
    requestFit(target, {session_->viewportWidth, session_->viewportHeight}, known, windowFit_->originalOrigin);
}

void HostController::startFitWatch(std::uint64_t generation, std::optional<std::uint32_t> windowID,
                                   FitViewport viewport, const WindowTarget& target) {
    auto windows = dependencies_.components.fitWindows;
    auto watch = std::make_shared<FitWatch>(FitWatch{generation, windowID, 0, viewport, target, {}});
    windows->tasks().async([weak = weak_from_this(), queue = &queue_, weakWindows = std::weak_ptr(windows), watch] {
        watchFitPass(weak, queue, weakWindows, watch);
    });
}

// One pass: is the fit still current, is its window still there, which of its application's
// windows could be shown, and should the fit move to one of them or end.
void HostController::watchFitPass(std::weak_ptr<HostController> weak, base::Executor* queue,
                                  std::weak_ptr<HostFitWindows> weakWindows, std::shared_ptr<FitWatch> watch) {
    auto windows = weakWindows.lock();
    if (!windows) return;
    auto again = [&] {
        windows->tasks().asyncAfter(
            kFitWatchInterval, [weak, queue, weakWindows, watch] { watchFitPass(weak, queue, weakWindows, watch); });
    };
    const bool current = onQueue(*queue, weak, [&](HostController& self) {
                             return self.fitGeneration_ == watch->generation && self.windowFit_ &&
                                    !self.windowFit_->suspended && self.session_ && !self.session_->detachedAt;
                         }).value_or(false);
    if (!current) return;
    const auto listing = windows->windows();
    if (!listing) return again();
    auto taken = onQueue(*queue, weak, [&](HostController& self) -> std::optional<FitSnapshot> {
                     if (self.fitGeneration_ != watch->generation || !self.windowFit_) return std::nullopt;
                     FitSnapshot snapshot;
                     if (self.windowFit_->scWindow) snapshot.fitted = self.windowFit_->scWindow->id;
                     snapshot.history = self.followHistory_;
                     snapshot.created = self.createdWindowID_;
                     snapshot.destroyed = self.destroyedWindowID_;
                     if (self.now() >= self.focusFollowAfter_) snapshot.focused = self.focusedWindowID_;
                     return snapshot;
                 }).value_or(std::nullopt);
    if (!taken) return;
    FitSnapshot& snapshot = *taken;
    std::vector<platform::WindowDescription> app;
    for (const auto& window : *listing) {
        if (window.number && window.bounds && window.ownerPid == watch->target.owner.pid) app.push_back(window);
    }
    if (!snapshot.fitted) snapshot.fitted = watch->windowID;
    if (!snapshot.fitted) {
        std::vector<std::uint32_t> matches;
        for (const auto& window : app) {
            const auto bounds = windows->windowServerBounds(*window.number).value_or(*window.bounds);
            auto resolved = windows->resolveTarget(windows->owner(*window.ownerPid),
                                                   window.ownerName.value_or(std::string(WindowManager::kUnnamedApp)),
                                                   *window.number, bounds);
            if (resolved && resolved->axWindow == watch->target.axWindow) matches.push_back(*window.number);
        }
        if (matches.size() == 1) {
            snapshot.fitted = watch->windowID = matches.front();
            onQueue(*queue, weak, [&](HostController& self) {
                self.log("window fit: recovered SC identity id=" + std::to_string(matches.front()));
                return true;
            });
        }
    }

    const platform::WindowDescription* listed = nullptr;
    for (const auto& window : app) {
        snapshot.present.insert(*window.number);
        if (window.number == snapshot.fitted) listed = &window;
    }
    snapshot.fittedPresent = listed != nullptr;
    watch->misses = listed ? 0 : watch->misses + 1;
    const bool gone = !listed && (watch->misses >= kMissesBeforeGone ||
                                  (snapshot.destroyed && snapshot.destroyed == snapshot.fitted));
    if (!listed && !gone) return again();

    for (const auto& window : app) {
        const std::uint32_t id = *window.number;
        if (id == snapshot.fitted) continue;
        int& rejected = watch->rejections[id];
        if (rejected > kRejectionsWhilePending) continue;
        const bool shaped = window.layer == 0 && window.bounds->width >= kFollowMinimumWidth &&
                            window.bounds->height >= kFollowMinimumHeight;
        auto target = shaped ? windows->target(window, true) : std::nullopt;
        if (!target) {
            if (++rejected <= kRejectionsWhilePending) snapshot.pending.insert(id);
            continue;
        }
        if (!windows->nonstandardReason(target->axWindow)) snapshot.eligible.push_back({id, *target, window});
    }

    WindowFollowHistory history;
    if (snapshot.history) {
        history = *snapshot.history;
    } else {
        history.previous = snapshot.present;
        if (snapshot.fitted) {
            history.stack.push_back(*snapshot.fitted);
            history.previous.insert(*snapshot.fitted);
        }
    }
    const bool changed = snapshot.focused || snapshot.present != history.previous ||
                         (snapshot.created && snapshot.present.contains(*snapshot.created)) || gone;
    if (changed) {
        std::vector<std::uint32_t> eligibleIDs;
        for (const auto& candidate : snapshot.eligible) eligibleIDs.push_back(candidate.id);
        snapshot.top = history.update(snapshot.present, eligibleIDs, snapshot.created, snapshot.focused);
        snapshot.history = std::move(history);
        onQueue(*queue, weak, [&](HostController& self) {
            if (self.fitGeneration_ == watch->generation) self.decideFollow(*watch, snapshot);
            return true;
        });
    }
    if (listed) {
        queue->async([weak, generation = watch->generation, window = *listed] {
            if (auto self = weak.lock()) self->adoptListedWindow(generation, window);
        });
    }
    again();
}

void HostController::decideFollow(const FitWatch& watch, const FitSnapshot& snapshot) {
    if (snapshot.focused) {
        if (focusedWindowID_ != snapshot.focused) return;
        if (!snapshot.pending.contains(*snapshot.focused)) focusedWindowID_.reset();
    }
    followHistory_ = snapshot.history;
    if (snapshot.created && createdWindowID_ == snapshot.created && snapshot.present.contains(*snapshot.created)) {
        createdWindowID_.reset();
    }
    if (snapshot.top && snapshot.top == snapshot.fitted) return;
    const std::string from = std::to_string(snapshot.fitted.value_or(0));
    for (const auto& candidate : snapshot.eligible) {
        if (candidate.id != snapshot.top) continue;
        log("window fit: " + std::string(snapshot.fittedPresent ? "follow " : "return ") + from + " -> " +
            std::to_string(candidate.id));
        focusFollowAfter_ = now() + kFocusFollowDelayMicros;
        const FitViewport viewport = windowFit_ ? windowFit_->viewport : watch.viewport;
        return requestFit(candidate.target, viewport, shareable(candidate.window), std::nullopt);
    }
    log("window fit: return " + from + " -> desktop");
    clearWindowFit(false, true);
    sendWindowState(false, std::nullopt);
}

// The listing is fresher than the fit: a moved window only shifts where the pointer lands; a
// resized one, or one whose capturable identity just became known, is captured anew.
void HostController::adoptListedWindow(std::uint64_t generation, const platform::WindowDescription& listed) {
    if (fitGeneration_ != generation || !windowFit_ || windowFit_->suspended) return;
    const auto previous = windowFit_->scWindow;
    const auto fresh = shareable(listed);
    windowFit_->scWindow = fresh;
    windowFit_->appliedFrame = *listed.bounds;
    if (!previous || previous->frame.width != fresh.frame.width || previous->frame.height != fresh.frame.height) {
        stopPipeline();
        startPipelineIfNeeded();
        return;
    }
    if (!streamingWindowGeometry_ || !input_) return;
    const auto& geometry = *streamingWindowGeometry_;
    const double dx = fresh.frame.x - geometry.windowFrame.x;
    const double dy = fresh.frame.y - geometry.windowFrame.y;
    auto mapping = input_->mapping();
    mapping.targetRect = shifted(geometry.canvasRect, dx, dy);
    mapping.visibleWindowRect = shifted(geometry.sourceRect, dx, dy);
    input_->setMapping(mapping);
}

// To the main session once it is authenticated, and to the controller peer.
void HostController::sendWindowState(bool active, std::optional<std::string> appName) {
    const protocol::WindowState state{active, std::move(appName)};
    if (session_ && session_->authenticated) sendMessage(*session_->control, state);
    if (controllerSession_) sendMessage(*controllerSession_->control, state);
}

}  // namespace orvanta::host
