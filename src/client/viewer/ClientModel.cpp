#include "client/viewer/ClientModel.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "client/directory/CredentialStore.h"
#include "client/directory/SelfConnectionGuard.h"
#include "client/directory/StandaloneClientImport.h"
#include "client/session/AudioPlayback.h"
#include "clipboard/ClipboardOutbound.h"
#include "clipboard/ClipboardSync.h"
#include "platform/ComputerName.h"

namespace orvanta::client {
namespace {

std::string lowercased(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::shared_ptr<ClientModel> ClientModel::create(ClientPlatform platform) {
    auto imported = StandaloneClientImport::run(*platform.defaults, platform.standaloneSuite.get());
    platform.defaults->registerDefaults(
        {{std::string(kSendClipboardKey), true}, {std::string(kAudioEnabledKey), true}});
    auto vault = std::make_shared<KeychainTokenVault>(CredentialStore(platform.secrets),
                                                      std::string(CredentialStore::kMacClientService));
    auto hosts = std::make_shared<HostListStore>(platform.defaults, std::move(vault), false);
    auto model = std::make_shared<ClientModel>(Passkey{}, std::move(platform), std::move(hosts));
    model->standaloneImportCount_ = imported;
    model->install();
    model->subscribe();
    return model;
}

ClientModel::ClientModel(Passkey, ClientPlatform platform, std::shared_ptr<HostListStore> hosts)
    : platform_(std::move(platform)), hosts_(std::move(hosts)) {
    lastPasteboardChange_ = platform_.pasteboard->changeCount();
    auto& main = platform_.main;
    auto& clock = platform_.clock;
    audio_ = std::make_shared<ConnectionAudio>(
        main, clock,
        [&main, &clock, &queue = platform_.audioQueue, output = platform_.audioOutput](const auto& format) {
            return AudioPlayback::make(format, queue, main, clock, output);
        });
    connection_ = ConnectionManager::create(main, clock, platform_.sockets, platform_.defaults);
    connection_->audio = audio_;
}

ClientModel::~ClientModel() {
    pairingRequest_.cancel();
    viewportDebounce_.cancel();
    stopTimers();
    if (audioSettingObserver_) platform_.defaults->removeObserver(*audioSettingObserver_);
    if (hostsObserver_) hosts_->removeObserver(*hostsObserver_);
    clipboardOutbound_.reset();
}

void ClientModel::install() {
    std::weak_ptr<ClientModel> weak = weak_from_this();
    clipboardOutbound_ = clipboard::ClipboardOutbound::create(platform_.main, *hosts_, platform_.hub, *platform_.http,
                                                              *platform_.sockets, [weak] {
                                                                  auto self = weak.lock();
                                                                  return self ? self->deviceId() : std::string();
                                                              });

    auto& c = *connection_;
    c.hostStore = hosts_;
    c.idiom = protocol::DeviceIdiom::pad;
    c.clientKind = std::string(kClientKind);
    c.viewportProvider = [weak] {
        auto self = weak.lock();
        return self ? self->currentViewport() : ViewportMetrics{{0, 0, 1280, 720}, 2};
    };
    c.displayAspectFitProvider = [weak] {
        auto self = weak.lock();
        if (!self) return false;
        auto entry = self->targetEntry();
        return entry && entry->displayAspectFit.value_or(false) && !self->isSelfConnection();
    };
    c.displayFitRequestsAllowedProvider = [weak] {
        auto self = weak.lock();
        return !self || !self->isSelfConnection();
    };
    c.displayAspectScaleProvider = [weak] {
        auto self = weak.lock();
        if (!self) return 1.0;
        auto entry = self->activeEntry();
        return entry ? entry->displayAspectScale.value_or(1.0) : 1.0;
    };
    c.takeHeldKeyNames = [weak] {
        auto self = weak.lock();
        return self ? self->takeHeldKeyNames() : std::vector<std::string>();
    };
    c.onSessionEstablished = [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->awaitingFirstSessionFrame_ = true;
        self->lastClipboardDigest_.reset();
        self->sendClipboardNow();
    };
    // Whatever the frame path hands over, a frame is a frame here.
    c.onFrame = [weak](const auto&...) {
        if (auto self = weak.lock()) self->frameArrived();
    };
    audio_->setPlaybackSupported(true);
    audio_->setMuted(!audioEnabled());
}

void ClientModel::subscribe() {
    std::weak_ptr<ClientModel> weak = weak_from_this();
    // Settings observers run on the thread that made the change.
    audioSettingObserver_ = platform_.defaults->observe(kAudioEnabledKey, [weak, &main = platform_.main](const auto&) {
        main.async([weak] {
            if (auto self = weak.lock()) self->applyAudioSetting();
        });
    });
    hostsObserver_ = hosts_->observe([weak] {
        if (auto self = weak.lock()) self->syncHosts();
    });
    syncHosts();
    connection_->observe([weak] {
        if (auto self = weak.lock()) self->syncSession();
    });
    audio_->onChange = [weak] {
        if (auto self = weak.lock()) self->syncSession();
    };
    connection_->observeState([weak](State state) {
        auto self = weak.lock();
        if (!self) return;
        self->syncSession();
        self->stateDidChange(state);
    });
}

void ClientModel::setWindowState(std::shared_ptr<WindowStateHandoff> windowState) {
    if (windowState) windowState_ = std::move(windowState);
}

void ClientModel::setDebug(std::shared_ptr<DebugHandoff> debug) {
    if (debug) debug_ = std::move(debug);
}

void ClientModel::log(const std::string& line) const { debug_->log(line); }

// ---------------------------------------------------------------------------------------------
// Published state

void ClientModel::syncSession() {
    const auto& c = *connection_;
    auto& s = session_;
    std::vector<std::function<void()>> changed;
    const auto take = [&changed](auto& field, auto value) {
        if (field.store(std::move(value))) changed.push_back([&field] { field.notify(); });
    };
    take(s.state, c.state());
    take(s.lastError, c.lastError());
    take(s.hostEntryId, c.hostEntryId());
    take(s.baseURL, c.baseURL());
    take(s.viewOnly, c.viewOnly());
    take(s.inputNotice, c.inputNotice());
    take(s.lockMessage, c.lockMessage());
    take(s.hostName, c.hostName());
    take(s.streamSize, c.streamSize());
    take(s.cursor, c.cursor());
    take(s.visibleCursorShape, c.visibleCursorShape());
    take(s.windowFitActive, c.windowFitActive());
    take(s.windowAppName, c.windowAppName());
    take(s.windowListState, c.windowListState());
    take(s.windowList, c.windowList());
    take(s.windowAppIcons, c.windowAppIcons());
    take(s.appList, c.appList());
    take(s.appListIcons, c.appListIcons());
    take(s.assembler, c.assembler());
    take(s.hostAudioAvailable, audio_->hostAudioAvailable());
    take(s.effectiveVideoDelayMillis, audio_->effectiveVideoDelayMillis());
    take(s.audioLagMillis, audio_->audioLagMillis());
    for (const auto& notify : changed) notify();
}

void ClientModel::syncHosts() {
    const bool entriesChanged = hostList_.entries.store(hosts_->entries());
    const bool selectionChanged = hostList_.selectedId.store(hosts_->selectedId());
    if (entriesChanged) hostList_.entries.notify();
    if (selectionChanged) hostList_.selectedId.notify();
}

void ClientModel::setShowingConnectScreen(bool showing) {
    if (!showingConnectScreen_.assign(showing) || !isPresented_) return;
    if (!showing) return clientSideDidShow();
    windowState_->endImmersiveSession();
    clientSideWillHide();
}

void ClientModel::setGameKeyboard(bool on) {
    if (gameKeyboard_.assign(on)) connection_->releaseInput();
}

std::vector<std::string> ClientModel::takeHeldKeyNames() {
    // The host lets go of every key, so no modifier counts as held here any more either.
    keyboard_.reset();
    return gameKeys_.takeHeldNames();
}

// ---------------------------------------------------------------------------------------------
// Derived values

bool ClientModel::isLive(State state) {
    switch (state) {
        case State::connecting:
        case State::connected:
        case State::locked:
        case State::busy:
        case State::controller:
        case State::recovering:
        case State::decodeError:
            return true;
        case State::disconnected:
        case State::takenOver:
        case State::authFailed:
        case State::revoked:
            break;
    }
    return false;
}

bool ClientModel::isInputState(State state) { return isLive(state) && state != State::busy; }

std::optional<HostListStore::Entry> ClientModel::activeEntry() const {
    const auto& id = connection_->hostEntryId();
    if (!id) return std::nullopt;
    const auto& entries = hosts_->entries();
    const auto found = std::ranges::find(entries, *id, &HostListStore::Entry::id);
    return found == entries.end() ? std::nullopt : std::optional(*found);
}

std::optional<HostListStore::Entry> ClientModel::targetEntry() const {
    return isLive(connection_->state()) ? activeEntry() : hosts_->selected();
}

bool ClientModel::isSelfConnection() const {
    const auto entry = targetEntry();
    return SelfConnectionGuard::isSelfConnection(entry ? std::optional(entry->hostId) : std::nullopt,
                                                 LocalHostIdentity::hostId());
}

std::string ClientModel::deviceName() const {
    if (auto stored = platform_.defaults->string(kDeviceNameKey)) {
        if (auto name = base::trimWhitespace(*stored); !name.empty()) return std::string(name);
    }
    return platform::computerName(platform_.machineInfo).value_or(std::string(kFallbackDeviceName));
}

bool ClientModel::audioEnabled() const { return platform_.defaults->boolean(kAudioEnabledKey).value_or(true); }

std::string ClientModel::deviceId() const {
    return DeviceIdentity::persistentID(
        CredentialStore(platform_.secrets), std::string(CredentialStore::kMacClientService),
        DeviceIdentity::kMacClientLegacyDefaultsKey, *platform_.defaults, DeviceIdentity::kMacClientPrefix);
}

void ClientModel::applyAudioSetting() { audio_->setMuted(!audioEnabled()); }

// ---------------------------------------------------------------------------------------------
// Session states

void ClientModel::stateDidChange(State state) {
    std::string line = "state: " + std::string(ConnectionManager::rawValue(state));
    if (const auto& error = connection_->lastError()) line += " (" + *error + ")";
    log(line);
    if (isInputState(state)) {
        startTimers();
    } else {
        stopTimers();
    }
    // Every state that leaves the picture, and a new connection, end immersive full screen first.
    if (state == State::connecting || state == State::busy || !isLive(state)) windowState_->endImmersiveSession();
    if (state == State::connecting || state == State::recovering) receivedFrame_.assign(false);
    if (state == State::connecting || state == State::takenOver || state == State::disconnected) {
        setGameKeyboard(false);
    }
    if (state == State::disconnected && connection_->lastError()) markFailure(false);
    if (state == State::authFailed) markFailure(false);
    if (state == State::revoked) markFailure(true);
}

void ClientModel::markFailure(bool pairAgain) {
    failedEntryID_.assign(connection_->hostEntryId());
    needsPairing_.assign(pairAgain);
    errorMessage_.assign(std::string(pairAgain ? kPairAgainMessage : kCannotConnectMessage));
}

void ClientModel::frameArrived() {
    ++frameCount_;
    receivedFrame_.assign(true);
    if (awaitingFirstSessionFrame_ && connection_->state() == State::connected) {
        awaitingFirstSessionFrame_ = false;
        if (isPresented_ && !showingConnectScreen_()) {
            windowState_->videoBecameAvailable(platform_.defaults->boolean(kConnectFullScreenKey).value_or(false));
        }
    }
    debug_->frameShown();
}

// ---------------------------------------------------------------------------------------------
// User actions

void ClientModel::connect() {
    if (connection_->state() == State::connecting) return;
    errorMessage_.assign(std::nullopt);
    failedEntryID_.assign(std::nullopt);
    needsPairing_.assign(false);
    const auto entry = hosts_->selected();
    if (!entry) {
        errorMessage_.assign(std::string(kEnterAddressMessage));
        return;
    }
    if (isLive(connection_->state()) && connection_->hostEntryId() == entry->id) {
        setShowingConnectScreen(false);
        return;
    }
    const auto token = hosts_->token(*entry);
    if (!token) {
        failedEntryID_.assign(entry->id);
        errorMessage_.assign(std::string(kCannotConnectMessage));
        return;
    }
    if (!*token) {
        failedEntryID_.assign(entry->id);
        needsPairing_.assign(true);
        errorMessage_.assign(std::string(kPairAgainMessage));
        return;
    }
    if (isLive(connection_->state())) connection_->disconnect();
    setShowingConnectScreen(false);
    connection_->connect(*entry, **token, deviceId(), true);
}

std::expected<base::Url, PairingClient::Failure> ClientModel::validatedBaseURL(std::string_view address) {
    const auto refused = std::unexpected(PairingClient::Failure::server(std::string(kInvalidAddressDetail), 0));
    auto url = base::Url::parse(base::trimWhitespace(address));
    if (!url) return refused;
    const auto scheme = lowercased(url->scheme);
    if (scheme != "http" && scheme != "https") return refused;
    if (!url->host || url->host->empty()) return refused;
    if (url->user || url->password || url->query || url->fragment) return refused;
    if (!url->path.empty() && url->path != "/") return refused;
    return *url;
}

void ClientModel::addHost(const std::string& address, const std::string& code, HostListStore::Kind kind,
                          std::function<void(bool)> done) {
    const auto finish = [&](bool added) { platform_.main.async([done = std::move(done), added] { done(added); }); };
    if (pairing_()) return finish(false);
    pairing_.assign(true);
    errorMessage_.assign(std::nullopt);
    auto url = validatedBaseURL(address);
    if (!url) {
        errorMessage_.assign(std::string(kEnterAddressMessage));
        pairing_.assign(false);
        return finish(false);
    }
    pairingRequest_ =
        PairingClient::pair(*platform_.http, *url, code, deviceId(), deviceName(), platform_.main,
                            [weak = weak_from_this(), url = *url, kind, done = std::move(done)](auto result) {
                                // A model that is gone abandoned its pairing, and whoever asked went with it.
                                auto self = weak.lock();
                                if (self) done(self->pairingFinished(url, kind, std::move(result)));
                            });
}

bool ClientModel::pairingFinished(const base::Url& url, HostListStore::Kind kind,
                                  std::expected<PairingClient::Result, PairingClient::Error> result) {
    pairingRequest_ = {};
    std::string failure;
    if (result) {
        auto added = hosts_->addOrUpdate(url.text(), result->deviceToken, result->hostId, kind);
        if (added) {
            failedEntryID_.assign(std::nullopt);
            needsPairing_.assign(false);
            pairing_.assign(false);
            return true;
        }
        failure = describe(added.error());
    } else if (std::holds_alternative<platform::HttpError>(result.error())) {
        // The host was not reached: the code was never looked at.
        errorMessage_.assign(std::string(kCannotConnectMessage));
        pairing_.assign(false);
        return false;
    } else {
        failure = PairingClient::describe(result.error());
    }
    log("pairing failed: " + failure);
    errorMessage_.assign(std::string(kCheckCodeMessage));
    pairing_.assign(false);
    return false;
}

bool ClientModel::removeHost(const std::string& id) {
    auto removed = hosts_->removeReportingFailure(id);
    if (!removed) {
        log("remove host failed: " + describe(removed.error()));
        return false;
    }
    if (!*removed) return false;
    if (connection_->hostEntryId() == id && isLive(connection_->state())) {
        connection_->disconnect();
        setShowingConnectScreen(false);
    }
    if (failedEntryID_() == id) {
        failedEntryID_.assign(std::nullopt);
        needsPairing_.assign(false);
        errorMessage_.assign(std::nullopt);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Display-aspect settings

bool ClientModel::canEditDisplaySettings() const {
    const auto entry = targetEntry();
    if (!entry || entry->kind == HostListStore::Kind::ios || isSelfConnection()) return false;
    const State state = connection_->state();
    if (!isLive(state)) return true;
    return !connection_->viewOnly() && state != State::controller && state != State::busy;
}

double ClientModel::aspectScale() const {
    const auto entry = targetEntry();
    return ConnectionManager::clampedDisplayAspectScale(entry ? entry->displayAspectScale.value_or(1.0) : 1.0);
}

void ClientModel::setAspectFit(bool on) {
    const auto entry = targetEntry();
    if (!canEditDisplaySettings() || !entry) return;
    if (entry->displayAspectFit.value_or(false) == on) return;
    hosts_->setDisplayAspect(on, std::nullopt, entry->id);
    if (isLive(connection_->state())) connection_->setDisplayAspectFit(on);
}

void ClientModel::setAspectScale(double scale) {
    scale = ConnectionManager::clampedDisplayAspectScale(scale);
    const auto entry = targetEntry();
    if (!canEditDisplaySettings() || !entry) return;
    if (scale == aspectScale()) return;
    hosts_->setDisplayAspect(std::nullopt, scale, entry->id);
    if (isLive(connection_->state())) connection_->displayAspectScaleDidChange();
}

}  // namespace orvanta::client
