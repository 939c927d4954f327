// Construction, the wiring of the components' callbacks, start-up and publishing.
#include "host/controller/HostController.h"

#include <stdexcept>

#include "base/PrivateFile.h"
#include "host/media/BlackoutDebugSnapshot.h"
#include "host/transport/Support.h"

namespace orvanta::host {
namespace {

constexpr std::string_view kSimulateLockVariable = "ZQ2_DEBUG_SIMULATE_LOCK";
constexpr std::string_view kPairFileVariable = "ZQ2_DEBUG_PAIR_FILE";

// A stored value read as a boolean the way the settings' owners wrote it: a bool, or a number.
std::optional<bool> storedFlag(const base::Settings& settings, std::string_view key) {
    auto stored = settings.value(key);
    if (!stored) return std::nullopt;
    if (const auto* flag = stored->get<bool>()) return *flag;
    if (const auto* number = stored->get<std::int64_t>()) return *number != 0;
    if (const auto* number = stored->get<double>()) return *number != 0;
    return false;
}

std::string trimmedName(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(kBlanks) - first + 1));
}

}  // namespace

StoredHostSettings StoredHostSettings::read(const base::Settings& settings) {
    return {.highRes = storedFlag(settings, kHighResKey).value_or(false),
            .blackout = storedFlag(settings, kBlackoutKey).value_or(true)};
}

std::shared_ptr<HostController> HostController::create(HostControllerDependencies dependencies) {
    if (!dependencies.queue || !dependencies.main || !dependencies.utility || !dependencies.clock ||
        !dependencies.registry || !dependencies.settings || !dependencies.advertiser ||
        !dependencies.components.sender) {
        throw std::invalid_argument(
            "HostController needs its queues, clock, registry, settings, advertiser and sender");
    }
    auto controller = std::make_shared<HostController>(Passkey{}, std::move(dependencies));
    controller->wireCallbacks();
    controller->wirePause();
    controller->wireDispatch();
    controller->wireApps();
    controller->wireClipboard();
    controller->wireDisplayAspectFit();
    controller->wireMigration();
    controller->wirePairing();
    controller->wireSessions();
    controller->wireWindowFit();
    controller->wireSystemAudio();
    controller->wireMediaPipeline();
    controller->installBlackoutHook();
    controller->installBlackoutSnapshotIfRequested();
    return controller;
}

HostController::HostController(Passkey, HostControllerDependencies dependencies)
    : queue_(*dependencies.queue),
      main_(*dependencies.main),
      utility_(*dependencies.utility),
      clock_(*dependencies.clock),
      dependencies_(std::move(dependencies)),
      registry_(dependencies_.registry),
      sender_(dependencies_.components.sender),
      input_(dependencies_.components.input),
      migration_(std::make_unique<WindowMigration>(
          queue_, dependencies_.components.aspectWindows,
          [log = dependencies_.log](std::string_view line) { log ? log(line) : Log::info(line); })),
      aspectRecords_(migration_->records()) {
    const auto stored = StoredHostSettings::read(*dependencies_.settings);
    highResOn_ = stored.highRes && dependencies_.components.virtualDisplaysAvailable;
    server_ = HTTPServer::create(queue_, dependencies_.advertiser, dependencies_.serverOptions);
    if (registry_->lastError()) log("registry load error: " + *registry_->lastError());
    // Nothing runs on the main thread before this first assignment, so the screens start from it.
    publish([highRes = stored.highRes, available = dependencies_.components.virtualDisplaysAvailable,
             blackout = stored.blackout, devices = registry_->devices()](HostPublishedState& state) {
        state.highResEnabled = highRes;
        state.highResAvailable = available;
        state.blackoutEnabled = blackout;
        state.devices = devices;
    });
}

// Timers and connections are left to run out: the controller lives as long as the process.
HostController::~HostController() = default;

