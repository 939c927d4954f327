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
#include "host/controller/AspectFramesWriter.h"
#include "host/controller/HostComponents.h"
#include "host/controller/HostControlSeams.h"
#include "host/controller/HostDisplaySeams.h"
#include "host/controller/HostFitSeams.h"
#include "host/controller/HostFitState.h"
#include "host/controller/HostPublishedState.h"
#include "host/controller/HostSession.h"
#include "host/controller/MediaPipeline.h"
#include "host/controller/SystemAudio.h"
#include "host/media/AspectDisplayApplication.h"
#include "host/media/Blackout.h"
#include "host/media/VirtualDisplay.h"
#include "host/media/WindowCaptureGeometry.h"
#include "host/transport/DeviceRegistry.h"
#include "host/transport/HTTPServer.h"
#include "host/transport/HostSettingsModel.h"
#include "host/transport/Pairing.h"
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
    static constexpr std::uint64_t kPongTimeoutMicros = 5'000'000;
    static constexpr std::uint64_t kIdleCaptureMicros = 15'000'000;
    static constexpr std::uint64_t kLatencyLineMicros = 10'000'000;
    static constexpr double kCursorStep = 0.0005;
    static constexpr std::int64_t kCursorStreamMaxInFlightBytes = 16'384;
    static constexpr std::size_t kMaxPairIdCharacters = 64;
    static constexpr std::size_t kMaxPairCodeCharacters = 32;

    using Session = HostSession;
    using BusyWaiter = host::BusyWaiter;
    using ControllerSession = host::ControllerSession;
    using WindowPointerState = host::WindowPointerState;
    using BlackoutPhase = BlackoutSessionPhase;
    using BlackoutState = host::BlackoutState;

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
    void pollLockState();
    void stopIdleCapture();
    void sendCursor(std::uint64_t at);
    void handleStage2Stall();
    void sendPing(WebSocketConnection& control, std::uint32_t& pingId, std::uint64_t at);

    // Pairing.
    void handlePair(const HTTPRequest& request, const HTTPServer::PairReply& reply);
    void issueCodeOnQueue();
    void publishPairLink(const std::string& display);
    void expireCode();
    void clearCodeDisplay();
    double pairingNow() const { return static_cast<double>(now()) / 1e6; }

    // Session life cycle.
    void closeController(std::string_view reason);
    void endSession(std::shared_ptr<Session> ended, std::optional<std::uint16_t> code, std::string_view reason);
    void detachSender();
    std::string listenStatus() const;
    void setPaused(bool paused);
    void updateBlackout(std::optional<bool> enabled);

    base::Executor& queue_;
    base::Executor& main_;
    base::Executor& utility_;
    const base::Clock& clock_;
    HostControllerDependencies dependencies_;
    std::shared_ptr<HostPublished> published_ = std::make_shared<HostPublished>();

    std::shared_ptr<HTTPServer> server_;
    std::shared_ptr<DeviceRegistry> registry_;
    PairingManager pairing_;
    std::shared_ptr<HostVideoSender> sender_;
    std::shared_ptr<HostCapture> capture_;
    std::shared_ptr<HostEncoder> encoder_;
    int encoderStartFailures_ = 0;
    int captureErrorRetries_ = 0;
    std::shared_ptr<Session> session_;
    std::map<std::string, std::shared_ptr<WebSocketConnection>> awaitingHello_;
    std::map<std::string, std::pair<std::shared_ptr<WebSocketConnection>, std::string>> clipboardSubscribers_;
    std::shared_ptr<HostInput> input_;
    std::shared_ptr<BusyWaiter> busyWaiter_;
    std::shared_ptr<ControllerSession> controllerSession_;
    std::uint64_t selectionGeneration_ = 0;
    std::uint64_t fitGeneration_ = 0;
    bool accessibilityNoticeSent_ = false;
    WindowPointerState windowPointerState_ = WindowPointerState::ready;
    std::shared_ptr<HostWindowsCursorStream> windowsCursor_;
    std::optional<std::pair<double, double>> lastCursorSent_;
    bool debugInput_ = false;
    std::uint16_t genCounter_ = 0;
    bool paused_ = false;
    bool screenLocked_ = false;
    bool displayAsleep_ = false;
    std::shared_ptr<UnlockEnvironment> unlockEnvironment_;
    std::shared_ptr<DualCaptureTest> dualTest_;
    bool unlockInFlight_ = false;
    int unlockFailures_ = 0;
    std::uint64_t unlockNotBefore_ = 0;
    std::optional<std::uint64_t> videoDetachedAt_;
    std::optional<std::string> listenFailure_;  // the loopback listener's last failure, while it stands
    std::atomic<bool> started_ = false;
    bool highResOn_ = false;
    bool clientAspectFit_ = false;
    double clientAspectScale_ = 1.0;
    std::optional<std::uint64_t> arrangementStallGraceUntil_;
    BlackoutState blackout_;
    std::map<std::string, DeviceLink> lastPublishedLinks_;
    std::uint64_t maxInputAge_ = 0;
    std::uint64_t maxFrameAge_ = 0;
    std::uint64_t lastUndecodableLogAt_ = 0;
    bool launchingApp_ = false;
    bool windowListInFlight_ = false;
    std::vector<base::TaskHandle> timers_;

    // Owned by their timer handlers.
    std::int64_t housekeepingTicks_ = 0;
    std::uint64_t largestTickGap_ = 0;
    std::uint64_t lastCursorTick_ = 0;
    std::uint64_t lastLatencyLine_ = 0;

    // Control connections, hello, waiting connections and detach.
    static constexpr base::Micros kHelloTimeout{10'000'000};
    static constexpr base::Micros kDetachWait{60'000'000};
    static constexpr std::uint64_t kSupersedeSilenceMicros = 30'000'000;
    static constexpr std::int64_t kSessionMessageLimit = 8'388'608;
    static constexpr std::size_t kTicketBytes = 32;
    static std::string makeTicket();
    void acceptControl(UpgradedSocket socket, base::Bytes leftover, ConnectionRoute route);
    void handOffHello(const std::shared_ptr<WebSocketConnection>& connection, const std::string& text,
                      ConnectionRoute route);
    void acceptScreenControl(const std::shared_ptr<WebSocketConnection>& connection, ConnectionRoute route,
                             const std::string& helloText);
    void installSessionHandlers(const std::shared_ptr<Session>& session);
    void sessionText(const std::string& text, const std::shared_ptr<Session>& session);
    void sessionClosed(const std::shared_ptr<Session>& session);
    void handleSessionHello(const std::shared_ptr<Session>& session, const protocol::Hello& hello);
    void completeHello(const std::shared_ptr<Session>& session, const protocol::Hello& hello,
                       const DeviceRecord& record);
    void sendControl(WebSocketConnection& connection, const protocol::ControlMessage& message);
    void handleBusyText(const std::string& text, const std::shared_ptr<BusyWaiter>& waiter);
    void busyWaiterHello(const std::shared_ptr<BusyWaiter>& waiter, const protocol::Hello& hello);
    void joinController(const std::shared_ptr<BusyWaiter>& waiter);
    void takeOver(const std::shared_ptr<BusyWaiter>& waiter);
    void startSessionFromWaiter(const std::shared_ptr<BusyWaiter>& waiter, const protocol::Hello& hello,
                                const DeviceRecord& record);
    void resumeSession(const std::shared_ptr<Session>& current, const std::shared_ptr<BusyWaiter>& waiter,
                       const protocol::Hello& hello, const DeviceRecord& record);
    // A Windows desktop client's screen size, when its hello gives one with both sides positive.
    static std::optional<std::pair<int, int>> windowsScreenPixels(const protocol::Hello& hello);
    void handleControllerText(const std::string& text, const std::shared_ptr<ControllerSession>& controller);
    void controllerClosed(const std::shared_ptr<ControllerSession>& controller);
    void detachSession(const std::shared_ptr<Session>& session);
    // Every decoded message of the main session's control connection.
    void dispatchSessionMessage(const protocol::ControlMessage& message, const std::shared_ptr<Session>& session);
    // Joined with the message dispatch: a controller's input messages.
    void dispatchControllerMessage(const protocol::ControlMessage& message,
                                   const std::shared_ptr<ControllerSession>& controller);
    // Hands a clipboard hello's connection to the clipboard channel.
    void handOffClipboard(const std::shared_ptr<WebSocketConnection>& connection, const base::Json& hello,
                          ConnectionRoute route);
    // Control-message dispatch, input results and the clipboard channel.
