// The heart of the host: owns the HTTP server, the paired devices, the pairing codes, the sessions
// and the media pipeline, and publishes what the host screens show. All of its state lives on one
// serial queue ("zq2.host"); the published state alone is assigned on the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "base/Executor.h"
#include "base/Settings.h"
#include "host/controller/AppsAndWindows.h"
#include "host/controller/ClipboardChannel.h"
#include "host/controller/HostComponents.h"
#include "host/controller/HostControlSeams.h"
#include "host/controller/HostDisplaySeams.h"
#include "host/controller/HostFitSeams.h"
#include "host/controller/HostFitState.h"
#include "host/controller/HostPublishedState.h"
#include "host/controller/HostSession.h"
#include "host/controller/MediaPipeline.h"
#include "host/controller/MessageDispatch.h"
#include "host/controller/PairingEndpoint.h"
#include "host/controller/PauseControl.h"
#include "host/controller/SessionHub.h"
#include "host/controller/SystemAudio.h"
#include "host/controller/WindowFitter.h"
#include "host/controller/WindowMigration.h"
#include "host/media/AspectDisplayApplication.h"
#include "host/media/Blackout.h"
#include "host/media/VirtualDisplay.h"
#include "host/media/WindowCaptureGeometry.h"
#include "host/transport/DeviceRegistry.h"
#include "host/transport/HTTPServer.h"
#include "host/transport/HostSettingsModel.h"
#include "host/transport/Support.h"
#include "host/transport/WebSocket.h"
#include "platform/ComputerName.h"
#include "platform/ServiceAdvertiser.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

// The stored settings the controller starts from.
struct StoredHostSettings {
    static constexpr std::string_view kHighResKey = "highResVirtualDisplay";
    static constexpr std::string_view kBlackoutKey = "lumicrate.hostBlackout";
    static constexpr std::string_view kDeviceNameKey = "tessaril.client.deviceName";

    bool highRes = false;  // false when absent
    bool blackout = true;  // true when nothing is stored
    bool operator==(const StoredHostSettings&) const = default;

    static StoredHostSettings read(const base::Settings& settings);
};

// Everything the controller is created with. The executors and the clock outlive it.
struct HostControllerDependencies {
    base::Executor* queue = nullptr;    // "zq2.host"
    base::Executor* main = nullptr;     // the main thread
    base::Executor* utility = nullptr;  // slow lookups kept off both (the pair link)
    const base::Clock* clock = nullptr;
    std::shared_ptr<DeviceRegistry> registry;
    std::shared_ptr<base::Settings> settings;
    std::shared_ptr<platform::ServiceAdvertiser> advertiser;
    HTTPServerOptions serverOptions;
    HostComponents components;
    // The pair link of a displayed code, or nothing; may block for seconds.
    std::function<std::optional<std::string>(const std::string& code)> pairLinkLookup;
    // An environment variable, or nothing when unset.
    std::function<std::optional<std::string>(std::string_view name)> environment;
    std::filesystem::path machineInfo{platform::kMachineInfoPath};
    std::function<void(std::string_view)> log;     // the host log when unset
    std::function<void(std::string)> recordInput;  // the input diagnostic log when unset
    HostControlComponents control;                 // what control messages drive
};

class HostController final : public std::enable_shared_from_this<HostController> {
public:
    static constexpr std::string_view kListeningStatus = "待受中（127.0.0.1:8766）";
    static constexpr std::string_view kListenFailedPrefix = "待受に失敗: ";
    static constexpr std::string_view kFallbackName = "Mac";