void HostController::wireCallbacks() {
    std::weak_ptr<HostController> weak = weak_from_this();
    sender_->onForceKeyframe = [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->queue_.async([weak] {
            if (auto alive = weak.lock()) alive->forceKeyframe();
        });
    };
    sender_->onStage2Stall = [weak] {
        if (auto self = weak.lock()) self->handleStage2Stall();
    };
    server_->clipboardAvailable = [weak](HTTPServer::ClipboardAnswer reply) {
        if (auto self = weak.lock()) self->clipboardChannel_->answerAvailable(std::move(reply));
    };
    server_->onReady = [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->listenFailure_.reset();
        self->setStatus(std::string(kListeningStatus));
        self->publishListenState(ListenState::ready);
        self->log("server ready on 127.0.0.1:" + std::to_string(self->loopbackPort().value_or(0)));
    };
    server_->onFailure = [weak](std::string message) {
        auto self = weak.lock();
        if (!self) return;
        self->listenFailure_ = message;
        self->setStatus(self->listenStatus());
        self->publishListenState(ListenState::failed);
        self->log("server failed: " + message);
    };
    server_->onBonjourPolicyDenied = [weak](bool denied) {
        auto self = weak.lock();
        if (!self) return;
        self->main_.async([published = self->published_, denied] {
            published->assign([denied](HostPublishedState& state) { state.bonjourPolicyDenied = denied; });
        });
    };
    server_->onVideo = [weak](UpgradedSocket socket, base::Bytes leftover, HTTPRequest) {
        if (auto self = weak.lock()) self->pipeline_->acceptVideo(std::move(socket), std::move(leftover));
    };
}

// Display aspect fit reads the session, the pipeline, window fit and migration as they stand here.
void HostController::wireDisplayAspectFit() {
    aspectFit_.setLifetime(weak_from_this());
    aspectFit_.fit = {
        .inPlay = [this] { return windowFitInPlay(); },
        .activeUnsuspended = [this] { return windowFitter_.activeUnsuspended(); },
        .pending = [this] { return pendingFit_.has_value(); },
        .setViewport =
            [this](FitViewport viewport) {
                if (windowFit_) windowFit_->viewport = viewport;
                if (pendingFit_) pendingFit_->viewport = viewport;
            },
        .applyPending = [this] { applyPendingFit(); },
        .updateVideo = [this](FitViewport viewport) { return windowFitter_.updateVideo(viewport); },
        .moveOnto = [this](const Rect& display) {
            const Rect& frame = windowFit_->appliedFrame;
            if (display.contains(frame.midX(), frame.midY())) return false;
            log("window fit: moving " + windowFit_->target.appName + " to virtual display");
            const WindowFit fit = *windowFit_;
            requestFit(fit.target, fit.viewport, fit.scWindow, fit.originalOrigin);
            return true;
        }};
    aspectFit_.migration = {.migrate = [this] { migrateWindowsToVirtualDisplay(); },
                            .rememberFrames = [this] { rememberAspectFrames(); },
                            .restore = [this](bool replacing) { restoreAspectMigratedWindows(replacing); },
                            .holdsWindows = [this] { return !aspectRecords_.empty(); }};
    aspectFit_.host = {.log = [this](std::string_view line) { log(line); },
                       .now = [this] { return now(); },
                       .session = [this] { return session_; },
                       .paused = [this] { return paused_; },
                       .highRes = [this] { return highResOn_; },
                       .capture = [this] { return capture_; },
                       .stopPipeline = [this] { stopPipeline(); },
                       .startPipeline = [this] { startPipelineIfNeeded(); }};
}

