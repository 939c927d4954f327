#include "client/session/ConnectionManager.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "base/Url.h"
#include "base/Uuid.h"
#include "client/session/ControlSendChain.h"
#include "client/session/StreamAssembler.h"
#include "protocol/CloseCodes.h"

namespace orvanta::client {
namespace {

using protocol::ControlMessage;
using State = ConnectionManager::State;

constexpr std::int64_t kMaxFps = 60;
constexpr std::string_view kClientKindDesktop = "macos-desktop";
constexpr std::array<std::pair<State, std::string_view>, 11> kStateTexts{{
    {State::disconnected, "disconnected"},
    {State::connecting, "connecting"},
    {State::connected, "connected"},
    {State::locked, "locked"},
    {State::busy, "busy"},
    {State::controller, "controller"},
    {State::takenOver, "takenOver"},
    {State::recovering, "recovering"},
    {State::decodeError, "decodeError"},
    {State::authFailed, "authFailed"},
    {State::revoked, "revoked"},
}};

std::string lowercased(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Half away from zero, at least 1; view sizes are finite but may be absurdly large.
std::int64_t pixels(double points, double scale) {
    double value = std::round(points * scale);
    if (!(value >= 1)) return 1;
    return value >= 1e15 ? static_cast<std::int64_t>(1e15) : static_cast<std::int64_t>(value);
}

base::Micros retryDelay(int attempt) {
    std::int64_t seconds = std::min<std::int64_t>(std::int64_t{1} << std::min(attempt, 5), 30);
    return std::chrono::seconds(seconds);
}

}  // namespace

// A read loop; cancelling it drops whatever its pending receive brings. The channel holds the
// pending receive, so the loop holds the channel weakly.
struct ConnectionManager::Reader {
    explicit Reader(const std::shared_ptr<platform::WebSocketChannel>& socket) : channel(socket) {}
    std::weak_ptr<platform::WebSocketChannel> channel;
    bool cancelled = false;

