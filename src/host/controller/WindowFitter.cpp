// Window fit and follow. Lookups and the watcher run on the window side's task executor and touch
// the fitter's state only in hops to the controller's queue; every late result is recognised by the
// fit and selection generations.
#include "host/controller/WindowFitter.h"

#include <map>
#include <set>

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

// Runs `handle` later on `queue` with the fitter, unless it is gone by then. Safe off the queue.
template <class Handle>
void later(base::Executor& queue, std::weak_ptr<WindowFitter> weak, Handle handle) {
    queue.async([weak = std::move(weak), handle = std::move(handle)]() mutable {
        if (auto self = weak.lock()) handle(*self);
    });
}

// Runs `work` on the queue while the fitter lives and waits for its answer; nothing when the
// fitter or its queue is gone.
template <class Work>
auto onQueue(base::Executor& queue, const std::weak_ptr<WindowFitter>& weak, Work work)
    -> std::optional<std::invoke_result_t<Work&, WindowFitter&>> {
    using Result = std::invoke_result_t<Work&, WindowFitter&>;
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
struct WindowFitter::Watch {
    std::uint64_t generation = 0;
    std::optional<std::uint32_t> windowID;
    int misses = 0;
    FitViewport viewport;
    WindowTarget target;
    std::map<std::uint32_t, int> rejections;  // layer, size or target failures per window
};

// A fit between asking for its window's move and knowing where the window settled.
struct WindowFitter::Placement {
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
struct WindowFitter::Snapshot {
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

WindowFitter::WindowFitter(base::Executor& queue, const base::Clock& clock, std::shared_ptr<HostFitWindows> windows)
    : queue_(queue), clock_(clock), windows_(std::move(windows)) {}

bool WindowFitter::selectionCurrent(std::uint64_t generation) const {
    return neighbours_.session() && neighbours_.selection() == generation;
}

// A fit starting or ending also ends the pointer mapping onto its window.
void WindowFitter::clearInputRects() {
    neighbours_.updateInputMapping([](InputMapping& mapping) {
        mapping.targetRect.reset();
        mapping.visibleWindowRect.reset();
    });
}

void WindowFitter::releaseDisplayUnlessAspectFit(const FitDisplays& displays) {
    if (!displays.aspectFit && (displays.virtualID || displays.creating)) neighbours_.releaseVirtualDisplay();
}

bool WindowFitter::fitFrontmost(const protocol::FitWindowRequest& request) {
    const auto viewport = fitViewport(request.viewportWidth, request.viewportHeight);
    if (!viewport || !windows_) return false;
    auto target = windows_->frontmostTarget();
    if (!target) return false;
    resetFollow();
    neighbours_.nextSelection();
    requestFit(*target, *viewport, std::nullopt, std::nullopt);
    return true;
}

void WindowFitter::fitTarget(const protocol::FitWindowTarget& request, std::optional<FitViewport> viewportOverride) {
    const auto viewport = viewportOverride ? fitViewport(viewportOverride->width, viewportOverride->height)
                                           : fitViewport(request.viewportWidth, request.viewportHeight);
    if (!viewport) return sendState(false, std::nullopt);
    resetFollow();
    ++generation_;
    const std::uint64_t generation = neighbours_.nextSelection();
    std::optional<FitViewport> noted;
    if (const auto session = neighbours_.session()) noted = session->viewport;
    if (!windows_) return finishTarget(request, generation, noted, *viewport, {}, std::nullopt, std::nullopt);
    windows_->tasks().async([weak = self_, queue = &queue_, weakWindows = std::weak_ptr(windows_), request,
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
        const bool current = onQueue(*queue, weak, [generation](WindowFitter& self) {
                                 return self.selectionCurrent(generation);
                             }).value_or(false);
        if (!current) return;
        auto target = found ? alive->target(*found, true) : std::nullopt;
        later(*queue, weak, [request, generation, noted, viewport, listed = std::move(listed), found,
                             target](WindowFitter& self) {
            self.finishTarget(request, generation, noted, viewport, listed, found, target);
        });
    });
}

void WindowFitter::finishTarget(const protocol::FitWindowTarget& request, std::uint64_t generation,
                                std::optional<FitViewport> notedViewport, FitViewport requested,
                                const std::vector<platform::WindowDescription>& listed,
                                const std::optional<platform::WindowDescription>& found,
                                const std::optional<WindowTarget>& target) {
    if (!selectionCurrent(generation)) return;
    if (!target || !found) {
        clear(true, true);
        sendState(false, std::nullopt);
        log("window fit target: window " + std::to_string(request.windowId) + " not found");
        return;
    }
    const FitViewport current = neighbours_.session()->viewport;
    const FitViewport viewport = notedViewport == current ? requested : current;
    WindowFollowHistory history{{request.windowId}, {request.windowId}};
    for (const auto& window : listed) {
        if (window.number && window.ownerPid == target->owner.pid) history.previous.insert(*window.number);
    }
    followHistory_ = std::move(history);
    requestFit(*target, viewport, shareable(*found), std::nullopt);
}

void WindowFitter::requestFit(const WindowTarget& target, FitViewport viewport,
                              std::optional<platform::ShareableWindow> knownWindow,
                              std::optional<platform::Point> inheritedOriginal) {
    ++generation_;
    pending_ = PendingFit{target, viewport, std::move(knownWindow), inheritedOriginal};
    const auto session = neighbours_.session();
    if (!session) return;
    if (session->detached) return log("window fit: deferred until resume");
    if (neighbours_.holdWhilePaused()) return;
    neighbours_.beginPointerChange();
    neighbours_.cancelAspectUpdate();
    const auto displays = neighbours_.displays();
    if (displays.creating || displays.restoring) return;
    if (displays.virtualID || activeUnsuspended()) return applyPending();
    if (!displays.virtualAvailable) return applyPending();
    const auto purpose = neighbours_.fitPurpose();
    if (!displays.aspectFit && purpose == VirtualDisplayPurpose::windowFit &&
        neighbours_.visibleBounds(neighbours_.physicalDisplayID(), false)) {
        return applyPending();
    }
    if (neighbours_.ensureVirtualDisplay(purpose, viewport)) return log("window fit: waiting for virtual display");
    applyPending();
}

void WindowFitter::applyPending() {
    const auto session = neighbours_.session();
    if (!pending_ || !session || session->detached || neighbours_.displays().restoring) return;
    if (neighbours_.holdWhilePaused()) return;
    auto pending = *std::exchange(pending_, std::nullopt);
    perform(pending.target, pending.viewport, pending.knownWindow, pending.inheritedOriginal);
}

bool WindowFitter::updateVideo(FitViewport viewport) {
    if (!inPlay()) return false;
    if (fit_) fit_->viewport = viewport;
    if (pending_) pending_->viewport = viewport;
    const auto displays = neighbours_.displays();
    const std::uint32_t display = displays.virtualID ? *displays.virtualID : neighbours_.physicalDisplayID();
    log("window fit: video viewport=" + std::to_string(viewport.width) + "x" + std::to_string(viewport.height) +
        " scale=" + formatNumber(displays.scale) + " display=" + std::to_string(display) +
        " displayGeneration=" + std::to_string(displays.generation) + " fitGeneration=" + std::to_string(generation_));
    if (pending_) return true;
    if (activeUnsuspended()) {
        neighbours_.stopPipeline();
        neighbours_.startPipeline();
    }
    return true;
}

void WindowFitter::clear(bool restore, bool restart) {
    resetFollow();
    neighbours_.nextSelection();
    ++generation_;
    const bool hadPending = std::exchange(pending_, std::nullopt).has_value();
    if (!fit_ && !hadPending) return;
    neighbours_.beginPointerChange();
    if (fit_) {
        if (restore) restoreFrame();
        fit_.reset();
        clearInputRects();
    }
    if (neighbours_.session()) releaseDisplayUnlessAspectFit(neighbours_.displays());
    if (!restart) return;
    neighbours_.stopPipeline();
    if (neighbours_.displays().aspectFit && neighbours_.session()) neighbours_.scheduleAspectUpdate();
    neighbours_.startPipeline();
}

// The size is left as the fit found it; only the position is put back, unchecked: nothing here
// waits for the window manager to apply it. A fit's move still on the task queue would land after
// this one, so the window is put back again behind it.
void WindowFitter::restoreFrame() {
    if (!fit_ || fit_->suspended || !windows_) return;
    windows_->setPosition(fit_->target.axWindow, fit_->originalOrigin, false);
    if (movesInFlight_ > 0) {
        windows_->tasks().async([weakWindows = std::weak_ptr(windows_), window = fit_->target.axWindow,
                                 origin = fit_->originalOrigin] {
            if (auto alive = weakWindows.lock()) alive->setPosition(window, origin, false);
        });
    }
    log("window fit: restored " + fit_->target.appName + " position");
}

void WindowFitter::resetFollow() {
    focusFollowAfter_ = 0;
    followHistory_.reset();
    followObserver_.reset();
    createdWindowID_.reset();
    focusedWindowID_.reset();
    destroyedWindowID_.reset();
}

void WindowFitter::perform(const WindowTarget& target, FitViewport viewport,
                           std::optional<platform::ShareableWindow> knownWindow,
                           std::optional<platform::Point> inheritedOriginal) {
    neighbours_.beginPointerChange();
    followObserver_.reset();
    createdWindowID_.reset();
    focusedWindowID_.reset();
    destroyedWindowID_.reset();
    pending_.reset();
    const std::uint64_t generation = ++generation_;
    std::optional<platform::Point> keptOriginal;
    if (fit_) {
        if (fit_->target.axWindow == target.axWindow) {
            keptOriginal = fit_->originalOrigin;
        } else {
            restoreFrame();
        }
        fit_.reset();
        clearInputRects();
    }
    if (!windows_ || !windows_->trusted()) {
        neighbours_.needsAccessibility();
        releaseDisplayUnlessAspectFit(neighbours_.displays());
        neighbours_.stopPipeline();
        neighbours_.startPipeline();
        return sendState(false, std::nullopt);
    }
    windows_->resumeIfStopped(target);
    windows_->raise(target);

    // Until its window is placed the fit captures nothing; a restore meanwhile still knows the
    // window and where it came from.
    const platform::Point original =
        keptOriginal ? *keptOriginal : inheritedOriginal.value_or(platform::Point{target.frame.x, target.frame.y});
    fit_ = WindowFit{target, original, target.frame, viewport, std::nullopt, false};
    const auto displays = neighbours_.displays();
    Placement placement{.generation = generation,
                        .target = target,
                        .viewport = viewport,
                        .knownWindow = std::move(knownWindow),
                        .onVirtual = displays.virtualID.has_value()};
    const std::uint32_t display = placement.onVirtual ? *displays.virtualID : neighbours_.physicalDisplayID();
    const auto visible = neighbours_.visibleBounds(display, true);
    placement.visibleFrame = visible.has_value();
    const auto area = visible ? visible : windows_->displayBounds(display);
    ++movesInFlight_;
    // The window manager applies a move when it gets to it: the wait for it runs on the task queue,
    // behind any earlier move, and the fit goes on here once the window has settled.
    windows_->tasks().async([weak = self_, queue = &queue_, weakWindows = std::weak_ptr(windows_), area,
                             placement = std::move(placement)]() mutable {
        if (auto alive = weakWindows.lock()) place(*alive, area, placement);
        later(*queue, weak,
              [placement = std::move(placement)](WindowFitter& self) { self.finishPlacement(placement); });
    });
}

// Centres the window in `area`, or leaves it where it is without one, and reads where it landed.
void WindowFitter::place(HostFitWindows& windows, const std::optional<Rect>& area, Placement& placement) {
    const auto& window = placement.target.axWindow;
    const Rect current = windows.readFrame(window).value_or(placement.target.frame);
    const Rect bounds = area.value_or(current);
    placement.origin = {bounds.x + std::max(0.0, (bounds.width - current.width) / 2),
                        bounds.y + std::max(0.0, (bounds.height - current.height) / 2)};
    if (placement.origin != platform::Point{current.x, current.y}) windows.setPosition(window, placement.origin, true);
    placement.actual =
        windows.readFrame(window).value_or(Rect{placement.origin.x, placement.origin.y, current.width, current.height});
}

void WindowFitter::finishPlacement(const Placement& placement) {
    --movesInFlight_;
    if (generation_ != placement.generation || !activeUnsuspended() || !neighbours_.session()) return;
    if (!windows_) return;
    const auto& target = placement.target;
    fit_->appliedFrame = placement.actual;
    fit_->scWindow = placement.knownWindow;
    log("window fit: move " + target.appName + " to " + formatPoint(placement.origin) + " on " +
        (placement.onVirtual ? "virtual " : "physical ") + (placement.visibleFrame ? "visibleFrame" : "full bounds") +
        ", actual=" + formatRect(placement.actual));

    const auto windowID =
        placement.knownWindow ? std::optional(placement.knownWindow->id) : windows_->readWindowID(target.axWindow);
    if (windowID) {
        followObserver_ = windows_->observe(target, [weak = self_, queue = &queue_, generation = placement.generation,
                                                     fitted = *windowID](const HostFitWindows::FollowEvent& event) {
            later(*queue, weak,
                  [generation, fitted, event](WindowFitter& self) { self.noteFollowEvent(generation, fitted, event); });
        });
    }
    neighbours_.stopPipeline();
    neighbours_.startPipeline();
    sendState(true, target.appName);
    startWatch(placement.generation, windowID, placement.viewport, target);
}

void WindowFitter::noteFollowEvent(std::uint64_t generation, std::uint32_t fitted,
                                   const HostFitWindows::FollowEvent& event) {
    if (generation_ != generation) return;
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

void WindowFitter::suspend() {
    if (!activeUnsuspended()) return;
    ++generation_;
    restoreFrame();
    fit_->suspended = true;
    clearInputRects();
    log("window fit: suspended while detached");
}

void WindowFitter::resume() {
    const auto session = neighbours_.session();
    if (!session) return;
    const FitViewport viewport = session->viewport;
    if (pending_) {
        const auto pending = *pending_;
        return requestFit(pending.target, viewport, pending.knownWindow, pending.inheritedOriginal);
    }
    if (!fit_) return;
    if (!fit_->suspended) {
        if (fit_->viewport != viewport) updateVideo(viewport);
        return;
    }
    const std::uint64_t fitGeneration = generation_;
    const std::uint64_t selectionGeneration = neighbours_.selection();
    const auto id = fit_->scWindow ? std::optional(fit_->scWindow->id) : std::nullopt;
    if (!windows_) return finishResume(fitGeneration, selectionGeneration, std::nullopt);
    windows_->tasks().async(
        [weak = self_, queue = &queue_, weakWindows = std::weak_ptr(windows_), id, fitGeneration, selectionGeneration] {
            auto alive = weakWindows.lock();
            auto window = alive && id ? alive->window(*id) : std::nullopt;
            later(*queue, weak, [window, fitGeneration, selectionGeneration](WindowFitter& self) {
                self.finishResume(fitGeneration, selectionGeneration, window);
            });
        });
}

void WindowFitter::finishResume(std::uint64_t fitGeneration, std::uint64_t selectionGeneration,
                                const std::optional<platform::WindowDescription>& window) {
    const auto session = neighbours_.session();
    if (!session || session->detached || generation_ != fitGeneration ||
        neighbours_.selection() != selectionGeneration || pending_ || !fit_ || !fit_->suspended) {
        return;
    }
    if (windows_ && windows_->trusted()) windows_->resumeIfStopped(fit_->target);
    const auto frame = windows_ ? windows_->readFrame(fit_->target.axWindow) : std::nullopt;
    if (!frame) {
        clear(false, true);
        sendState(false, std::nullopt);
        return log("window fit: suspended window is gone, cleared");
    }
    auto target = fit_->target;
    target.frame = *frame;
    sendState(true, target.appName);
    log("window fit: resuming " + target.appName);
    const auto known = window ? std::optional(shareable(*window)) : std::nullopt;
    requestFit(target, neighbours_.session()->viewport, known, fit_->originalOrigin);
}

void WindowFitter::startWatch(std::uint64_t generation, std::optional<std::uint32_t> windowID, FitViewport viewport,
                              const WindowTarget& target) {
    auto watch = std::make_shared<Watch>(Watch{generation, windowID, 0, viewport, target, {}});
    windows_->tasks().async([weak = self_, queue = &queue_, weakWindows = std::weak_ptr(windows_), watch] {
        watchPass(weak, queue, weakWindows, watch);
    });
}

bool WindowFitter::watching(const Watch& watch) const {
    const auto session = neighbours_.session();
    return generation_ == watch.generation && activeUnsuspended() && session && !session->detached;
}

// One pass: is the fit still current, is its window still there, which of its application's
// windows could be shown, and should the fit move to one of them or end.
void WindowFitter::watchPass(std::weak_ptr<WindowFitter> weak, base::Executor* queue,
                             std::weak_ptr<HostFitWindows> weakWindows, std::shared_ptr<Watch> watch) {
    auto windows = weakWindows.lock();
    if (!windows) return;
    auto again = [&] {
        windows->tasks().asyncAfter(kWatchInterval,
                                    [weak, queue, weakWindows, watch] { watchPass(weak, queue, weakWindows, watch); });
    };
    const bool current =
        onQueue(*queue, weak, [&](WindowFitter& self) { return self.watching(*watch); }).value_or(false);
    if (!current) return;
    const auto listing = windows->windows();
    if (!listing) return again();
    auto taken = onQueue(*queue, weak, [&](WindowFitter& self) -> std::optional<Snapshot> {
                     if (self.generation_ != watch->generation || !self.fit_) return std::nullopt;
                     Snapshot snapshot;
                     if (self.fit_->scWindow) snapshot.fitted = self.fit_->scWindow->id;
                     snapshot.history = self.followHistory_;
                     snapshot.created = self.createdWindowID_;
                     snapshot.destroyed = self.destroyedWindowID_;
                     if (self.clock_.uptimeMicros() >= self.focusFollowAfter_) snapshot.focused = self.focusedWindowID_;
                     return snapshot;
                 }).value_or(std::nullopt);
    if (!taken) return;
    Snapshot& snapshot = *taken;
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
            onQueue(*queue, weak, [&](WindowFitter& self) {
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
        onQueue(*queue, weak, [&](WindowFitter& self) {
            if (self.generation_ == watch->generation) self.decideFollow(*watch, snapshot);
            return true;
        });
    }
    if (listed) {
        later(*queue, weak, [generation = watch->generation, window = *listed](WindowFitter& self) {
            self.adoptListedWindow(generation, window);
        });
    }
    again();
}

void WindowFitter::decideFollow(const Watch& watch, const Snapshot& snapshot) {
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
        focusFollowAfter_ = clock_.uptimeMicros() + kFocusFollowDelayMicros;
        const FitViewport viewport = fit_ ? fit_->viewport : watch.viewport;
        return requestFit(candidate.target, viewport, shareable(candidate.window), std::nullopt);
    }
    log("window fit: return " + from + " -> desktop");
    clear(false, true);
    sendState(false, std::nullopt);
}

// The listing is fresher than the fit: a moved window only shifts where the pointer lands; a
// resized one, or one whose capturable identity just became known, is captured anew.
void WindowFitter::adoptListedWindow(std::uint64_t generation, const platform::WindowDescription& listed) {
    if (generation_ != generation || !activeUnsuspended()) return;
    const auto previous = fit_->scWindow;
    const auto fresh = shareable(listed);
    fit_->scWindow = fresh;
    fit_->appliedFrame = *listed.bounds;
    if (!previous || previous->frame.width != fresh.frame.width || previous->frame.height != fresh.frame.height) {
        neighbours_.stopPipeline();
        neighbours_.startPipeline();
        return;
    }
    const auto geometry = neighbours_.streamingGeometry();
    if (!geometry) return;
    const double dx = fresh.frame.x - geometry->windowFrame.x;
    const double dy = fresh.frame.y - geometry->windowFrame.y;
    neighbours_.updateInputMapping([&](InputMapping& mapping) {
        mapping.targetRect = shifted(geometry->canvasRect, dx, dy);
        mapping.visibleWindowRect = shifted(geometry->sourceRect, dx, dy);
    });
}

void WindowFitter::sendState(bool active, std::optional<std::string> appName) {
    neighbours_.sendWindowState(protocol::WindowState{active, std::move(appName)});
}

}  // namespace orvanta::host
