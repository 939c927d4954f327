// Display aspect fit: the main device asks for a whole desktop shaped like its own screen. The
// requests settle for a moment, then one virtual display is sized for its purpose and made, kept
// or replaced; the physical display carries on whenever no virtual display can serve. The same
// virtual display serves window fit and high resolution. It runs on the controller's queue; the
// display is made on the display queue, which asks the controller's queue, synchronously, whether
// it is still wanted.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>

#include "host/transport/HostSettingsModel.h"  // ahead of HostSession.h, which uses its types

#include "base/Clock.h"
#include "base/Executor.h"
#include "host/controller/HostComponents.h"
#include "host/controller/HostDisplaySeams.h"
#include "host/controller/HostFitState.h"
#include "host/controller/HostSession.h"
#include "host/media/VirtualDisplay.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

// What display aspect fit reads and asks of window fit.
struct AspectWindowFit {
    std::function<bool()> inPlay;             // a fit active or pending
    std::function<bool()> activeUnsuspended;  // a fit active and not suspended
    std::function<bool()> pending;            // a fit waiting, for a virtual display among others
    // The fit and the pending fit take the session's viewport.
    std::function<void(FitViewport viewport)> setViewport;
    std::function<void()> applyPending;
    // A fitted window's video follows a new viewport; whether a fit took it.
    std::function<bool(FitViewport viewport)> updateVideo;
    // An active fit whose window lies outside `display` is fitted again onto it; whether it was.
    std::function<bool(const Rect& display)> moveOnto;
};

// What display aspect fit asks of window migration.
struct AspectMigration {
    std::function<void()> migrate;         // the sweep onto the virtual display
    std::function<void()> rememberFrames;  // before a creation: the frames to put back
    std::function<void(bool replacingAspectDisplay)> restore;
    std::function<bool()> holdsWindows;  // windows moved and not yet put back
};

// The rest of the host display aspect fit reads: the session, the pipeline and the settings.
struct AspectHost {
    std::function<void(std::string_view)> log;
    std::function<std::uint64_t()> now;
    std::function<std::shared_ptr<HostSession>()> session;
    std::function<bool()> paused;
    std::function<bool()> highRes;  // the user's high-resolution preference
    std::function<std::shared_ptr<HostCapture>()> capture;
    std::function<void()> stopPipeline;
    std::function<void()> startPipeline;
};