// Migration reads the session, the pipeline, window fit and display aspect fit as they stand here.
void HostController::wireMigration() {
    migration_->setLifetime(weak_from_this());
    migration_->display = {
        .aspectFitOn = [this] { return aspectFit_.on(); },
        .virtualDisplayID =
            [this] {
                const auto& display = aspectFit_.virtualDisplay();
                return display ? std::optional(display->displayID) : std::nullopt;
            },
        .creationPending = [this] { return aspectFit_.creationPending(); },
        .updateScheduled = [this] { return aspectFit_.updateScheduled(); },
        .restorePending = [this] { return aspectFit_.restorePending(); },
        .promoted = [this] { return aspectFit_.promoted(); },
        .promote = [this] { return aspectFit_.promote(); },
        .demote = [this] { aspectFit_.demote(); },
        .savedOrigin = [this](std::uint32_t id) { return aspectFit_.savedOrigin(id); },
        .physicalCaptureDisplayID = [this] { return physicalCaptureDisplayID(); }};
    const auto fitOf = [this](const AXElement& element, bool activeOnly) -> std::optional<platform::Point> {
        if (!windowFit_ || (activeOnly && windowFit_->suspended) || windowFit_->target.axWindow != element) {
            return std::nullopt;
        }
        return windowFit_->originalOrigin;
    };
    migration_->fit = {
        .inPlay = [this] { return windowFitInPlay(); },
        .generation = [this] { return fitGeneration_; },
        .fittedOrigin = [fitOf](const AXElement& element) { return fitOf(element, false); },
        .activeOrigin = [fitOf](const AXElement& element) { return fitOf(element, true); },
        .pendingOrigin = [this](const AXElement& element) -> std::optional<platform::Point> {
            if (!pendingFit_ || pendingFit_->target.axWindow != element) return std::nullopt;
            return pendingFit_->inheritedOriginal;
        },
        .setActiveOrigin = [this](const platform::Point& origin) { windowFit_->originalOrigin = origin; },
        .setActiveAppliedFrame = [this](const Rect& frame) { windowFit_->appliedFrame = frame; }};
    migration_->host = {.log = [this](std::string_view line) { log(line); },
                        .now = [this] { return now(); },
                        .session = [this] { return session_; },
                        .paused = [this] { return paused_; },
                        .aspectCaptureID = [this] { return pipeline_->aspectCaptureID(); },
                        .capturing = [this] { return capture_ != nullptr; },
                        .stopPipeline = [this] { stopPipeline(); },
                        .startPipeline = [this] { startPipelineIfNeeded(); },
                        .application = [this] { return aspectApplication_; },
                        .setApplication =
                            [this](std::shared_ptr<AspectDisplayApplication> application) {
                                aspectApplication_ = std::move(application);
                            },
                        .connectionFrames = [this]() -> std::optional<std::map<std::uint32_t, AspectWindow>>& {
                            return connectionFrames_;
                        }};
}

void HostController::wirePairing() {
    pairing_ = std::make_shared<PairingEndpoint>(PairingEndpoint::Dependencies{
        .queue = &queue_,
        .main = &main_,
        .utility = &utility_,
        .clock = &clock_,
        .registry = registry_,
        .published = published_,
        .pairLinkLookup = dependencies_.pairLinkLookup,
    });
    std::weak_ptr<HostController> weak = weak_from_this();
    pairing_->publish = [weak](std::function<void(HostPublishedState&)> change) {
        if (auto self = weak.lock()) self->publish(std::move(change));
    };
    pairing_->onDevicesChanged = [weak] {
        if (auto self = weak.lock()) self->publishDevices();
    };
    pairing_->log = [weak](std::string_view line) {
        if (auto self = weak.lock()) self->log(line);
    };
    server_->onPair = [weak](HTTPRequest request, HTTPServer::PairReply reply) {
        if (auto self = weak.lock()) self->pairing_->handle(request, reply);
    };
}

void HostController::issueCode() {
    queue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->pairing_->issue();
    });
}

