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
#include "host/controller/DisplayAspectFit.h"
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
    // The sessions are the hub's; the other concerns read them here.
    std::shared_ptr<SessionHub> sessions_ = std::make_shared<SessionHub>(queue_, clock_, registry_);
    const std::shared_ptr<Session>& session_ = sessions_->session();
    std::shared_ptr<HostInput> input_;
    // Pause, unlock and the blackout covers; the other concerns read the pause in place.
    std::shared_ptr<PauseControl> pause_ = makePauseControl();
    const bool& paused_ = pause_->pausedRecord();
    const std::shared_ptr<ControllerSession>& controllerSession_ = sessions_->controller();
    std::uint64_t selectionGeneration_ = 0;
    WindowPointerState windowPointerState_ = WindowPointerState::ready;
    std::optional<std::pair<double, double>> lastCursorSent_;
    std::shared_ptr<DualCaptureTest> dualTest_;
    std::optional<std::string> listenFailure_;  // the loopback listener's last failure, while it stands
    std::atomic<bool> started_ = false;
    bool highResOn_ = false;
    std::map<std::string, DeviceLink> lastPublishedLinks_;
    std::uint64_t maxInputAge_ = 0;
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
    // Video channel and pipeline: the component runs them; the coordinator wires it and keeps the
    // pointer's state and the high-resolution mode it reads.
    std::shared_ptr<MediaPipeline> pipeline_ = std::make_shared<MediaPipeline>(
        queue_, clock_, dependencies_.log,
        MediaPipeline::Media{.media = dependencies_.components.media,
                             .encoderQueue = dependencies_.components.encoderQueue,
                             .sender = dependencies_.components.sender});
    // Display aspect fit and the blackout hook read the running capture here.
    const std::shared_ptr<HostCapture>& capture_ = pipeline_->capture();
    void wireMediaPipeline();
    void startPipelineIfNeeded() { pipeline_->startIfNeeded(); }
    void forceKeyframe() { pipeline_->forceKeyframe(); }
    void beginPointerChange();

public:
    // Main thread: the user's high-resolution preference.
    void setHighRes(bool on);

private:
    // Shared by the pipeline, audio, window fit and display aspect fit. Each concern's operations
    // live in its own file: MediaPipeline, SystemAudio, WindowFitter, DisplayAspectFit (with the
    // virtual display) and WindowMigration.
    void stopPipeline() { pipeline_->stop(); }
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
    std::shared_ptr<AspectDisplayApplication> aspectApplication_;
    std::unique_ptr<WindowMigration> migration_;
    const WindowMigration::Records& aspectRecords_;  // the migration's records, as the session's end reads them

    // Pointer input's mapping onto the picture, shared by the pipeline and window fit.
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

    // Display aspect fit and the virtual display; the other concerns' files still call it
    // through these.
    void wireDisplayAspectFit();
    DisplayAspectFit aspectFit_{queue_, dependencies_.components.displays, dependencies_.components.input};
    void applyClientAspectFit(const protocol::DisplayAspectFitRequest& request, Session& session) {
        aspectFit_.request(request, session);
    }
    void applyViewportUpdate(const protocol::ViewportUpdate& update, Session& session) {
        aspectFit_.viewportUpdate(update, session);
    }
    void scheduleAspectUpdate(Session& session) { aspectFit_.scheduleUpdate(session); }
    void cancelAspectUpdate() { aspectFit_.cancelUpdate(); }
    std::uint32_t physicalCaptureDisplayID() const { return aspectFit_.physicalCaptureDisplayID(); }
    bool windowFitInPlay() const { return windowFitter_.inPlay(); }

    // Window migration.
    void wireMigration();
    void snapshotConnectionFrames() { migration_->snapshotConnectionFrames(); }
    std::optional<std::map<std::uint32_t, AspectWindow>> connectionFrames_;  // the session's end clears them
};

}  // namespace orvanta::host