    static constexpr base::Micros kKeepAliveInterval{1'000'000};
    static constexpr base::Micros kHousekeepingInterval{250'000};
    static constexpr base::Micros kCursorFirstTick{100'000};
    static constexpr base::Micros kCursorInterval{33'333};
    static constexpr std::uint64_t kIdleCaptureMicros = 15'000'000;
    static constexpr std::uint64_t kLatencyLineMicros = 10'000'000;
    static constexpr double kCursorStep = 0.0005;
    static constexpr std::int64_t kCursorStreamMaxInFlightBytes = 16'384;

    using Session = HostSession;
    using BusyWaiter = host::BusyWaiter;
    using ControllerSession = host::ControllerSession;
    using WindowPointerState = host::WindowPointerState;
    using BlackoutPhase = BlackoutSessionPhase;

    // Reads the stored settings and builds the server; nothing listens before start().
    static std::shared_ptr<HostController> create(HostControllerDependencies dependencies);
    ~HostController();
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    // Any thread; acts on its first call only. The rest runs on the controller's queue.
    void start();
    // The controller's queue, before the controller goes: a stop ends the session as a detach
    // does, the moved windows put back first, then the displays.
    void stop();
    // Any thread: issues a pairing code and shows it.
    void issueCode();

    // Main thread.
    const std::shared_ptr<HostPublished>& published() const { return published_; }

    // The controller's queue only.
    std::optional<std::uint16_t> loopbackPort() const { return server_->loopbackPort(); }
    std::optional<std::uint16_t> lanPort() const { return server_->lanPort(); }

private:
    friend class HostControllerProbe;  // tests reach the queue's state through it
    struct Passkey {};

public:
    HostController(Passkey, HostControllerDependencies dependencies);

private:
    // Construction and publishing.
    void wireCallbacks();
    void installBlackoutHook();
    void startOnQueue();
    std::string advertisedName() const;
    void simulateLockIfRequested();
    void installBlackoutSnapshotIfRequested();
    void startDualCaptureTestIfRequested();
    void writeDebugPairCode();
    void setStatus(std::string text);
    void publishListenState(ListenState state);
    void publishDevices();
    void publishConnected(std::optional<std::string> name);
    void publishLinks();
    void publish(std::function<void(HostPublishedState&)> change);
    void log(std::string_view line) const;
    void recordSessionPhase(std::string_view phase) const;
    std::optional<std::string> environment(std::string_view name) const;
    std::uint64_t now() const { return clock_.uptimeMicros(); }

    // Timers.
    void startTimers();
    void keepAliveTick();
    void housekeepingTick();
    void cursorTick();
    void checkVideoStall(std::uint64_t at);
    void stopIdleCapture();
    void sendCursor(std::uint64_t at);
    void handleStage2Stall();

    // Pairing.
    void wirePairing();

    // Session life cycle.
    void closeController(std::string_view reason);
    void endSession(std::shared_ptr<Session> ended, std::optional<std::uint16_t> code, std::string_view reason);
    void detachSender();
    std::string listenStatus() const;

    base::Executor& queue_;
    base::Executor& main_;
    base::Executor& utility_;
    const base::Clock& clock_;
    HostControllerDependencies dependencies_;
    std::shared_ptr<HostPublished> published_ = std::make_shared<HostPublished>();

    std::shared_ptr<HTTPServer> server_;
    std::shared_ptr<DeviceRegistry> registry_;
    std::shared_ptr<PairingEndpoint> pairing_;
    std::shared_ptr<HostVideoSender> sender_;
    std::shared_ptr<HostCapture> capture_;
    std::shared_ptr<HostEncoder> encoder_;
    int encoderStartFailures_ = 0;
    int captureErrorRetries_ = 0;
    // The sessions are the hub's; the other concerns read them here.
    std::shared_ptr<SessionHub> sessions_ = std::make_shared<SessionHub>(queue_, clock_, registry_);
    const std::shared_ptr<Session>& session_ = sessions_->session();
    std::vector<std::shared_ptr<WebSocketConnection>> pendingVideos_;
    std::shared_ptr<HostInput> input_;
    // Pause, unlock and the blackout covers; the other concerns read the pause in place.
    std::shared_ptr<PauseControl> pause_ = makePauseControl();
    const bool& paused_ = pause_->pausedRecord();
    const std::shared_ptr<ControllerSession>& controllerSession_ = sessions_->controller();
    std::uint64_t selectionGeneration_ = 0;
    WindowPointerState windowPointerState_ = WindowPointerState::ready;
    std::shared_ptr<HostWindowsCursorStream> windowsCursor_;
    std::optional<std::pair<double, double>> lastCursorSent_;
    std::uint16_t genCounter_ = 0;
    std::shared_ptr<DualCaptureTest> dualTest_;
    std::optional<std::uint64_t> videoDetachedAt_;
    std::optional<std::string> listenFailure_;  // the loopback listener's last failure, while it stands
    std::atomic<bool> started_ = false;
    bool highResOn_ = false;
    bool clientAspectFit_ = false;
    double clientAspectScale_ = 1.0;
    std::optional<std::uint64_t> arrangementStallGraceUntil_;
    std::map<std::string, DeviceLink> lastPublishedLinks_;
    std::uint64_t maxInputAge_ = 0;
    std::uint64_t maxFrameAge_ = 0;
    std::vector<base::TaskHandle> timers_;

    // Owned by their timer handlers.
    std::int64_t housekeepingTicks_ = 0;
    std::uint64_t largestTickGap_ = 0;
    std::uint64_t lastCursorTick_ = 0;
    std::uint64_t lastLatencyLine_ = 0;

    // Control connections and sessions: the hub keeps them; what a session's start, resume, detach
    // and end do across the host is ordered here.
    void wireSessions();
    void handleSessionHello(const std::shared_ptr<Session>& session, const protocol::Hello& hello);
    void sessionStarting(const DeviceRecord& record);
    void sessionStarted(const std::shared_ptr<Session>& session);
    void resumeSession(const std::shared_ptr<Session>& current, const std::shared_ptr<BusyWaiter>& waiter);
    void detachSession(const std::shared_ptr<Session>& session);
    // The message dispatch, wired in HostControllerDispatch.cpp.
    void wireDispatch();
    void firstFrameShown(std::uint16_t gen);
    void sendMessage(WebSocketConnection& connection, const protocol::ControlMessage& message);
    std::unique_ptr<MessageDispatch> dispatch_;

public:
    // Every text of a main session's control connection, in arrival order.
    void handleControlText(const std::string& text, const std::shared_ptr<Session>& session);
    // Takes over a control connection whose hello asked for the clipboard channel.
    void acceptClipboard(const std::shared_ptr<WebSocketConnection>& socket, const base::Json& hello,
                         ConnectionRoute route);
    // Main thread: the user's blackout preference.
    void setBlackout(bool enabled);
    // Any thread: forgets a paired device and closes its connections; `completion` runs on the
    // main thread with whether the device was forgotten.
    void revoke(const std::string& deviceId, std::function<void(bool)> completion);

    static constexpr base::Micros kDisplaySleepPollInterval{1'000'000};

private:
    // Pause, unlock and the blackout covers, wired in HostControllerPause.cpp: what a pause stops
    // and a resume restarts across the host is ordered there.
    std::shared_ptr<PauseControl> makePauseControl() const;
    void wirePause();
    void observeWorkspace();
    void pauseConcerns();
    void resumeConcerns();
    void revokeOnQueue(const std::string& deviceId, const std::function<void(bool)>& completion);
    bool canUseAppCatalog(const WebSocketConnection& socket) const;
    bool servesControl(const WebSocketConnection& socket) const;

    // The control components, wired in HostControllerControl.cpp.
    void wireApps();
    void wireClipboard();
    std::shared_ptr<AppsAndWindows> appsAndWindows_;
    std::shared_ptr<ClipboardChannel> clipboardChannel_;

    std::uint16_t awaitedPointerGen_ = 0;  // the generation whose first frame re-enables pointer input
    // Video channel and pipeline.
    void startPipelineIfNeeded();
    void forceKeyframe();
    std::shared_ptr<MediaPipeline> pipeline_;
    void wireMediaPipeline();
    void acceptVideo(UpgradedSocket socket, base::Bytes leftover);
    void videoAttached(const std::shared_ptr<WebSocketConnection>& video);
    void videoDetached();
    void captureStarted(const std::shared_ptr<HostCapture>& capture, std::optional<std::uint32_t> aspectDisplay,
                        bool started);
    std::uint16_t nextGeneration();

public:
    // Main thread: the user's high-resolution preference.
    void setHighRes(bool on);

private:
    // Shared by the pipeline, audio, window fit and display aspect fit. Each concern's operations
    // live in its own file: HostControllerVideo/Audio, WindowFitter,
    // HostControllerAspect (with the virtual display) and HostControllerMigration.
    void stopPipeline();
    void refreshAudio();
    std::optional<protocol::AudioFormat> audioOffer(const Session& session);
    void applyHighRes(bool on);

    bool fitFrontmostWindow(const protocol::FitWindowRequest& request) { return windowFitter_.fitFrontmost(request); }
    void applyWindowFitTarget(const protocol::FitWindowTarget& request,
                              std::optional<FitViewport> viewportOverride = std::nullopt) {
        windowFitter_.fitTarget(request, viewportOverride);
    }
    void requestFit(const WindowTarget& target, FitViewport viewport,
                    std::optional<platform::ShareableWindow> knownWindow,
                    std::optional<platform::Point> inheritedOriginal) {
        windowFitter_.requestFit(target, viewport, std::move(knownWindow), inheritedOriginal);
    }
    void applyPendingFit() { windowFitter_.applyPending(); }
    bool updateWindowVideo(Session& session) {
        return windowFitter_.updateVideo({session.viewportWidth, session.viewportHeight});
    }
    void clearWindowFit(bool restore, bool restart) { windowFitter_.clear(restore, restart); }
    void sendWindowState(bool active, std::optional<std::string> appName) {
        windowFitter_.sendState(active, std::move(appName));
    }

    void applyClientAspectFit(const protocol::DisplayAspectFitRequest& request, Session& session);
    void applyViewportUpdate(const protocol::ViewportUpdate& update, Session& session);
    void scheduleAspectUpdate(Session& session);
    void cancelAspectUpdate();
    bool ensureVirtualDisplay(VirtualDisplayPurpose purpose, int viewportWidth, int viewportHeight);
    std::uint32_t physicalCaptureDisplayID() const;
    void destroyVirtualDisplay(std::string_view reason, bool replacingAspectDisplay);
    void restoreDisplayOnDisconnect(std::string_view reason);

    void migrateWindowsToVirtualDisplay() { migration_->migrate(); }
    void rememberAspectFrames() { migration_->rememberFrames(); }
    void restoreAspectMigratedWindows(bool replacingAspectDisplay) { migration_->restore(replacingAspectDisplay); }
    std::optional<Rect> visibleBounds(std::uint32_t displayID, bool includeDockOnly) const {
        return migration_->visibleBounds(displayID, includeDockOnly);
    }

    // Window fit and follow; the other concerns still name its records in place through these.
    WindowFitter windowFitter_{queue_, clock_, dependencies_.components.fitWindows};
    std::optional<WindowFit>& windowFit_ = windowFitter_.fitRecord();
    std::optional<PendingFit>& pendingFit_ = windowFitter_.pendingRecord();
    std::uint64_t& fitGeneration_ = windowFitter_.generationRecord();
    std::optional<WindowCaptureGeometry> streamingWindowGeometry_;
    std::optional<std::uint32_t> activeAspectCaptureID_;
    std::shared_ptr<AspectDisplayApplication> aspectApplication_;
    std::shared_ptr<VirtualDisplay> virtualDisplay_;
    bool virtualDisplayPending_ = false;
    bool displayRestorePending_ = false;
    std::unique_ptr<WindowMigration> migration_;
    const WindowMigration::Records& aspectRecords_;  // the migration's records, as the session's end reads them

    // Video pipeline.
    // A callback for the components' own threads: `handle` runs later on the controller's queue,
    // with the controller, unless the controller is gone by then.
    template <class... Args, class Handle>
    std::function<void(Args...)> onHostQueue(Handle handle) {
        return [weak = weak_from_this(), queue = &queue_, handle = std::move(handle)](Args... args) {
            queue->async([weak, handle, ... args = std::move(args)]() mutable {
                if (auto self = weak.lock()) handle(*self, std::move(args)...);
            });
        };
    }
    std::optional<std::uint32_t> aspectCaptureSource() const;
    CaptureStartOptions captureOptions(std::optional<std::uint32_t> aspectDisplay) const;
    bool streamsToPhone() const;
    void startEncoder(const std::shared_ptr<HostCapture>& capture, std::uint16_t gen);
    void finishEncoderStart(const std::shared_ptr<HostEncoder>& encoder, bool ready,
                            const std::shared_ptr<HostCapture>& capture, std::uint16_t gen);
    void runEncoder(const std::shared_ptr<HostEncoder>& encoder, const std::shared_ptr<HostCapture>& capture,
                    std::uint16_t gen);
    void wireEncoderOutputs(const std::shared_ptr<HostEncoder>& encoder, std::uint16_t gen);
    void sendStreamConfig(const HostEncoder& encoder, std::uint16_t gen, base::Bytes sps, base::Bytes pps);
    void sendEncodedFrame(base::Bytes avcc, bool isKey, std::uint64_t ptsMicros);
    void logWindowsVideo(std::uint16_t gen, const HostEncoder& encoder);
    void encoderStartFailed(const std::shared_ptr<HostCapture>& capture);
    void captureFailed(const std::shared_ptr<HostCapture>& capture, std::optional<std::uint32_t> aspectDisplay,
                       const std::string& message);
    void clearFailedWindowFitLater();
    void retryPipeline(const std::shared_ptr<HostCapture>& capture, std::string_view what, int count);
    void updateInputMapping(const std::function<void(InputMapping&)>& change);

    // System audio.
    std::shared_ptr<SystemAudio> audio_;
    void wireSystemAudio();
    bool audioWanted() const;

    // Window fit and follow.
    void wireWindowFit();
    // Detach: the fit is kept, its window put back and no longer captured.
    void suspendWindowFit() { windowFitter_.suspend(); }
    // Resume: a pending fit runs at the new viewport, a suspended one is looked up again.
    void resumeWindowFit() { windowFitter_.resume(); }

    // Display aspect fit and the virtual display.
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
    static constexpr std::int64_t kMaxMacroblocks = 34'560;

    struct DisplayLayout {
        std::uint32_t main = 0;
        DisplayOrigins origins;
        bool operator==(const DisplayLayout&) const = default;
    };

    static bool viewportSideValid(std::int64_t side);
    // Numbers and origin lists as the host log writes them.
    static std::string originsText(const DisplayOrigins& origins);
    void applyWholeDisplayAspect(const std::shared_ptr<Session>& session);
    void runAspectUpdate(const std::weak_ptr<Session>& weakSession);
    bool isCurrentMainSession(const Session& session) const;
    bool windowFitInPlay() const { return windowFitter_.inPlay(); }
    bool fitActiveUnsuspended() const { return windowFitter_.activeUnsuspended(); }
    bool virtualDisplayWanted() const { return clientAspectFit_ || windowFitInPlay(); }
    std::optional<DisplaySize> virtualDisplaySize(VirtualDisplayPurpose purpose, int viewportWidth, int viewportHeight);
    void logBackingAdjustment(const DisplaySize& size) const;
    std::optional<HostDisplay> displayInfo(std::uint32_t id) const;
    std::uint32_t currentMainDisplayID() const;
    void restartPipeline();

    void startVirtualDisplayCreation(const DisplaySize& size, std::uint64_t generation, int attempt);
    void finishVirtualDisplayCreation(std::shared_ptr<VirtualDisplay> display, const DisplaySize& size,
                                      std::uint64_t generation, int attempt);
    void retryVirtualDisplayCreation(const DisplaySize& size, std::uint64_t generation, int attempt);
    void adoptVirtualDisplay(std::shared_ptr<VirtualDisplay> display, int attempt);
    void virtualDisplayCreationTimedOut(std::uint64_t generation, int attempt);
    void discardUnclaimedVirtualDisplay(std::shared_ptr<VirtualDisplay> display);
    void rememberDisplayArrangementBeforeCreation();
    std::optional<DisplayLayout> currentPhysicalLayout() const;
    bool promoteVirtualDisplayToMain();
    void demoteVirtualDisplayFromMain();
    static std::optional<DisplayOrigins> promotionOrigins(const DisplayOrigins& displays, std::uint32_t virtualID,
                                                          double width, std::uint32_t mainID);
    bool applyDisplayOrigins(const DisplayOrigins& origins);
    bool waitForMainDisplay(std::uint32_t expected);
    void endArrangementGrace();
    void restartWholeDisplayPipelineAfterArrangementChange(std::string_view reason);
    void checkArrangementAfterRelease(std::optional<std::uint32_t> displayID);
    void verifyReleasedArrangement(std::optional<std::uint32_t> displayID, std::uint64_t generation, int attempt);
    void resumeAfterDisplayRestore();
    void forgetSavedArrangement();
    VirtualDisplayPurpose fitPurpose() const;

    std::optional<base::TaskHandle> pendingAspectUpdate_;
    bool applyAspectAfterRestore_ = false;
    std::uint64_t virtualGeneration_ = 0;
    int virtualCreateAttempt_ = 0;        // -1 while waiting to retry
    bool virtualCreationGaveUp_ = false;  // the restore under way follows a creation that failed for good
    std::optional<std::uint32_t> aspectPhysicalMainID_;
    DisplayOrigins aspectSavedOrigins_;
    std::optional<DisplayLayout> connectionLayout_;
    bool aspectPromoted_ = false;
    int aspectPromotionAttempts_ = 0;

    // Window migration.
    void wireMigration();
    void snapshotConnectionFrames() { migration_->snapshotConnectionFrames(); }
    std::optional<std::map<std::uint32_t, AspectWindow>> connectionFrames_;  // the session's end clears them

    // Display aspect fit's promotion and saved arrangement as migration reads them.
    bool virtualDisplayIsMain();
    bool aspectUpdateScheduled() const;
    std::optional<platform::Point> savedDisplayOrigin(std::uint32_t displayID) const;
};

}  // namespace orvanta::host