// The fit reaches the session, the displays, the pipeline and input through the controller; it
// lives as long as the controller, and its late hops keep the controller alive while they run.
void HostController::wireWindowFit() {
    windowFitter_.setLifetime(std::shared_ptr<WindowFitter>(shared_from_this(), &windowFitter_));
    windowFitter_.setNeighbours({
        .log = [this](std::string_view line) { log(line); },
        .session = [this]() -> std::optional<FitSession> {
            if (!session_) return std::nullopt;
            return FitSession{{session_->viewportWidth, session_->viewportHeight}, session_->detachedAt.has_value()};
        },
        .holdWhilePaused =
            [this] {
                if (paused_ && session_) session_->viewportChangedWhilePaused = true;
                return paused_;
            },
        .selection = [this] { return selectionGeneration_; },
        .nextSelection = [this] { return ++selectionGeneration_; },
        .beginPointerChange = [this] { beginPointerChange(); },
        .updateInputMapping = [this](const std::function<void(InputMapping&)>& change) { updateInputMapping(change); },
        .streamingGeometry = [this] { return pipeline_->windowGeometry(); },
        .needsAccessibility = [this] { dispatch_->inputResult(InputResult::needsAccessibility); },
        .sendWindowState =
            [this](const protocol::WindowState& state) {
                if (session_ && session_->authenticated) sendMessage(*session_->control, state);
                if (controllerSession_) sendMessage(*controllerSession_->control, state);
            },
        .displays =
            [this] {
                const auto& display = aspectFit_.virtualDisplay();
                return FitDisplays{.virtualID = display ? std::optional(display->displayID) : std::nullopt,
                                   .creating = aspectFit_.creationPending(),
                                   .restoring = aspectFit_.restorePending(),
                                   .aspectFit = aspectFit_.on(),
                                   .virtualAvailable = dependencies_.components.virtualDisplaysAvailable,
                                   .scale = aspectFit_.scale(),
                                   .generation = aspectFit_.generation()};
            },
        .physicalDisplayID = [this] { return physicalCaptureDisplayID(); },
        .visibleBounds = [this](std::uint32_t displayID, bool includeDockOnly) {
            return visibleBounds(displayID, includeDockOnly);
        },
        .fitPurpose = [this] { return aspectFit_.fitPurpose(); },
        .ensureVirtualDisplay = [this](VirtualDisplayPurpose purpose, FitViewport viewport) {
            return aspectFit_.ensureVirtualDisplay(purpose, viewport.width, viewport.height);
        },
        .releaseVirtualDisplay = [this] { aspectFit_.releaseVirtualDisplay("app view ended", false); },
        .cancelAspectUpdate = [this] { cancelAspectUpdate(); },
        .scheduleAspectUpdate =
            [this] {
                if (session_) scheduleAspectUpdate(*session_);
            },
        .stopPipeline = [this] { stopPipeline(); },
        .startPipeline = [this] { startPipelineIfNeeded(); },
    });
}

// Covers are shown only once a running display capture leaves them out of its picture.
void HostController::installBlackoutHook() {
    const auto& blackout = dependencies_.components.blackout;
    if (!blackout) return;
    std::weak_ptr<HostController> weak = weak_from_this();
    blackout->setBeforeReveal([weak](std::function<void()> done) {
        auto self = weak.lock();
        if (!self) return done();
        self->queue_.async([weak, done = std::move(done)] {
            auto alive = weak.lock();
            const auto capture = alive ? alive->capture_ : nullptr;
            if (capture && capture->running() && capture->capturesDisplay()) {
                capture->updateOverlayExclusions(done);
            } else {
                done();
            }
        });
    });
}

void HostController::start() {
    if (started_.exchange(true)) return;
    queue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->startOnQueue();
    });
}

void HostController::startOnQueue() {
    if (auto started = server_->start(advertisedName()); !started) {
        listenFailure_ = started.error().description;
        setStatus(listenStatus());
        publishListenState(ListenState::failed);
    }
    simulateLockIfRequested();
    startTimers();
    observeWorkspace();
    startDualCaptureTestIfRequested();
    writeDebugPairCode();
}

