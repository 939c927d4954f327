// Construction, the wiring of the components' callbacks, start-up and publishing.
#include "host/controller/HostController.h"

#include <stdexcept>

#include "base/PrivateFile.h"
#include "clipboard/ClipboardSync.h"
#include "host/media/BlackoutDebugSnapshot.h"
#include "host/transport/Support.h"

namespace orvanta::host {
namespace {

constexpr std::string_view kSimulateLockVariable = "ZQ2_DEBUG_SIMULATE_LOCK";
constexpr std::string_view kPairFileVariable = "ZQ2_DEBUG_PAIR_FILE";
constexpr std::string_view kDebugInputVariable = "ZQ2_DEBUG_INPUT";

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
      unlockEnvironment_(dependencies_.components.unlockEnvironment) {
    // The writer may outlive the controller in a queued write: it logs through its own copy.
    aspectFramesWriter_ = std::make_shared<AspectFramesWriter>(
        [log = dependencies_.log](std::string_view line) { log ? log(line) : Log::info(line); });
    debugInput_ = environment(kDebugInputVariable) == "1";
    const auto stored = StoredHostSettings::read(*dependencies_.settings);
    highResOn_ = stored.highRes && dependencies_.components.virtualDisplaysAvailable;
    blackout_.enabled = stored.blackout;
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
    server_->onControl = [weak](UpgradedSocket socket, base::Bytes leftover, HTTPRequest request) {
        if (auto self = weak.lock()) {
            self->acceptControl(std::move(socket), std::move(leftover),
                                connectionRoute(request.headers, request.isLAN));
        }
    };
    server_->onPair = [weak](HTTPRequest request, HTTPServer::PairReply reply) {
        if (auto self = weak.lock()) self->handlePair(request, reply);
    };
    server_->clipboardAvailable = [weak](HTTPServer::ClipboardAnswer reply) {
        auto self = weak.lock();
        if (!self) return;
        // The hub's setting is read on the main thread.
        self->main_.async([reply = std::move(reply)] {
            const auto* hub = clipboard::ClipboardSync::shared();
            reply(hub != nullptr && hub->enabled());
        });
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
        if (auto self = weak.lock()) self->acceptVideo(std::move(socket), std::move(leftover));
    };
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
        unlockEnvironment_ = main_.sync([&] { return simulated(*password); });
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
    const PairingCode code = pairing_.issue(pairingNow());
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
    updateBlackout(std::nullopt);
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
