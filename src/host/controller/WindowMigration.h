// Window migration: the windows display aspect fit moves onto its virtual display, those opened
// there evacuated at release, and all of them put back and verified. It runs on the controller's
// queue; the window work runs on the window queue and asks the controller's queue, synchronously,
// before each step whether it is still wanted.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/transport/HostSettingsModel.h"  // ahead of HostSession.h, which uses its types

#include "base/Executor.h"
#include "host/desktop/AspectFramesWriter.h"
#include "host/controller/HostAspectSeams.h"
#include "host/controller/HostFitState.h"
#include "host/controller/HostSession.h"
#include "host/media/AspectDisplayApplication.h"

namespace orvanta::host {

// What migration reads and asks of display aspect fit.
struct MigrationDisplay {
    std::function<bool()> aspectFitOn;
    std::function<std::optional<std::uint32_t>()> virtualDisplayID;  // the adopted display, if any
    std::function<bool()> creationPending;
    std::function<bool()> updateScheduled;
    std::function<bool()> restorePending;  // a release whose arrangement is not verified yet
    std::function<bool()> promoted;        // promoted, and still the main display
    std::function<bool()> promote;         // a new attempt; whether it is promoted now
    std::function<void()> demote;
    std::function<std::optional<platform::Point>(std::uint32_t displayID)> savedOrigin;
    std::function<std::uint32_t()> physicalCaptureDisplayID;
};

// What migration reads and asks of window fit, about the one window a fit holds.
struct MigrationFit {
    std::function<bool()> inPlay;  // a fit active or pending
    std::function<std::uint64_t()> generation;
    // The original origin of the fitted window when it is `element`, suspended or not.
    std::function<std::optional<platform::Point>(const AXElement& element)> fittedOrigin;
    // The same of an active, unsuspended fit.
    std::function<std::optional<platform::Point>(const AXElement& element)> activeOrigin;
    // The origin a pending fit of `element` inherits.
    std::function<std::optional<platform::Point>(const AXElement& element)> pendingOrigin;
    // The active fit's window is back at `origin` now, at `frame` when it could be read.
    std::function<void(const platform::Point& origin)> setActiveOrigin;
    std::function<void(const Rect& frame)> setActiveAppliedFrame;
};

// The rest of the host migration reads: the session, the pipeline and the shared capture state.
struct MigrationHost {
    std::function<void(std::string_view)> log;
    std::function<std::uint64_t()> now;
    std::function<std::shared_ptr<HostSession>()> session;
    std::function<bool()> paused;
    std::function<std::optional<std::uint32_t>()> aspectCaptureID;  // the display the capture runs on
    std::function<bool()> capturing;
    std::function<void()> stopPipeline;
    std::function<void()> startPipeline;
    // The aspect display's application the pipeline also reads.
    std::function<std::shared_ptr<AspectDisplayApplication>()> application;
    std::function<void(std::shared_ptr<AspectDisplayApplication>)> setApplication;
    // The windows as the session found them.
    std::function<std::optional<std::map<std::uint32_t, AspectWindow>>&()> connectionFrames;
};

class WindowMigration {
public:
    using Records = std::map<std::uint32_t, AspectRestoreRecord>;
    static constexpr double kMenuBarPoints = 28;
    static constexpr base::Micros kMoveConfirmDelay{120'000};
    static constexpr std::int64_t kRestoreCheckDelaysMs[] = {300, 600, 1000, 1500};
    static constexpr int kRestoreLastAttempt = 4;

    // `writerLog` outlives the component in a write still queued.
    WindowMigration(base::Executor& queue, std::shared_ptr<HostAspectWindows> windows, LogFunction writerLog);

    // What the neighbours' callbacks need alive: queued work runs only while it lives, and holds it.
    void setLifetime(std::weak_ptr<const void> lifetime) { lifetime_ = std::move(lifetime); }
    // Set by the coordinator after construction.
    MigrationDisplay display;
    MigrationFit fit;
    MigrationHost host;

    // The sweep: promotes the virtual display, selects its capture and moves the physical
    // windows onto it, when display aspect fit holds.
    void migrate();
    // Before a creation and before each promotion attempt: records the frames to restore.
    void rememberFrames();
    // At hello: the windows as the session finds them.
    void snapshotConnectionFrames();
    // At release: windows opened on the virtual display join the records, then every recorded
    // window goes back and is checked until it is where it was.
    void restore(bool replacingAspectDisplay);
    const Records& records() const { return records_; }
    // A display's usable rectangle: its area less a panel across the top, or, when asked, less
    // panels on any side.
    std::optional<Rect> visibleBounds(std::uint32_t displayID, bool includeDockOnly) const;

    // Where a window lands on the target display, and where an evacuated one lands back.
    static Rect migrationFrame(const Rect& window, const Rect& source, const Rect& target);
    static platform::Point evacuationOrigin(const Rect& window, const Rect& source, const Rect& target);

private:
    struct PhysicalScreen {
        Rect bounds;
        platform::Point savedOrigin;  // in the saved arrangement, else the current origin
        bool operator==(const PhysicalScreen&) const = default;
    };
    struct MoveBatch;
    using RecordIDs = std::vector<std::uint32_t>;

    // Runs `task` on `executor` while the component and its owner live.
    void post(base::Executor& executor, std::function<void(WindowMigration&)> task);
    void postAfter(base::Executor& executor, base::Micros delay, std::function<void(WindowMigration&)> task);
    void log(std::string_view line) const { host.log(line); }

    void rememberFrame(const AspectWindow& window);
    std::optional<std::map<std::uint32_t, AspectWindow>> physicalWindowFrames();
    std::vector<PhysicalScreen> physicalScreens();
    void cancelRestoreRetries();
    void persistRecords();
    void moveWindows(std::function<void()> done);
    bool batchCurrent(const MoveBatch& batch) const;
    bool hop(const std::function<bool()>& step);
    void moveNextWindow(const std::shared_ptr<MoveBatch>& batch);
    bool resolveForMove(const MoveBatch& batch, const AspectWindow& window, AXElement& element);
    std::optional<Rect> destination(const MoveBatch& batch, const AspectWindow& window, const AXElement& element);
    bool arrivedOnVirtualDisplay(const MoveBatch& batch, const AspectWindow& window);
    void bookMove(const std::shared_ptr<MoveBatch>& batch, const AspectWindow& window,
                  std::optional<AspectMoveFailure> failure);
    std::optional<Rect> evacuationBounds(std::uint32_t displayID, bool virtualDisplay);
    void recordWindowsToEvacuate(std::uint32_t virtualDisplayID, std::uint32_t physicalID, bool replacingAspectDisplay);
    void evacuateKnownWindows();
    void scheduleRestoreCheck(RecordIDs ids, std::uint64_t generation, int attempt);
    void runRestoreCheck(const RecordIDs& ids, std::uint64_t generation, int attempt);
    void checkRestoredWindows(const std::vector<AspectRestoreRecord>& records, std::uint64_t generation, int attempt,
                              std::uint64_t fitGeneration);
    std::optional<std::string> retryRestore(const AspectRestoreRecord& record, const std::optional<AspectWindow>& live,
                                            const std::function<bool()>& isCurrent, std::uint64_t fitGeneration);
    void finishRestoreCheck(const RecordIDs& settled, RecordIDs kept, std::uint64_t generation, int attempt);

    base::Executor& queue_;
    std::shared_ptr<HostAspectWindows> windows_;
    std::shared_ptr<AspectFramesWriter> framesWriter_;
    std::weak_ptr<const void> lifetime_;
    Records records_;
    std::uint64_t generation_ = 0;
    std::optional<std::uint64_t> restoreRetryGeneration_;
};

}  // namespace orvanta::host