std::string HostController::advertisedName() const {
    if (auto stored = dependencies_.settings->string(StoredHostSettings::kDeviceNameKey)) {
        if (auto name = trimmedName(*stored); !name.empty()) return name;
    }
    return platform::computerName(dependencies_.machineInfo).value_or(std::string(kFallbackName));
}

void HostController::simulateLockIfRequested() {
    const auto password = environment(kSimulateLockVariable);
    const auto& simulated = dependencies_.components.simulatedUnlock;
    if (!password || password->empty() || !simulated) return;
    // Keyboard layouts are read on the main thread, which may already have stopped for shutdown.
    try {
        pause_->simulateLock(main_.sync([&] { return simulated(*password); }));
    } catch (const base::ExecutorStopped&) {
        return;
    }
    log("debug simulate-lock enabled (no real keystrokes)");
}

void HostController::installBlackoutSnapshotIfRequested() {
    const auto prefix = environment(BlackoutDebugSnapshot::kVariable);
    const auto& install = dependencies_.components.blackoutSnapshot;
    if (!prefix || prefix->empty() || !install) return;
    log("debug blackout snapshot enabled");
    install(*prefix);
}

void HostController::startDualCaptureTestIfRequested() {
    const auto& make = dependencies_.components.dualCaptureTest;
    if (environment(DualCaptureTest::kVariable) != "1" || !make) return;
    dualTest_ = make();
    if (dualTest_) dualTest_->run();
}

// The file holds a live pairing code, so it is private to the user, and it is reported only once
// it is really there.
void HostController::writeDebugPairCode() {
    const auto path = environment(kPairFileVariable);
    if (!path || path->empty()) return;
    const PairingCode code = pairing_->issueUnshown();
    if (auto written = base::writePrivateFile(*path, code.display()); !written) {
        log("debug pairing code not written: " + written.error().description());
        return;
    }
    log("debug pairing code written to file");
}

void HostController::publish(std::function<void(HostPublishedState&)> change) {
    main_.async([published = published_, change = std::move(change)] { published->assign(change); });
}

void HostController::setStatus(std::string text) {
    publish([text = std::move(text)](HostPublishedState& state) { state.statusText = text; });
}

void HostController::publishListenState(ListenState listen) {
    publish([listen](HostPublishedState& state) { state.listenState = listen; });
}

void HostController::publishDevices() {
    publish([devices = registry_->devices()](HostPublishedState& state) { state.devices = devices; });
}

void HostController::publishConnected(std::optional<std::string> name) {
    publish([name = std::move(name)](HostPublishedState& state) { state.connectedName = name; });
    publishLinks();
}

void HostController::publishLinks() {
    pause_->updateBlackout();
    std::map<std::string, DeviceLink> links;
    if (session_ && session_->authenticated && !session_->deviceId.empty()) {
        links[session_->deviceId] = {session_->detachedAt ? LinkRole::waitingReturn : LinkRole::main, session_->route};
    }
    if (controllerSession_) {
        links.try_emplace(controllerSession_->deviceId, DeviceLink{LinkRole::controller, controllerSession_->route});
    }
    if (links == lastPublishedLinks_) return;
    lastPublishedLinks_ = links;
    publish([links = std::move(links)](HostPublishedState& state) { state.links = links; });
}

void HostController::log(std::string_view line) const {
    if (dependencies_.log) {
        dependencies_.log(line);
    } else {
        Log::info(line);
    }
}

void HostController::recordSessionPhase(std::string_view phase) const {
    std::string line = "session phase=" + std::string(phase);
    if (dependencies_.recordInput) {
        dependencies_.recordInput(std::move(line));
    } else {
        InputDiagnosticLog::record(std::move(line));
    }
}

std::optional<std::string> HostController::environment(std::string_view name) const {
    if (dependencies_.environment) return dependencies_.environment(name);
    const char* value = std::getenv(std::string(name).c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
}

}  // namespace orvanta::host
