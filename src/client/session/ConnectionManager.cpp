#include "client/session/ConnectionManager.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <deque>
#include <limits>

#include "base/Base64.h"
#include "base/Url.h"
#include "base/Uuid.h"
#include "client/session/StreamAssembler.h"
#include "protocol/CloseCodes.h"

namespace orvanta::client {
namespace {

using protocol::ControlMessage;
using State = ConnectionManager::State;

constexpr std::uint16_t kGoingAway = 1001;
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

std::string failureText(const protocol::ControlMessageDecodeError& error) { return protocol::describe(error); }

}  // namespace

// The ordered control send chain of one attempt: one write in flight, each message checked against
// the generations still allowed out when its turn comes.
struct ConnectionManager::SendChain {
    explicit SendChain(std::shared_ptr<platform::WebSocketChannel> socket) : channel(std::move(socket)) {}

    std::shared_ptr<platform::WebSocketChannel> channel;
    std::deque<std::pair<ControlMessage, Generation>> queue;
    bool scheduled = false;
    bool busy = false;
    bool cancelled = false;
    std::vector<std::function<void()>> idleWaiters;

    bool idle() const { return !scheduled && !busy && queue.empty(); }
};

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
    if (sendTail_) sendTail_->cancelled = true;
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

template <class T>
void ConnectionManager::publish(T& field, T value) {
    if (field == value) return;
    field = std::move(value);
    changed();
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
// Ordered sending

void ConnectionManager::enqueueControl(ControlMessage message, const Generation& generation) {
    if (generation != generation_ || !control_) return;
    if (!sendTail_) sendTail_ = std::make_shared<SendChain>(control_);
    auto chain = sendTail_;
    chain->queue.emplace_back(std::move(message), generation);
    if (chain->scheduled || chain->busy) return;
    chain->scheduled = true;
    main_.async([weak = weak_from_this(), chain] {
        chain->scheduled = false;
        ConnectionManager::pump(weak, chain);
    });
}

void ConnectionManager::pump(const std::weak_ptr<ConnectionManager>& weak, const std::shared_ptr<SendChain>& chain) {
    while (!chain->busy && !chain->queue.empty()) {
        auto [message, generation] = std::move(chain->queue.front());
        chain->queue.pop_front();
        auto self = weak.lock();
        if (chain->cancelled || !self) continue;
        if (generation != self->generation_ && !self->drainingKeySessions_.contains(generation)) continue;
        auto text = message.jsonString();
        if (!text) {
            self->transportFailed("cannot encode " + std::string(message.typeName()), generation);
            continue;
        }
        chain->busy = true;
        chain->channel->send(platform::WebSocketText{std::move(*text)}, [weak, chain, generation](auto result) {
            chain->busy = false;
            if (!result) {
                if (auto manager = weak.lock())
                    manager->transportFailed(platform::describe(result.error()), generation);
            }
            pump(weak, chain);
        });
    }
    if (!chain->idle()) return;
    auto waiters = std::move(chain->idleWaiters);
    chain->idleWaiters.clear();
    for (auto& waiter : waiters) waiter();
}

// ---------------------------------------------------------------------------------------------
// Inbound control messages

void ConnectionManager::handleControl(const platform::WebSocketMessage& message, const Generation& generation,
                                      Done done) {
    const auto* text = std::get_if<platform::WebSocketText>(&message);
    if (!text) return done(std::string(describe(ConnectionError::invalidControlMessage)));
    auto decoded = ControlMessage::decode(text->text);
    if (!decoded) {
        if (const auto* envelope = decoded.error().as<protocol::ControlMessageError>();
            envelope && envelope->as<protocol::ControlMessageError::unknownType>()) {
            return done(std::nullopt);
        }
        return done(failureText(decoded.error()));
    }
    const auto& payload = decoded->payload;
    if (const auto* welcome = std::get_if<protocol::Welcome>(&payload)) {
        return handleWelcome(*welcome, generation, std::move(done));
    }
    if (const auto* ping = std::get_if<protocol::Ping>(&payload)) {
        enqueueControl(protocol::Pong{ping->id, ping->t, clock_.uptimeMicros()}, generation);
    } else if (const auto* notice = std::get_if<protocol::Notice>(&payload)) {
        handleNotice(*notice, generation);
    } else if (const auto* error = std::get_if<protocol::ErrorMessage>(&payload)) {
        handleServerError(error->code, error->message, generation);
    } else if (const auto* cursor = std::get_if<protocol::CursorPosition>(&payload)) {
        handleCursor(*cursor);
    } else if (const auto* windowState = std::get_if<protocol::WindowState>(&payload)) {
        publish(windowFitActive_, windowState->active);
        publish(windowAppName_, windowState->active ? windowState->appName : std::nullopt);
    } else if (const auto* windowList = std::get_if<protocol::WindowList>(&payload)) {
        receiveWindowList(*windowList);
    } else if (const auto* appList = std::get_if<protocol::AppList>(&payload)) {
        publish(appListIcons_, appList->appIcons.value_or(protocol::AppIcons{}));
        publish(appList_, appList->entries);
    } else if (std::holds_alternative<protocol::Busy>(payload)) {
        handleBusy(generation);
    } else if (std::holds_alternative<protocol::ControllerJoined>(payload)) {
        handleControllerJoined(generation);
    }
    done(std::nullopt);
}

void ConnectionManager::handleWelcome(const protocol::Welcome& welcome, const Generation& generation, Done done) {
    if (welcomed_ || !video_) return done(std::string(describe(ConnectionError::unexpectedWelcome)));
    takeoverOnBusy_ = false;
    auto auth = ControlMessage(protocol::Auth{welcome.videoTicket}).jsonString();
    if (!auth) return done("cannot encode auth");
    video_->send(platform::WebSocketText{std::move(*auth)},
                 [weak = weak_from_this(), welcome, generation, done = std::move(done)](auto result) {
                     auto self = weak.lock();
                     if (!self) return;
                     if (!result) return done(platform::describe(result.error()));
                     if (self->generation_ == generation) self->welcomeAuthSent(welcome, generation);
                     done(std::nullopt);
                 });
}

void ConnectionManager::welcomeAuthSent(const protocol::Welcome& welcome, const Generation& generation) {
    publish(hostName_, welcome.hostName);
    publish(viewOnly_, welcome.viewOnly.value_or(false));
    welcomed_ = true;
    releaseHeldKeys();
    if (inputAllowed()) queuePointerCancel();
    hasWelcomed_ = true;
    setState(hostLocked_ ? State::locked : State::connected);
    if (hostStore) hostStore->setLastRole("main", hostEntryId_);
    sendDisplayAspectFit(displayAspectFitProvider ? displayAspectFitProvider() : false, true);
    if (audio) {
        audio->startIfOffered(welcome.audio, [weak = weak_from_this(), generation](ControlMessage message) {
            if (auto self = weak.lock()) self->enqueueControl(std::move(message), generation);
        });
    }
    startVideoReader(generation);
    if (onSessionEstablished) onSessionEstablished();
}

void ConnectionManager::handleNotice(const protocol::Notice& notice, const Generation& generation) {
    using protocol::NoticeKind;
    if (notice.kind == NoticeKind::locked) {
        releaseHeldKeys();
        hostLocked_ = true;
        publish(lockMessage_, notice.message);
        setState(State::locked);
    } else if (notice.kind == NoticeKind::unlocked) {
        hostLocked_ = false;
        publish(lockMessage_, std::optional<std::string>());
        setState(welcomed_ ? State::connected : State::connecting);
        if (welcomed_) sendDisplayAspectFit(displayAspectFitProvider ? displayAspectFitProvider() : false, true);
    } else if (notice.kind == NoticeKind::takenOver) {
        wantsConnection_ = false;
        tearDown(false);
        setState(State::takenOver);
    } else if (notice.kind == NoticeKind::viewOnly) {
        releaseHeldKeys();
        if (inputAllowed()) queuePointerCancel();
        publish(viewOnly_, true);
    } else if (notice.kind == NoticeKind::appLaunchFailed) {
        publish(inputNotice_, notice.message);
    } else if (notice.kind == NoticeKind::accessibilityNeeded) {
        publish(inputNotice_, std::optional<std::string>(kAccessibilityNeededMessage));
    }
    (void)generation;
}

void ConnectionManager::handleBusy(const Generation& generation) {
    setState(State::busy);
    hasWelcomed_ = true;
    if (takeoverOnBusy_) {
        takeoverOnBusy_ = false;
        if (state_ == State::busy) enqueueControl(protocol::TakeOver{}, generation);
        return;
    }
    if (hostStore && hostStore->lastRole(hostEntryId_) == "controller") joinAsController();
}

void ConnectionManager::handleControllerJoined(const Generation&) {
    if (!viewOnly_) queuePointerCancel();
    setState(State::controller);
    hasWelcomed_ = true;
    if (hostStore) hostStore->setLastRole("controller", hostEntryId_);
    if (onSessionEstablished) onSessionEstablished();
}

void ConnectionManager::handleCursor(const protocol::CursorPosition& cursor) {
    publish(cursor_, std::optional<protocol::CursorPosition>(cursor));
    if (!requestsSeparateCursor_ || !welcomed_) return;
    separateCursor_.receive(cursor);
    publishCursorShape();
}

void ConnectionManager::publishCursorShape() {
    std::optional<protocol::CursorPosition::Shape> shape;
    if (separateCursor_.current && separateCursor_.current->visible) shape = separateCursor_.current->shape;
    publish(visibleCursorShape_, std::move(shape));
}

void ConnectionManager::queuePointerCancel() {
    protocol::PointerInput cancel;
    cancel.seq = nextInputSeq();
    cancel.action = "cancel";
    enqueueControl(std::move(cancel), generation_);
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
    if (!drains && oldTail) oldTail->cancelled = true;
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
        startDrain(std::move(oldTail), std::move(cancelText), oldGeneration, std::move(oldControl),
                   std::move(oldVideo));
        return;
    }
    oldControl->cancel(kGoingAway, {});
    if (oldVideo) oldVideo->cancel(kGoingAway, {});
}

void ConnectionManager::startDrain(std::shared_ptr<SendChain> oldTail, std::optional<std::string> cancelText,
                                   const Generation& oldGeneration,
                                   std::shared_ptr<platform::WebSocketChannel> oldControl,
                                   std::shared_ptr<platform::WebSocketChannel> oldVideo) {
    std::weak_ptr<ConnectionManager> weak = weak_from_this();
    auto closeOld = [oldControl, oldVideo] {
        oldControl->cancel(kGoingAway, {});
        if (oldVideo) oldVideo->cancel(kGoingAway, {});
    };
    auto watchdog = main_.asyncAfter(kDrainWatchdog, [weak, oldGeneration, closeOld] {
        if (auto self = weak.lock()) self->drainingKeySessions_.erase(oldGeneration);
        closeOld();
    });
    auto finish = [weak, oldGeneration, closeOld, watchdog] {
        if (auto self = weak.lock()) self->drainingKeySessions_.erase(oldGeneration);
        watchdog.cancel();
        closeOld();
    };
    auto afterTail = [oldControl, cancelText = std::move(cancelText), finish] {
        if (!cancelText) return finish();
        oldControl->send(platform::WebSocketText{*cancelText}, [finish](auto) { finish(); });
    };
    if (oldTail && !oldTail->idle()) {
        oldTail->idleWaiters.push_back(std::move(afterTail));
    } else {
        main_.async(std::move(afterTail));
    }
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

// ---------------------------------------------------------------------------------------------
// Outbound requests and input

std::uint32_t ConnectionManager::followingInputSeq(std::uint32_t last) {
    auto next = static_cast<std::uint32_t>(last + 1);
    return next <= 1 ? 1 : next;
}

std::uint32_t ConnectionManager::nextInputSeq() {
    inputSeq_ = followingInputSeq(inputSeq_);
    return inputSeq_;
}

void ConnectionManager::sendRequestKeyframe() {
    if (welcomed_) enqueueControl(protocol::RequestKeyframe{}, generation_);
}

void ConnectionManager::sendPointer(std::string action, std::optional<double> x, std::optional<double> y,
                                    std::optional<double> dx, std::optional<double> dy,
                                    std::optional<std::int64_t> clickState) {
    if (!inputAllowed()) return;
    protocol::PointerInput pointer;
    pointer.seq = nextInputSeq();
    pointer.action = std::move(action);
    pointer.x = x;
    pointer.y = y;
    pointer.dx = dx;
    pointer.dy = dy;
    pointer.clickState = clickState;
    enqueueControl(std::move(pointer), generation_);
}

void ConnectionManager::sendKey(std::string name, bool command, bool control, bool option, bool shift,
                                std::optional<protocol::KeyInput::Phase> phase) {
    if (!inputAllowed()) return;
    if (phase) usedKeyPhases_ = true;
    enqueueControl(protocol::KeyInput{nextInputSeq(), std::move(name), command, control, option, shift, phase},
                   generation_);
}

bool ConnectionManager::sendText(std::string text) {
    if (!inputAllowed() || !control_ || text.empty()) return false;
    enqueueControl(protocol::TextInput{nextInputSeq(), std::move(text)}, generation_);
    return true;
}

void ConnectionManager::releaseHeldKeys() {
    if (!takeHeldKeyNames) return;
    for (auto& name : takeHeldKeyNames()) {
        if (!inputAllowed()) continue;
        usedKeyPhases_ = true;
        enqueueControl(protocol::KeyInput{nextInputSeq(), std::move(name), false, false, false, false,
                                          protocol::KeyInput::Phase::up},
                       generation_);
    }
}

void ConnectionManager::releaseInput() {
    releaseHeldKeys();
    if (inputAllowed()) queuePointerCancel();
}

bool ConnectionManager::sendUnlock(std::string password) {
    if (!canSendUnlock() || !welcomed_ || state_ != State::locked) return false;
    if (!protocol::UnlockRequest::isAcceptable(password)) return false;
    publish(lockMessage_, std::optional<std::string>());
    enqueueControl(protocol::UnlockRequest{std::move(password)}, generation_);
    return true;
}

void ConnectionManager::takeOver() {
    if (state_ == State::busy) enqueueControl(protocol::TakeOver{}, generation_);
}

void ConnectionManager::joinAsController() {
    if (state_ == State::busy && !viewOnly_) enqueueControl(protocol::JoinController{}, generation_);
}

void ConnectionManager::promoteToMain() {
    if (state_ != State::controller) return;
    takeoverOnBusy_ = true;
    wantsConnection_ = true;
    startConnection(false);
}

// The host measures the fitted window against the pixel viewport it gets everywhere else; a size
// in points would fit the window at a fraction of the view on a high-density screen.
void ConnectionManager::setWindowFit(bool on) {
    if (!welcomedOrController() || !fitRequestsAllowed()) return;
    if (!on) return enqueueControl(protocol::UnfitWindow{}, generation_);
    auto size = pixelViewport();
    enqueueControl(protocol::FitWindowRequest{size.width, size.height}, generation_);
}

void ConnectionManager::fitWindow(const protocol::WindowListEntry& entry) {
    if (!welcomedOrController() || !fitRequestsAllowed()) return;
    auto size = pixelViewport();
    enqueueControl(protocol::FitWindowTarget{entry.windowId, size.width, size.height}, generation_);
}

void ConnectionManager::setDisplayAspectFit(bool active) {
    if (welcomed_) sendDisplayAspectFit(active, false);
}

void ConnectionManager::displayAspectScaleDidChange() {
    if (welcomed_) sendDisplayAspectFit(displayAspectFitProvider ? displayAspectFitProvider() : false, false);
}

void ConnectionManager::sendDisplayAspectFit(bool active, bool force) {
    if (viewOnly_ || !fitRequestsAllowed()) return;
    auto size = pixelViewport();
    double scale = clampedDisplayAspectScale(displayAspectScaleProvider ? displayAspectScaleProvider() : 1.0);
    protocol::DisplayAspectFitRequest request{active, size.width, size.height, scale};
    if (!force && lastDisplayAspectFitSent_ == request) return;
    lastDisplayAspectFitSent_ = request;
    if (!hostLocked_) lastViewportSent_ = size;
    enqueueControl(request, generation_);
}

void ConnectionManager::viewportDidChange() {
    if (!welcomed_) return;
    if (displayAspectFitProvider && displayAspectFitProvider()) return sendDisplayAspectFit(true, false);
    sendViewportUpdate(false);
}

void ConnectionManager::sendViewportUpdate(bool force) {
    if (!welcomed_) return;
    auto metrics = viewport();
    if (!(metrics.bounds.width > 0) || !(metrics.bounds.height > 0)) return;
    auto size = pixelViewport();
    if (!force && lastViewportSent_ == size) return;
    lastViewportSent_ = size;
    enqueueControl(protocol::ViewportUpdate{size.width, size.height}, generation_);
}

void ConnectionManager::sendClipboardText(std::string text) {
    if (viewOnly_ || !welcomedOrController() || text.size() > protocol::ClipboardText::maxBytes) return;
    enqueueControl(protocol::ClipboardText{std::move(text)}, generation_);
}

void ConnectionManager::sendClipboardImage(base::ByteView png) {
    if (viewOnly_ || !welcomedOrController()) return;
    if (png.empty() || png.size() > protocol::ClipboardImage::maxBytes) return;
    enqueueControl(protocol::ClipboardImage{base::base64Encode(png)}, generation_);
}

void ConnectionManager::requestWindowList() {
    if (!welcomedOrController()) return;
    beginWindowListRequest(kWindowListTimeout);
    publish(appList_, std::vector<protocol::AppListEntry>());
    enqueueControl(protocol::WindowListRequest{}, generation_);
    enqueueControl(protocol::AppListRequest{}, generation_);
}

void ConnectionManager::beginWindowListRequest(base::Micros timeout) {
    windowListTimeout_.cancel();
    publish(windowList_, std::vector<protocol::WindowListEntry>());
    publish(windowListState_, WindowListState::loading);
    windowListTimeout_ = main_.asyncAfter(timeout, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->publish(self->windowListState_, WindowListState::failed);
    });
}

void ConnectionManager::receiveWindowList(protocol::WindowList list) {
    windowListTimeout_.cancel();
    windowListTimeout_ = {};
    publish(windowList_, std::move(list.entries));
    if (list.appIcons) publish(windowAppIcons_, std::move(*list.appIcons));
    publish(windowListState_, WindowListState::loaded);
}

bool ConnectionManager::launchApp(const protocol::AppListEntry& entry) {
    if (!welcomedOrController() || !fitRequestsAllowed() || entry.running) return false;
    if (std::ranges::find(appList_, entry) == appList_.end()) return false;
    publish(inputNotice_, std::optional<std::string>());
    enqueueControl(protocol::LaunchAppRequest{entry.bundleId}, generation_);
    return true;
}

void ConnectionManager::reportDecodeError() {
    if (!welcomed_) return;
    setState(State::decodeError);
    if (assembler_) assembler_->flush();
    if (!welcomed_) return;
    enqueueControl(protocol::RequestKeyframe{}, generation_);
}

}  // namespace orvanta::client
