// Window fit and follow: one application window centred on the capture display, captured on its
// own and followed as its application opens, focuses and closes windows. It keeps the fit in force,
// the fit waiting to run and the follow history on the controller's queue; lookups, moves and the
// watcher run on the window side's task executor and hop back to the queue, where every late result
// is recognised by the fit and selection generations. The session, the displays, the pipeline and
// input mapping are the coordinator's, reached through the neighbours it sets.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "base/Executor.h"
#include "host/controller/HostComponents.h"
#include "host/controller/HostFitSeams.h"
#include "host/controller/HostFitState.h"
#include "host/media/WindowCaptureGeometry.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

// The main session as the fit sees it.
struct FitSession {
    FitViewport viewport;
    bool detached = false;
    bool operator==(const FitSession&) const = default;
};

// The displays as the fit sees them.
struct FitDisplays {
    std::optional<std::uint32_t> virtualID;  // the virtual display in use
    bool creating = false;                   // a virtual display is being made
    bool restoring = false;                  // the physical arrangement is being put back
    bool aspectFit = false;                  // display aspect fit is on and keeps the virtual display
    bool virtualAvailable = false;           // the display system can make virtual displays
    double scale = 1.0;                      // display aspect fit's scale
    std::uint64_t generation = 0;            // the virtual display's generation
    bool operator==(const FitDisplays&) const = default;
};