    template <class Fn>
    void receive(Fn&& fn) {
        if (auto live = channel.lock()) live->receive(std::forward<Fn>(fn));
    }
};

std::string_view ConnectionManager::rawValue(State state) {
    for (const auto& [value, text] : kStateTexts) {
        if (value == state) return text;
    }
    return {};
}

std::optional<ConnectionManager::State> ConnectionManager::stateFromRawValue(std::string_view raw) {
    for (const auto& [value, text] : kStateTexts) {
        if (text == raw) return value;
    }
    return std::nullopt;
}

std::string_view ConnectionManager::describe(ConnectionError error) {
    switch (error) {
        case ConnectionError::invalidControlMessage:
            return "control でテキスト以外のメッセージを受信しました。";
        case ConnectionError::invalidVideoMessage:
            return "video でバイナリ以外のメッセージを受信しました。";
        case ConnectionError::unexpectedWelcome:
            return "予期しない welcome を受信しました。";
    }
    return {};
}

double ConnectionManager::clampedDisplayAspectScale(double scale) {
    if (!std::isfinite(scale)) return 1.0;
    return std::clamp(scale, kMinDisplayAspectScale, kMaxDisplayAspectScale);
}

std::shared_ptr<ConnectionManager> ConnectionManager::create(base::Executor& main, const base::Clock& clock,
                                                             std::shared_ptr<platform::WebSocketClient> sockets,
                                                             std::shared_ptr<base::Settings> defaults) {
    return std::make_shared<ConnectionManager>(Passkey{}, main, clock, std::move(sockets), std::move(defaults));
}

ConnectionManager::ConnectionManager(Passkey, base::Executor& main, const base::Clock& clock,
                                     std::shared_ptr<platform::WebSocketClient> sockets,
                                     std::shared_ptr<base::Settings> defaults)
    : main_(main),
      clock_(clock),
      sockets_(std::move(sockets)),
      defaults_(std::move(defaults)),
      generation_(base::makeUuidString()) {
    viewportProvider = [] { return ViewportMetrics{{0, 0, 1280, 800}, 2.0}; };
    displayAspectFitProvider = [settings = defaults_] {
        return settings->boolean(kDisplayAspectFitKey).value_or(false);
    };
    displayAspectScaleProvider = [settings = defaults_] {
        return settings->real(kDisplayAspectScaleKey).value_or(1.0);
    };
    displayFitRequestsAllowedProvider = [] { return true; };
    lowPowerModeProvider = [] { return false; };
    makeAssembler = [&main, &clock] { return std::make_shared<StreamAssembler>(main, clock); };
}

ConnectionManager::~ConnectionManager() {
    retryTask_.cancel();
    windowListTimeout_.cancel();
    for (auto* reader : {&controlReader_, &videoReader_}) {
        if (*reader) (*reader)->cancelled = true;
    }
    if (sendTail_) sendTail_->cancel();
    for (auto* channel : {&control_, &video_}) {
        if (*channel) (*channel)->cancel(kGoingAway, {});
    }
}

// ---------------------------------------------------------------------------------------------
// Published state

ConnectionManager::ObserverId ConnectionManager::observe(std::function<void()> onChange) {
    observers_.emplace(nextObserverId_, std::move(onChange));
    return nextObserverId_++;
}

ConnectionManager::ObserverId ConnectionManager::observeState(std::function<void(State)> onState) {
    onState(state_);
    stateObservers_.emplace(nextObserverId_, std::move(onState));
    return nextObserverId_++;
}

void ConnectionManager::removeObserver(ObserverId id) {
    observers_.erase(id);
    stateObservers_.erase(id);
}

void ConnectionManager::changed() {
    auto observers = observers_;  // an observer may remove itself
    for (const auto& [id, observer] : observers) observer();
}

void ConnectionManager::setState(State state) {
    if (state_ == state) return;
    state_ = state;
    auto observers = stateObservers_;
    for (const auto& [id, observer] : observers) observer(state);
    changed();
}

// ---------------------------------------------------------------------------------------------
// Derived values

ViewportMetrics ConnectionManager::viewport() const {
    return viewportProvider ? viewportProvider() : ViewportMetrics{{0, 0, 1280, 800}, 2.0};
}

protocol::Viewport ConnectionManager::pixelViewport() const {
    auto metrics = viewport();
    return {pixels(metrics.bounds.width, metrics.scale), pixels(metrics.bounds.height, metrics.scale)};
}

bool ConnectionManager::welcomedOrController() const { return welcomed_ || state_ == State::controller; }

bool ConnectionManager::inputAllowed() const { return !viewOnly_ && welcomedOrController(); }

bool ConnectionManager::fitRequestsAllowed() const {
    return !displayFitRequestsAllowedProvider || displayFitRequestsAllowedProvider();
}

std::optional<ConnectionManager::Generation> ConnectionManager::keyboardInputGeneration() const {
    if (!inputAllowed() || !control_) return std::nullopt;
    return generation_;
}

bool ConnectionManager::canSendUnlock() const {
    auto url = base::Url::parse(baseURL_);
    if (!url || !url->host || url->host->empty()) return false;
    std::string host = lowercased(*url->host);
    std::string scheme = lowercased(url->scheme);
    if (scheme == "https") return true;
    if (scheme != "http") return false;
    return host == "127.0.0.1" || host == "::1" || host == "[::1]" || host == "localhost";
}

// ---------------------------------------------------------------------------------------------
// Connecting

void ConnectionManager::connect(const HostListStore::Entry& entry, std::string token, std::string deviceId,
                                bool separateCursor) {
    hostEntryId_ = entry.id;
    publish(baseURL_, entry.baseURL);
    deviceToken_ = std::move(token);
    deviceId_ = std::move(deviceId);
    requestsSeparateCursor_ =
        separateCursor && entry.kind == HostListStore::Kind::windows && clientKind == kClientKindDesktop;
    hasWelcomed_ = false;
    wantsConnection_ = true;
    retryAttempt_ = 0;
    startConnection(false);
}

void ConnectionManager::connect() {
    requestsSeparateCursor_ = false;
    hasWelcomed_ = false;
    wantsConnection_ = true;
    retryAttempt_ = 0;
    startConnection(false);
}

void ConnectionManager::reconnect() {
    wantsConnection_ = true;
    retryAttempt_ = 0;
    startConnection(true);
}

void ConnectionManager::disconnect() {
    wantsConnection_ = false;
    takeoverOnBusy_ = false;
    tearDown(true);
    publish(lastError_, std::optional<std::string>());
    setState(State::disconnected);
}

std::optional<std::string> ConnectionManager::endpoint(std::string_view name) const {
    auto url = base::Url::parse(base::trimWhitespace(baseURL_));
    if (!url) return std::nullopt;
    std::string scheme = lowercased(url->scheme);
    if (scheme != "http" && scheme != "https") return std::nullopt;
    if (!url->host || url->host->empty()) return std::nullopt;
    if (url->user || url->password || url->query || url->fragment) return std::nullopt;
    if (!url->path.empty() && url->path != "/") return std::nullopt;
    url->scheme = scheme == "https" ? "wss" : "ws";
    url->path = "/v2/" + std::string(name);
    return url->text();
}

void ConnectionManager::startConnection(bool isRetry) {
    tearDown(true);
    if (!wantsConnection_) return;
    publish(lastError_, std::optional<std::string>());
    publish(inputNotice_, std::optional<std::string>());
    setState(isRetry ? State::recovering : State::connecting);
    if (deviceToken_.empty() || deviceId_.empty()) {
        wantsConnection_ = false;
        publish(lastError_, std::optional<std::string>(kCredentialsMissingMessage));
        setState(State::authFailed);
        return;
    }
    auto controlURL = endpoint("control");
    auto videoURL = endpoint("video");
    if (!controlURL || !videoURL) {
        wantsConnection_ = false;
        publish(lastError_, std::optional<std::string>(kBadBaseURLMessage));
        setState(State::disconnected);
        return;
    }
    Generation generation = generation_;
    platform::WebSocketOptions options;
    options.maxMessageBytes = kMaxMessageBytes;
    control_ = sockets_->open(*controlURL, options, main_);
    video_ = sockets_->open(*videoURL, options, main_);

    if (makeAssembler) {
        if (auto assembler = makeAssembler()) {
            wireAssembler(assembler, generation);
            publish(assembler_, std::move(assembler));
        }
    }

    protocol::DeviceCaps caps{{"h264"},
                              kMaxFps,
                              lowPowerModeProvider && lowPowerModeProvider(),
                              clientKind,
                              requestsSeparateCursor_ ? std::optional<bool>(true) : std::nullopt};
    protocol::Hello hello{deviceToken_, deviceId_, idiom, pixelViewport(), std::move(caps)};
    lastViewportSent_ = hello.viewport;
    enqueueControl(std::move(hello), generation);
    startControlReader(generation);
}

void ConnectionManager::wireAssembler(const std::shared_ptr<MediaAssembler>& assembler, const Generation& generation) {
    std::weak_ptr<ConnectionManager> weak = weak_from_this();
    assembler->onFrame = [weak, generation](std::shared_ptr<const VideoSample> sample, protocol::Ack ack) {
        if (auto self = weak.lock()) self->frameAssembled(std::move(sample), ack, generation);
    };
    assembler->onNeedFlush = [weak, generation] {
        auto self = weak.lock();
        if (self && self->generation_ == generation) self->flushVideoDisplay();
    };
    assembler->onNeedKeyframe = [weak, generation] {
        auto self = weak.lock();
        if (!self || self->generation_ != generation) return;
        self->setState(self->hostLocked_ ? State::locked : State::recovering);
        if (self->welcomed_) self->enqueueControl(protocol::RequestKeyframe{}, generation);
    };
    assembler->onConfig = [weak, generation](int width, int height) {
        auto self = weak.lock();
        if (!self || self->generation_ != generation) return;
        if (self->requestsSeparateCursor_ && self->assembler_) {
            if (auto streamGeneration = self->assembler_->currentGeneration()) {
                self->separateCursor_.configure(*streamGeneration);
                self->publishCursorShape();
            }
        }
        self->publish(self->streamSize_, StreamSize{static_cast<double>(width), static_cast<double>(height)});
    };
}

// A frame counts (state, sync, acknowledgement, onFrame) only once the display took it.
void ConnectionManager::frameAssembled(std::shared_ptr<const VideoSample> sample, protocol::Ack ack,
                                       const Generation& generation) {
    if (generation_ != generation || !welcomed_) return;
    if (auto display = videoDisplay_.lock()) {
        const base::Micros delay{static_cast<std::int64_t>(audio ? audio->effectiveVideoDelayMillis() : 0) * 1000};
        if (!display->display(sample, delay) || generation_ != generation) return;
    }
    retryAttempt_ = 0;
    setState(hostLocked_ ? State::locked : State::connected);
    if (audio) audio->noteVideoDelivered(sample->hostPtsMicros);
    if (onFrame) onFrame(std::move(sample));
    enqueueControl(ack, generation);
}

void ConnectionManager::flushVideoDisplay() {
    if (auto display = videoDisplay_.lock()) display->flush();
}

void ConnectionManager::bindVideoDisplay(std::weak_ptr<VideoDisplay> display) { videoDisplay_ = std::move(display); }

void ConnectionManager::unbindVideoDisplay() { videoDisplay_.reset(); }

bool ConnectionManager::videoDisplayFailed() { return assembler_ && assembler_->notifyRendererFailed(); }

// ---------------------------------------------------------------------------------------------
// Read loops

void ConnectionManager::startControlReader(const Generation& generation) {
    auto reader = std::make_shared<Reader>(control_);
    controlReader_ = reader;
    reader->receive([weak = weak_from_this(), generation, reader](auto result) {
        if (reader->cancelled) return;
        if (auto self = weak.lock()) self->controlReceived(std::move(result), generation, reader);
    });
}

void ConnectionManager::controlReceived(std::expected<platform::WebSocketMessage, platform::WebSocketError> result,
                                        const Generation& generation, const std::shared_ptr<Reader>& reader) {
    if (!result) {
        auto live = reader->channel.lock();
        auto code = live ? live->closeCode() : std::nullopt;
        if (!code) code = result.error().closeCode;
        if (code == protocol::rawValue(protocol::CloseCode::notBroadcasting)) {
            handleServerError(*code, std::string(protocol::kNotBroadcastingMessage), generation);
        } else {
            transportFailed(platform::describe(result.error()), generation);
        }
        return;
    }
    if (generation_ != generation) return;
    handleControl(*result, generation,
                  [weak = weak_from_this(), generation, reader](std::optional<std::string> failure) {
                      auto self = weak.lock();
                      if (!self || reader->cancelled) return;
                      if (failure) return self->transportFailed(*failure, generation);
                      reader->receive([weak, generation, reader](auto next) {
                          if (reader->cancelled) return;
                          if (auto manager = weak.lock()) manager->controlReceived(std::move(next), generation, reader);
                      });
                  });
}

void ConnectionManager::startVideoReader(const Generation& generation) {
    auto reader = std::make_shared<Reader>(video_);
    videoReader_ = reader;
    reader->receive([weak = weak_from_this(), generation, reader](auto result) {
        if (reader->cancelled) return;
        if (auto self = weak.lock()) self->videoReceived(std::move(result), generation, reader);
    });
}

void ConnectionManager::videoReceived(std::expected<platform::WebSocketMessage, platform::WebSocketError> result,
                                      const Generation& generation, const std::shared_ptr<Reader>& reader) {
    if (!result) return transportFailed(platform::describe(result.error()), generation);
    if (generation_ != generation) return;
    auto* binary = std::get_if<platform::WebSocketBinary>(&*result);
    if (!binary) return transportFailed(std::string(describe(ConnectionError::invalidVideoMessage)), generation);
    constexpr std::uint8_t kAudioType = 2;
    if (binary->data.size() > 1 && binary->data[1] == kAudioType) {
        if (audio) audio->receive(std::move(binary->data));
    } else if (assembler_) {
        assembler_->receive(std::move(binary->data));
    }
    if (reader->cancelled) return;
    reader->receive([weak = weak_from_this(), generation, reader](auto next) {
        if (reader->cancelled) return;
        if (auto self = weak.lock()) self->videoReceived(std::move(next), generation, reader);
    });
}

// ---------------------------------------------------------------------------------------------
// Teardown, server errors, failures

void ConnectionManager::tearDown(bool releaseBeforeClose) {
    if (releaseBeforeClose) {
        releaseHeldKeys();
    } else if (takeHeldKeyNames) {
        takeHeldKeyNames();
    }
    Generation oldGeneration = generation_;
    std::optional<std::string> cancelText;
    bool drains = false;
    if (releaseBeforeClose) {
        if (inputAllowed()) {
            protocol::PointerInput cancel;
            cancel.seq = nextInputSeq();
            cancel.action = "cancel";
            if (auto text = ControlMessage(std::move(cancel)).jsonString()) cancelText = std::move(*text);
        }
        if (usedKeyPhases_ && control_) {
            drainingKeySessions_.insert(oldGeneration);
            drains = true;
        }
    }
    usedKeyPhases_ = false;
    auto oldTail = sendTail_;
    generation_ = base::makeUuidString();

    separateCursor_ = {};
    publishCursorShape();
    publish(cursor_, std::optional<protocol::CursorPosition>());
    publish(hostName_, std::optional<std::string>());
    publish(viewOnly_, false);
    welcomed_ = false;
    hostLocked_ = false;
    publish(lockMessage_, std::optional<std::string>());
    publish(windowFitActive_, false);
    publish(windowAppName_, std::optional<std::string>());

    windowListTimeout_.cancel();
    windowListTimeout_ = {};
    publish(windowListState_, WindowListState::loaded);
    publish(windowList_, std::vector<protocol::WindowListEntry>());
    publish(appList_, std::vector<protocol::AppListEntry>());
    publish(appListIcons_, protocol::AppIcons());
    publish(windowAppIcons_, protocol::AppIcons());
    lastDisplayAspectFitSent_.reset();

    retryTask_.cancel();
    retryTask_ = {};
    for (auto* reader : {&controlReader_, &videoReader_}) {
        if (*reader) (*reader)->cancelled = true;
        reader->reset();
    }
    if (!drains && oldTail) oldTail->cancel();
    sendTail_.reset();

    if (assembler_) {
        assembler_->onFrame = nullptr;
        assembler_->onNeedKeyframe = nullptr;
        assembler_->onNeedFlush = nullptr;
        assembler_->onConfig = nullptr;
        assembler_->flush();
        flushVideoDisplay();
        publish(assembler_, std::shared_ptr<MediaAssembler>());
    }
    if (audio) audio->end();

    auto oldControl = std::move(control_);
    auto oldVideo = std::move(video_);
    control_.reset();
    video_.reset();
    if (!oldControl) return;
    if (cancelText || drains) {
        drainThenClose(main_, oldTail, std::move(cancelText), std::move(oldControl), std::move(oldVideo),
                       kDrainWatchdog, [weak = weak_from_this(), oldGeneration] {
                           if (auto self = weak.lock()) self->drainingKeySessions_.erase(oldGeneration);
                       });
        return;
    }
    oldControl->cancel(kGoingAway, {});
    if (oldVideo) oldVideo->cancel(kGoingAway, {});
}

void ConnectionManager::handleServerError(std::int64_t code, const std::string& message, const Generation& generation) {
    if (generation != generation_ || !wantsConnection_) return;
    std::optional<State> terminal;
    switch (code) {
        case 4003:
            terminal = State::authFailed;
            break;
        case 4004:
            terminal = State::busy;
            break;
        case 4005:
            terminal = State::revoked;
            break;
        case 4006:
            terminal = State::disconnected;
            break;
        default:
            break;
    }
    if (!terminal) return transportFailed(message, generation);
    wantsConnection_ = false;
    tearDown(false);
    publish(lastError_, std::optional<std::string>(message));
    setState(*terminal);
}

void ConnectionManager::transportFailed(const std::string& description, const Generation& generation) {
    if (generation != generation_ || !wantsConnection_) return;
    constexpr int kAttemptsBeforeGivingUp = 2;
    if (!hasWelcomed_ && retryAttempt_ > kAttemptsBeforeGivingUp) {
        wantsConnection_ = false;
        tearDown(false);
        publish(lastError_, std::optional<std::string>(kGiveUpMessage));
        setState(State::disconnected);
        return;
    }
    tearDown(false);
    publish(lastError_, std::optional<std::string>(description));
    setState(State::recovering);
    auto delay = retryDelay(retryAttempt_);
    ++retryAttempt_;
    retryTask_ = main_.asyncAfter(delay, [weak = weak_from_this(), retryGeneration = generation_] {
        auto self = weak.lock();
        if (!self || !self->wantsConnection_ || self->generation_ != retryGeneration) return;
        self->startConnection(true);
    });
}

}  // namespace orvanta::client