public:
    static constexpr std::uint64_t kMaxRTTMicros = 59'999'999;
    static constexpr std::size_t kMaxRTTSamples = 20;
    static constexpr std::uint64_t kMinBaseRTTMicros = 1'000;
    static constexpr std::int64_t kClipboardMaxMessage = 8'388'608;
    static constexpr std::string_view kClipboardWelcome = R"({"type":"welcome","purpose":"clipboard"})";

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
    static constexpr std::uint64_t kUnlockSpacingMicros = 3'000'000;
    static constexpr std::uint64_t kUnlockBackoffMicros = 30'000'000;
    static constexpr int kUnlockFailuresBeforeBackoff = 3;
    static constexpr std::uint64_t kAppWindowWaitMicros = 8'000'000;
    static constexpr base::Micros kAppWindowPollInterval{350'000};

private:
    void dispatch(const protocol::ControlMessage& message, const std::shared_ptr<Session>& session);
    void dispatchInput(const protocol::ControlMessage& message, const std::string& source,
                       WebSocketConnection& connection);
    void handleAck(const protocol::Ack& ack);
    void handlePong(const protocol::Pong& pong, Session& session);
    void handleAudio(const protocol::AudioRequest& request, Session& session);
    void handleFitWindow(const protocol::FitWindowRequest& request);
    void requestWindowList(const std::shared_ptr<WebSocketConnection>& control);
    void handleInputResult(InputResult result);
    void logUndecodable();
    static void wipeSecrets(protocol::ControlMessage& message);
    void sendMessage(WebSocketConnection& connection, const protocol::ControlMessage& message);
    InputResult setClipboard(const protocol::ClipboardText& message);
    void setClipboardImage(const protocol::ClipboardImage& message);
    void attachClipboard(const std::shared_ptr<WebSocketConnection>& socket, const std::string& id);
    void forwardClipboardText(const std::string& text, const std::string& id);
    void handleUnlock(const std::string& password);
    void finishUnlock(std::optional<UnlockOutcome> outcome);
    void sendNotice(const protocol::NoticeKind& kind, std::optional<std::string> message = std::nullopt);
    void observeWorkspace();
    void displaySleepChanged(bool asleep);
    void revokeOnQueue(const std::string& deviceId, const std::function<void(bool)>& completion);
    bool canUseAppCatalog(const WebSocketConnection& socket) const;
    bool servesControl(const WebSocketConnection& socket) const;
    void launchStarted(const std::shared_ptr<WebSocketConnection>& socket, std::uint64_t generation,
                       const std::optional<HostDesktopApps::Launched>& launched);
    void finishLaunch(const std::shared_ptr<WebSocketConnection>& socket, std::uint64_t generation,
                      std::optional<OpenWindowInfo> window);
    void pollAppWindow(const HostDesktopApps::Launched& app, std::uint64_t deadline,
                       std::function<void(std::optional<OpenWindowInfo>)> done);
    void launchApp(const std::string& bundleId, const std::shared_ptr<WebSocketConnection>& control);
    void sendAppList(const std::shared_ptr<WebSocketConnection>& control);
    void sendWindowList(const std::shared_ptr<WebSocketConnection>& control);

    std::uint16_t awaitedPointerGen_ = 0;    // the generation whose first frame re-enables pointer input
    std::set<std::string> appListRequests_;  // connection identifiers
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
    // live in its own file: HostControllerVideo/Audio, HostControllerWindowFit,
    // HostControllerAspect (with the virtual display) and HostControllerMigration.
    void stopPipeline();
    void refreshAudio();
    std::optional<protocol::AudioFormat> audioOffer(const Session& session);
    void applyHighRes(bool on);

    bool fitFrontmostWindow(const protocol::FitWindowRequest& request);
    void applyWindowFitTarget(const protocol::FitWindowTarget& request,
                              std::optional<FitViewport> viewportOverride = std::nullopt);
    void requestFit(const WindowTarget& target, FitViewport viewport,
                    std::optional<platform::ShareableWindow> knownWindow,
                    std::optional<platform::Point> inheritedOriginal);
    void applyPendingFit();
    bool updateWindowVideo(Session& session);
    void clearWindowFit(bool restore, bool restart);
    void sendWindowState(bool active, std::optional<std::string> appName);
    void resetFollow();

    void applyClientAspectFit(const protocol::DisplayAspectFitRequest& request, Session& session);
    void applyViewportUpdate(const protocol::ViewportUpdate& update, Session& session);
    void scheduleAspectUpdate(Session& session);
    void cancelAspectUpdate();
    bool ensureVirtualDisplay(VirtualDisplayPurpose purpose, int viewportWidth, int viewportHeight);
    std::uint32_t physicalCaptureDisplayID() const;
    void destroyVirtualDisplay(std::string_view reason, bool replacingAspectDisplay);
    void restoreDisplayOnDisconnect(std::string_view reason);

    void migrateWindowsToVirtualDisplay();
    void rememberAspectFrames();
    void restoreAspectMigratedWindows(bool replacingAspectDisplay);
    std::optional<Rect> visibleBounds(std::uint32_t displayID, bool includeDockOnly);

    std::optional<WindowFit> windowFit_;
    std::optional<PendingFit> pendingFit_;
    std::optional<WindowCaptureGeometry> streamingWindowGeometry_;
    std::optional<std::uint32_t> activeAspectCaptureID_;
    std::shared_ptr<AspectDisplayApplication> aspectApplication_;
    std::shared_ptr<VirtualDisplay> virtualDisplay_;
    bool virtualDisplayPending_ = false;
    bool displayRestorePending_ = false;
    std::map<std::uint32_t, AspectRestoreRecord> aspectRecords_;
    std::shared_ptr<AspectFramesWriter> aspectFramesWriter_;

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
    static constexpr base::Micros kFitWatchInterval{500'000};
    static constexpr std::uint64_t kFocusFollowDelayMicros = 1'200'000;
    struct FitWatch;
    struct FitSnapshot;
    struct FitPlacement;
    HostFitWindows* fitWindows() const { return dependencies_.components.fitWindows.get(); }
    void finishFitTarget(const protocol::FitWindowTarget& request, std::uint64_t generation,
                         std::optional<FitViewport> notedViewport, FitViewport requested,
                         const std::vector<platform::WindowDescription>& listed,
                         const std::optional<platform::WindowDescription>& found,
                         const std::optional<WindowTarget>& target);
    bool isPhone() const;
    void beginFitPointerChange();
    void clearFitInputRects();
    void performFit(const WindowTarget& target, FitViewport viewport,
                    std::optional<platform::ShareableWindow> knownWindow,
                    std::optional<platform::Point> inheritedOriginal);
    static void placeFitWindow(HostFitWindows& windows, const std::optional<Rect>& area, FitPlacement& placement);
    void finishFitPlacement(const FitPlacement& placement);
    void restoreWindowFitFrame();
    void noteFollowEvent(std::uint64_t generation, std::uint32_t fitted, const HostFitWindows::FollowEvent& event);
    // Detach: the fit is kept, its window put back and no longer captured.
    void suspendWindowFit();
    // Resume: a pending fit runs at the new viewport, a suspended one is looked up again.
    void resumeWindowFit();
    void finishFitResume(std::uint64_t fitGeneration, std::uint64_t selectionGeneration,
                         const std::optional<platform::WindowDescription>& window);
    void startFitWatch(std::uint64_t generation, std::optional<std::uint32_t> windowID, FitViewport viewport,
                       const WindowTarget& target);
    static void watchFitPass(std::weak_ptr<HostController> weak, base::Executor* queue,
                             std::weak_ptr<HostFitWindows> windows, std::shared_ptr<FitWatch> watch);
    void decideFollow(const FitWatch& watch, const FitSnapshot& snapshot);
    void adoptListedWindow(std::uint64_t generation, const platform::WindowDescription& listed);
    std::optional<WindowFollowHistory> followHistory_;
    std::unique_ptr<HostFitObservation> followObserver_;
    std::optional<std::uint32_t> createdWindowID_;
    std::optional<std::uint32_t> focusedWindowID_;
    std::optional<std::uint32_t> destroyedWindowID_;
    std::uint64_t focusFollowAfter_ = 0;
    int fitMovesInFlight_ = 0;  // placements asked of the task queue and not yet finished here

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
    bool windowFitInPlay() const { return windowFit_.has_value() || pendingFit_.has_value(); }
    bool fitActiveUnsuspended() const { return windowFit_ && !windowFit_->suspended; }
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
    struct AspectPhysicalScreen {
        Rect bounds;
        platform::Point savedOrigin;  // in the saved arrangement, else the current origin
        bool operator==(const AspectPhysicalScreen&) const = default;
    };
    struct AspectMoveBatch;
    using AspectRecordIDs = std::vector<std::uint32_t>;
    static constexpr double kMenuBarPoints = 28;
    static constexpr base::Micros kMoveConfirmDelay{120'000};
    static constexpr std::int64_t kAspectRestoreCheckDelaysMs[] = {300, 600, 1000, 1500};
    static constexpr int kAspectRestoreLastAttempt = 4;
    static Rect aspectMigrationFrame(const Rect& window, const Rect& source, const Rect& target);
    static platform::Point evacuationOrigin(const Rect& window, const Rect& source, const Rect& target);
    void rememberAspectFrame(const AspectWindow& window);
    std::optional<std::map<std::uint32_t, AspectWindow>> physicalWindowFrames();
    std::vector<AspectPhysicalScreen> aspectPhysicalScreens();
    void snapshotConnectionFrames();
    void cancelAspectRestoreRetries();
    void persistAspectRecords();
    void moveAspectWindows(std::function<void()> done);
    bool aspectBatchCurrent(const AspectMoveBatch& batch) const;
    bool aspectHop(const std::function<bool()>& step);
    void moveNextAspectWindow(const std::shared_ptr<AspectMoveBatch>& batch);
    bool resolveForMove(const AspectMoveBatch& batch, const AspectWindow& window, AXElement& element);
    std::optional<Rect> aspectDestination(const AspectMoveBatch& batch, const AspectWindow& window,
                                          const AXElement& element);
    bool arrivedOnVirtualDisplay(const AspectMoveBatch& batch, const AspectWindow& window);
    void bookAspectMove(const std::shared_ptr<AspectMoveBatch>& batch, const AspectWindow& window,
                        std::optional<AspectMoveFailure> failure);
    std::optional<Rect> evacuationBounds(std::uint32_t displayID, bool virtualDisplay);
    void recordWindowsToEvacuate(std::uint32_t virtualDisplayID, std::uint32_t physicalID, bool replacingAspectDisplay);
    void evacuateKnownWindows();
    void scheduleAspectRestoreCheck(AspectRecordIDs ids, std::uint64_t generation, int attempt);
    void runAspectRestoreCheck(const AspectRecordIDs& ids, std::uint64_t generation, int attempt);
    void checkRestoredWindows(const std::vector<AspectRestoreRecord>& records, std::uint64_t generation, int attempt,
                              std::uint64_t fitGeneration);
    std::optional<std::string> retryAspectRestore(const AspectRestoreRecord& record,
                                                  const std::optional<AspectWindow>& live,
                                                  const std::function<bool()>& isCurrent, std::uint64_t fitGeneration);
    void finishAspectRestoreCheck(const AspectRecordIDs& settled, AspectRecordIDs kept, std::uint64_t generation,
                                  int attempt);

    std::uint64_t aspectMigrationGeneration_ = 0;
    std::optional<std::uint64_t> aspectRestoreRetryGeneration_;
    std::optional<std::map<std::uint32_t, AspectWindow>> connectionFrames_;

    // Display aspect fit's promotion and saved arrangement as migration uses them; that concern
    // owns them, and these stand in for them until it is merged.
    bool virtualDisplayIsMain();
    bool aspectUpdateScheduled() const;
    std::optional<platform::Point> savedDisplayOrigin(std::uint32_t displayID) const;
};

}  // namespace orvanta::host