class WindowFitter {
public:
    static constexpr base::Micros kWatchInterval{500'000};
    static constexpr std::uint64_t kFocusFollowDelayMicros = 1'200'000;

    // What the fit asks of the rest of the host; every one is set before the first request.
    struct Neighbours {
        std::function<void(std::string_view)> log;
        // The main session; nothing without one.
        std::function<std::optional<FitSession>()> session;
        // Whether the host is paused; a paused session then redoes its viewport when it resumes.
        std::function<bool()> holdWhilePaused;
        // The selection generation, shared with what else picks a window; `nextSelection` moves it on.
        std::function<std::uint64_t()> selection;
        std::function<std::uint64_t()> nextSelection;
        // Pointer input's meaning changes until the new picture is shown.
        std::function<void()> beginPointerChange;
        std::function<void(const std::function<void(InputMapping&)>&)> updateInputMapping;
        // Where the streaming window capture shows the window; nothing when none streams.
        std::function<std::optional<WindowCaptureGeometry>()> streamingGeometry;
        std::function<void()> needsAccessibility;
        std::function<void(const protocol::WindowState&)> sendWindowState;

        std::function<FitDisplays()> displays;
        std::function<std::uint32_t()> physicalDisplayID;
        // The usable area of a display, when it is smaller than the display.
        std::function<std::optional<Rect>(std::uint32_t displayID, bool includeDockOnly)> visibleBounds;
        std::function<VirtualDisplayPurpose()> fitPurpose;
        // True while the virtual display is being made; the fit then waits for it.
        std::function<bool(VirtualDisplayPurpose purpose, FitViewport viewport)> ensureVirtualDisplay;
        // The fit's virtual display is no longer needed.
        std::function<void()> releaseVirtualDisplay;
        std::function<void()> cancelAspectUpdate;
        std::function<void()> scheduleAspectUpdate;
        std::function<void()> stopPipeline;
        std::function<void()> startPipeline;
    };

    // `windows` may be missing: there is then no window to fit.
    WindowFitter(base::Executor& queue, const base::Clock& clock, std::shared_ptr<HostFitWindows> windows);
    WindowFitter(const WindowFitter&) = delete;
    WindowFitter& operator=(const WindowFitter&) = delete;

    void setNeighbours(Neighbours neighbours) { neighbours_ = std::move(neighbours); }
    // Late hops back to the queue run only while `self` locks: the coordinator hands one that
    // keeps itself alive as well.
    void setLifetime(std::weak_ptr<WindowFitter> self) { self_ = std::move(self); }

    // The frontmost application's window; false when there is none or the viewport is absurd.
    bool fitFrontmost(const protocol::FitWindowRequest& request);
    // The window the device picked, looked up off the queue; `viewportOverride` replaces the
    // request's viewport.
    void fitTarget(const protocol::FitWindowTarget& request, std::optional<FitViewport> viewportOverride);
    // Fits `target` as soon as the session, the pause and the displays let it.
    void requestFit(const WindowTarget& target, FitViewport viewport,
                    std::optional<platform::ShareableWindow> knownWindow,
                    std::optional<platform::Point> inheritedOriginal);
    // Runs the fit waiting for a virtual display, a resume or the end of a pause.
    void applyPending();
    // The session's viewport changed: false when no fit is in play.
    bool updateVideo(FitViewport viewport);
    // Ends the fit in force or waiting, its window put back with `restore`, the pipeline restarted
    // with `restart`.
    void clear(bool restore, bool restart);
    // Detach: the fit is kept, its window put back and no longer captured.
    void suspend();
    // Resume: a pending fit runs at the new viewport, a suspended one is looked up again.
    void resume();
    // To the main session once it is authenticated, and to the controller peer.
    void sendState(bool active, std::optional<std::string> appName);

    bool inPlay() const { return fit_.has_value() || pending_.has_value(); }
    bool activeUnsuspended() const { return fit_ && !fit_->suspended; }
    const std::optional<WindowFit>& fitted() const { return fit_; }
    const std::optional<PendingFit>& pending() const { return pending_; }
    std::uint64_t generation() const { return generation_; }
    const std::optional<WindowFollowHistory>& followHistory() const { return followHistory_; }

    // The records as the controller's other concerns still name them in place: display aspect fit
    // sets the viewport, migration the origin and applied frame, and its tests the generation.
    std::optional<WindowFit>& fitRecord() { return fit_; }
    std::optional<PendingFit>& pendingRecord() { return pending_; }
    std::uint64_t& generationRecord() { return generation_; }

private:
    struct Watch;
    struct Snapshot;
    struct Placement;

    void finishTarget(const protocol::FitWindowTarget& request, std::uint64_t generation,
                      std::optional<FitViewport> notedViewport, FitViewport requested,
                      const std::vector<platform::WindowDescription>& listed,
                      const std::optional<platform::WindowDescription>& found,
                      const std::optional<WindowTarget>& target);
    void perform(const WindowTarget& target, FitViewport viewport, std::optional<platform::ShareableWindow> knownWindow,
                 std::optional<platform::Point> inheritedOriginal);
    static void place(HostFitWindows& windows, const std::optional<Rect>& area, Placement& placement);
    void finishPlacement(const Placement& placement);
    void restoreFrame();
    void releaseDisplayUnlessAspectFit(const FitDisplays& displays);
    void clearInputRects();
    void resetFollow();
    void noteFollowEvent(std::uint64_t generation, std::uint32_t fitted, const HostFitWindows::FollowEvent& event);
    void finishResume(std::uint64_t fitGeneration, std::uint64_t selectionGeneration,
                      const std::optional<platform::WindowDescription>& window);
    void startWatch(std::uint64_t generation, std::optional<std::uint32_t> windowID, FitViewport viewport,
                    const WindowTarget& target);
    static void watchPass(std::weak_ptr<WindowFitter> weak, base::Executor* queue,
                          std::weak_ptr<HostFitWindows> windows, std::shared_ptr<Watch> watch);
    bool watching(const Watch& watch) const;
    void decideFollow(const Watch& watch, const Snapshot& snapshot);
    void adoptListedWindow(std::uint64_t generation, const platform::WindowDescription& listed);
    bool selectionCurrent(std::uint64_t generation) const;
    void log(std::string_view line) const { neighbours_.log(line); }

    base::Executor& queue_;
    const base::Clock& clock_;
    std::shared_ptr<HostFitWindows> windows_;
    std::weak_ptr<WindowFitter> self_;
    Neighbours neighbours_;

    std::optional<WindowFit> fit_;
    std::optional<PendingFit> pending_;
    std::uint64_t generation_ = 0;
    std::optional<WindowFollowHistory> followHistory_;
    std::unique_ptr<HostFitObservation> followObserver_;
    std::optional<std::uint32_t> createdWindowID_;
    std::optional<std::uint32_t> focusedWindowID_;
    std::optional<std::uint32_t> destroyedWindowID_;
    std::uint64_t focusFollowAfter_ = 0;
    int movesInFlight_ = 0;  // placements asked of the task queue and not yet finished here
};

}  // namespace orvanta::host