class DisplayAspectFit {
public:
    static constexpr std::int64_t kMinViewportSide = 1;
    static constexpr std::int64_t kMaxViewportSide = 32768;
    static constexpr double kMinAspectScale = 0.1;
    static constexpr double kMaxAspectScale = 2.0;
    static constexpr base::Micros kAspectUpdateDelay{1'200'000};
    static constexpr base::Micros kVirtualCreateRetryDelay{400'000};
    static constexpr base::Micros kVirtualCreateTimeout{3'000'000};
    static constexpr int kVirtualCreateLastAttempt = 3;  // attempts 0...3
    static constexpr int kMainDisplayPolls = 10;
    static constexpr base::Micros kMainDisplayPollInterval{50'000};
    static constexpr std::uint64_t kArrangementGraceMicros = 3'000'000;
    static constexpr base::Micros kReleaseVerifyFallback{3'000'000};
    static constexpr base::Micros kArrangementCheckStep{200'000};
    static constexpr int kArrangementCheckRetries = 3;  // checks 0...4
    // The high-resolution display: long side and the limits of its doubled size.
    static constexpr double kHighResLongSide = 2400;
    static constexpr double kHighResMaxWidth = 2560;
    static constexpr std::int64_t kHighResDoubledMaxWidth = 4096;
    static constexpr std::int64_t kHighResDoubledMaxHeight = 2560;

    // Without `displays` every fit runs on the physical display; `input` may be null.
    DisplayAspectFit(base::Executor& queue, std::shared_ptr<HostDisplays> displays, std::shared_ptr<HostInput> input);

    // What the neighbours' callbacks need alive: queued work runs only while it lives, and holds it.
    void setLifetime(std::weak_ptr<const void> lifetime) { lifetime_ = std::move(lifetime); }
    // Set by the coordinator after construction.
    AspectWindowFit fit;
    AspectMigration migration;
    AspectHost host;

    // The main session's requests; any other session's are ignored.
    void request(const protocol::DisplayAspectFitRequest& request, HostSession& session);
    void viewportUpdate(const protocol::ViewportUpdate& update, HostSession& session);
    // The fit is applied once the requests have settled.
    void scheduleUpdate(HostSession& session);
    // Drops an update still waiting, and one owed to a release under way.
    void cancelUpdate();
    bool updateScheduled() const { return pendingUpdate_.has_value(); }

    // Session life: at an authenticated hello, the physical arrangement as the connection found it;
    // once started, the fit comes back or a display no longer wanted goes; at the end, the fit is
    // off and the next connection snapshots its own arrangement.
    void snapshotConnectionLayout();
    void sessionStarted(HostSession& session);
    void sessionEnded();
    // A release of the display and the physical arrangement, or at least of the moved windows.
    void restoreOnDisconnect(std::string_view reason);

    // The virtual display for `purpose` at the viewport: true while one is being made or replaced
    // (the caller waits), false when the one there serves or none can.
    bool ensureVirtualDisplay(VirtualDisplayPurpose purpose, int viewportWidth, int viewportHeight);
    void releaseVirtualDisplay(std::string_view reason, bool replacingAspectDisplay);
    // High resolution unless display aspect fit holds or the device is a phone.
    VirtualDisplayPurpose fitPurpose() const;

    // Promotion to main display, as the window sweep asks for it: a new attempt; whether it is
    // main now. Demotion puts the saved arrangement back.
    bool promote();
    void demote();
    bool promoted() const;  // promoted, and still the main display
    std::optional<platform::Point> savedOrigin(std::uint32_t displayID) const;

    bool on() const { return on_; }
    double scale() const { return scale_; }
    const std::shared_ptr<VirtualDisplay>& virtualDisplay() const { return virtualDisplay_; }
    bool creationPending() const { return creationPending_; }
    // Made, or being made.
    bool holdsVirtualDisplay() const { return virtualDisplay_ || creationPending_; }
    // A release whose arrangement is not verified yet.
    bool restorePending() const { return restorePending_; }
    std::uint64_t generation() const { return generation_; }
    // The physical display capture and input fall back to: the saved main, else the main display
    // when physical, else the first physical one; 0 when none.
    std::uint32_t physicalCaptureDisplayID() const;

    // While the arrangement changes and for a moment after, video stalls are not the encoder's.
    std::optional<std::uint64_t> stallGraceUntil() const { return stallGraceUntil_; }
    void endStallGrace() { stallGraceUntil_.reset(); }

    // The origins that put the virtual display at (0, 0), left of the others as they stood.
    static std::optional<DisplayOrigins> promotionOrigins(const DisplayOrigins& displays, std::uint32_t virtualID,
                                                          double width, std::uint32_t mainID);

private:
    friend class HostControllerProbe;  // the controller tests not moved yet stage its state

    struct DisplayLayout {
        std::uint32_t main = 0;
        DisplayOrigins origins;
        bool operator==(const DisplayLayout&) const = default;
    };
    static constexpr std::uint64_t kGraceHeld = std::numeric_limits<std::uint64_t>::max();

    // Runs `task` later on the controller's queue while the component and its owner live.
    void post(std::function<void(DisplayAspectFit&)> task);
    void postAfter(base::Micros delay, std::function<void(DisplayAspectFit&)> task);
    void log(std::string_view line) const { host.log(line); }

    bool isCurrentMainSession(const HostSession& session) const;
    void restartPipeline();
    void runUpdate(const std::weak_ptr<HostSession>& weakSession);
    void applyWholeDisplay(const std::shared_ptr<HostSession>& session);
    bool virtualDisplayWanted() const { return on_ || fit.inPlay(); }
    std::optional<DisplaySize> virtualDisplaySize(VirtualDisplayPurpose purpose, int viewportWidth,
                                                  int viewportHeight) const;
    void logBackingAdjustment(const DisplaySize& size) const;
    std::optional<HostDisplay> displayInfo(std::uint32_t id) const;
    std::uint32_t currentMainDisplayID() const;

    void startCreation(const DisplaySize& size, std::uint64_t generation, int attempt);
    void finishCreation(std::shared_ptr<VirtualDisplay> display, const DisplaySize& size, std::uint64_t generation,
                        int attempt);
    void retryCreation(const DisplaySize& size, std::uint64_t generation, int attempt);
    void adopt(std::shared_ptr<VirtualDisplay> display, int attempt);
    void creationTimedOut(std::uint64_t generation, int attempt);
    void discardUnclaimed(std::shared_ptr<VirtualDisplay> display);
    void rememberArrangementBeforeCreation();
    std::optional<DisplayLayout> currentPhysicalLayout() const;
    bool promoteToMain();
    bool applyDisplayOrigins(const DisplayOrigins& origins);
    bool waitForMainDisplay(std::uint32_t expected);
    void endArrangementGrace();
    void restartWholeDisplayPipelineAfterArrangementChange(std::string_view reason);
    void checkArrangementAfterRelease(std::optional<std::uint32_t> displayID);
    void verifyReleasedArrangement(std::optional<std::uint32_t> displayID, std::uint64_t generation, int attempt);
    void resumeAfterRestore();
    void forgetSavedArrangement();
    bool virtualDisplayIsMain() const;

    base::Executor& queue_;
    std::shared_ptr<HostDisplays> displays_;
    std::shared_ptr<HostInput> input_;
    std::weak_ptr<const void> lifetime_;

    bool on_ = false;
    double scale_ = 1.0;
    std::optional<base::TaskHandle> pendingUpdate_;
    bool applyAfterRestore_ = false;
    std::shared_ptr<VirtualDisplay> virtualDisplay_;
    bool creationPending_ = false;
    bool restorePending_ = false;
    std::uint64_t generation_ = 0;
    int createAttempt_ = 0;        // -1 while waiting to retry
    bool creationGaveUp_ = false;  // the restore under way follows a creation that failed for good
    std::optional<std::uint32_t> physicalMainID_;
    DisplayOrigins savedOrigins_;
    std::optional<DisplayLayout> connectionLayout_;
    bool promoted_ = false;
    int promotionAttempts_ = 0;
    std::optional<std::uint64_t> stallGraceUntil_;
};

}  // namespace orvanta::host
