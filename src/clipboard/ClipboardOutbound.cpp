#include "clipboard/ClipboardOutbound.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <deque>
#include <utility>

#include "base/Json.h"
#include "base/Url.h"
#include "base/Uuid.h"
#include "client/directory/SelfConnectionGuard.h"

namespace orvanta::clipboard {

namespace {

std::string lowered(std::string_view text) {
    std::string out(text);
    std::ranges::transform(out, out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool isEligibleIPv4(const std::string& host) {
    std::array<std::uint8_t, 4> bytes{};
    if (inet_pton(AF_INET, host.c_str(), bytes.data()) != 1) return false;
    return bytes[0] == 127 || (bytes[0] == 100 && bytes[1] >= 64 && bytes[1] <= 127);
}

// The IPv6 loopback, or the Tailscale range fd7a:115c:a1e0::/48.
bool isEligibleIPv6(const std::string& host) {
    std::array<std::uint8_t, 16> bytes{};
    if (inet_pton(AF_INET6, host.c_str(), bytes.data()) != 1) return false;
    constexpr std::array<std::uint8_t, 16> loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    constexpr std::array<std::uint8_t, 6> tailscale{0xFD, 0x7A, 0x11, 0x5C, 0xA1, 0xE0};
    return bytes == loopback || std::equal(tailscale.begin(), tailscale.end(), bytes.begin());
}

bool isEligibleHost(const std::string& host, bool https) {
    if (isEligibleIPv4(host) || isEligibleIPv6(host)) return true;
    std::string_view name = host;
    if (name.ends_with('.')) name.remove_suffix(1);
    if (name == "localhost") return true;
    const auto suffix = ClipboardOutbound::kTailscaleDnsSuffix;
    return https && host.size() > suffix.size() && host.ends_with(suffix);
}

bool isSelf(const client::HostListStore::Entry& entry) {
    return client::SelfConnectionGuard::isSelfConnection(entry.hostId, client::LocalHostIdentity::hostId());
}

}  // namespace

// ---- One worker: probe, channel, wait, again.

struct ClipboardOutbound::Worker {
    client::HostListStore::Entry entry;  // as it was when the worker started
    ClipboardEndpoints urls;
    base::Micros backoff = kFirstBackoff;
    bool cancelled = false;
    base::TaskHandle wait;
    platform::HttpRequestHandle probe;
    std::shared_ptr<Run> run;

    void cancel();
};

// ---- One channel run: hello, welcome, then packets both ways until the channel ends.

struct ClipboardOutbound::Run : std::enable_shared_from_this<Run> {
    Run(base::Executor& executor, ClipboardSync& sync, std::function<void(bool)> finished)
        : main(executor), hub(sync), done(std::move(finished)) {}

    base::Executor& main;
    ClipboardSync& hub;
    std::function<void(bool)> done;  // once, with `established`

    std::shared_ptr<platform::WebSocketChannel> channel;
    const std::string peerId = base::makeUuidString();
    bool established = false;
    bool cancelled = false;
    bool ended = false;
    base::TaskHandle handshakeTimer;
    base::TaskHandle keepAlive;
    base::TaskHandle watchdog;
    std::deque<std::string> waiting;
    bool sending = false;
    bool queueFinished = false;

    void start(platform::WebSocketClient& sockets, const std::string& url, const std::string& hello);
    void close() {
        if (channel) channel->cancel(kCloseGoingAway, "");
    }
    void cancel() {
        cancelled = true;
        close();
    }
    void welcomed(const std::expected<Packet, ClipboardReadError>& reply);
    void enqueue(const Packet& packet);
    void pump();
    void readNext();
    void scheduleKeepAlive();
    void sendPing();
    void stopSending();
    void end();
};

void ClipboardOutbound::Worker::cancel() {
    cancelled = true;
    wait.cancel();
    probe.cancel();
    if (run) run->cancel();
}

void ClipboardOutbound::Run::start(platform::WebSocketClient& sockets, const std::string& url,
                                   const std::string& hello) {
    channel = sockets.open(url, {.maxMessageBytes = kMaxMessageBytes, .openTimeout = kHandshakeTimeout}, main);
    // The one limit on opening, the hello and the welcome: closing fails whatever is pending.
    handshakeTimer = main.asyncAfter(kHandshakeTimeout, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->close();
    });
    channel->send(platform::WebSocketText{hello}, [self = shared_from_this()](auto sent) {
        if (!sent) return self->end();
        self->channel->receive([self](const auto& received) { self->welcomed(read(received)); });
    });
}

void ClipboardOutbound::Run::welcomed(const std::expected<Packet, ClipboardReadError>& reply) {
    handshakeTimer.cancel();
    if (!reply || reply->value("type", Packet()) != "welcome" || reply->value("purpose", Packet()) != "clipboard" ||
        !hub.enabled() || cancelled) {
        return end();
    }
    established = true;
    scheduleKeepAlive();
    std::weak_ptr<Run> weak = weak_from_this();
    hub.attach(peerId, {[weak](const Packet& packet) {
                            if (auto self = weak.lock()) self->enqueue(packet);
                        },
                        [weak] {
                            if (auto self = weak.lock()) self->close();
                        }});
    if (cancelled) return end();
    readNext();
}

void ClipboardOutbound::Run::enqueue(const Packet& packet) {
    if (queueFinished) return;
    auto text = base::writeJsonText(packet, {.escapeSlashes = false});
    if (!text) return;
    // A receiver that falls behind loses the channel rather than growing the queue.
    if (waiting.size() >= kMaxWaitingTexts) return close();
    waiting.push_back(std::move(*text));
    pump();
}

void ClipboardOutbound::Run::pump() {
    if (sending || waiting.empty() || queueFinished) return;
    sending = true;
    auto text = std::move(waiting.front());
    waiting.pop_front();
    channel->send(platform::WebSocketText{std::move(text)}, [self = shared_from_this()](auto sent) {
        self->sending = false;
        if (!sent) return self->close();
        self->pump();
    });
}

void ClipboardOutbound::Run::readNext() {
    channel->receive([self = shared_from_this()](const auto& received) {
        auto packet = read(received);
        if (!packet || self->cancelled) return self->end();
        self->hub.receive(*packet, self->peerId);
        if (self->cancelled) return self->end();
        self->readNext();
    });
}

void ClipboardOutbound::Run::scheduleKeepAlive() {
    keepAlive = main.asyncAfter(kPingInterval, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->sendPing();
    });
}

void ClipboardOutbound::Run::sendPing() {
    if (ended) return;
    watchdog = main.asyncAfter(kPongTimeout, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->close();
    });
    channel->ping([weak = weak_from_this()](std::expected<void, platform::WebSocketError> pong) {
        auto self = weak.lock();
        if (!self || self->ended) return;
        self->watchdog.cancel();
        if (!pong) return self->close();
        self->scheduleKeepAlive();
    });
}

void ClipboardOutbound::Run::stopSending() {
    queueFinished = true;
    waiting.clear();
    keepAlive.cancel();
    watchdog.cancel();
}

void ClipboardOutbound::Run::end() {
    if (ended) return;
    ended = true;
    handshakeTimer.cancel();
    stopSending();
    hub.detach(peerId);
    close();
    if (auto finished = std::exchange(done, nullptr)) finished(established);
}

// ---- The dialer.

std::shared_ptr<ClipboardOutbound> ClipboardOutbound::create(base::Executor& main, client::HostListStore& hosts,
                                                             ClipboardSync& hub, platform::HttpClient& http,
                                                             platform::WebSocketClient& sockets,
                                                             std::function<std::string()> deviceID) {
    std::shared_ptr<ClipboardOutbound> dialer(
        new ClipboardOutbound(main, hosts, hub, http, sockets, std::move(deviceID)));
    dialer->subscribe();
    return dialer;
}

ClipboardOutbound::ClipboardOutbound(base::Executor& main, client::HostListStore& hosts, ClipboardSync& hub,
                                     platform::HttpClient& http, platform::WebSocketClient& sockets,
                                     std::function<std::string()> deviceID)
    : main_(main), hosts_(hosts), hub_(hub), http_(http), sockets_(sockets), deviceID_(std::move(deviceID)) {}

ClipboardOutbound::~ClipboardOutbound() {
    if (observation_) hosts_.removeObserver(*observation_);
    for (auto& [id, worker] : workers_) worker->cancel();
}

void ClipboardOutbound::subscribe() {
    std::weak_ptr<ClipboardOutbound> weak = weak_from_this();
    observation_ = hosts_.observe([weak] {
        if (auto self = weak.lock()) self->follow();
    });
    // Others may follow the switch as well; keep their callback running.
    hub_.onEnabledChanged = [weak, previous = std::move(hub_.onEnabledChanged)](bool on) {
        if (previous) previous(on);
        if (auto self = weak.lock()) self->follow();
    };
    follow();
}

void ClipboardOutbound::follow() {
    refresh(hub_.enabled() ? hosts_.entries() : std::vector<client::HostListStore::Entry>{});
}

void ClipboardOutbound::refresh(const std::vector<client::HostListStore::Entry>& entries) {
    std::erase_if(workers_, [&entries](auto& item) {
        const auto& worker = item.second;
        const bool kept = std::ranges::any_of(entries, [&](const client::HostListStore::Entry& entry) {
            return entry.id == item.first && entry.baseURL == worker->entry.baseURL &&
                   entry.hostId == worker->entry.hostId;
        });
        if (!kept) worker->cancel();
        return !kept;
    });
    for (const auto& entry : entries) {
        if (workers_.contains(entry.id) || isSelf(entry)) continue;
        if (auto urls = endpoints(entry.baseURL)) startWorker(entry, std::move(*urls));
    }
}

void ClipboardOutbound::startWorker(const client::HostListStore::Entry& entry, ClipboardEndpoints urls) {
    auto worker = std::make_shared<Worker>();
    worker->entry = entry;
    worker->urls = std::move(urls);
    workers_.emplace(entry.id, worker);
    main_.async([weak = weak_from_this(), worker] {
        if (auto self = weak.lock()) self->iterate(worker);
    });
}

void ClipboardOutbound::iterate(const std::shared_ptr<Worker>& worker) {
    if (worker->cancelled) return;
    // This machine's host side may publish its identifier after the worker started (at start-up
    // the directory is read first), so the guard is asked again before every attempt.
    if (isSelf(worker->entry)) return forget(worker);
    connect(worker);
}

void ClipboardOutbound::forget(const std::shared_ptr<Worker>& worker) {
    worker->cancel();
    if (auto found = workers_.find(worker->entry.id); found != workers_.end() && found->second == worker) {
        workers_.erase(found);
    }
}

void ClipboardOutbound::connect(const std::shared_ptr<Worker>& worker) {
    platform::HttpRequest request;
    request.url = worker->urls.probe;
    request.timeout = kProbeTimeout;
    request.maxResponseBodyBytes = kMaxProbeBodyBytes;
    worker->probe =
        http_.send(std::move(request), main_, [weak = weak_from_this(), worker](platform::HttpResult result) {
            if (auto self = weak.lock()) self->probed(worker, result);
        });
}

void ClipboardOutbound::probed(const std::shared_ptr<Worker>& worker, const platform::HttpResult& result) {
    worker->probe = {};
    if (worker->cancelled) return;
    if (!result || !advertised(result->body, result->status) || !hub_.enabled() || isSelf(worker->entry)) {
        return attemptEnded(worker, false);
    }
    auto token = hosts_.token(worker->entry);
    if (!token || !*token) return attemptEnded(worker, false);

    base::Json hello = {{"type", "hello"}, {"purpose", "clipboard"}, {"deviceId", deviceID_()}, {"token", **token}};
    auto helloText = base::writeJsonText(hello, {.escapeSlashes = false});
    if (!helloText) return attemptEnded(worker, false);
    std::weak_ptr<Worker> weakWorker = worker;
    worker->run = std::make_shared<Run>(main_, hub_, [weak = weak_from_this(), weakWorker](bool established) {
        auto self = weak.lock();
        auto owner = weakWorker.lock();
        if (!owner) return;
        owner->run.reset();
        if (self) self->attemptEnded(owner, established);
    });
    worker->run->start(sockets_, worker->urls.control, *helloText);
}

void ClipboardOutbound::attemptEnded(const std::shared_ptr<Worker>& worker, bool established) {
    if (worker->cancelled) return;
    const auto delay = established ? kAfterSessionWait : worker->backoff;
    worker->wait = main_.asyncAfter(delay, [weak = weak_from_this(), worker, established] {
        auto self = weak.lock();
        if (!self || worker->cancelled) return;
        worker->backoff = established ? kBackoffAfterSession : std::min(worker->backoff * 2, kMaxBackoff);
        self->iterate(worker);
    });
}

std::vector<std::string> ClipboardOutbound::workerIds() const {
    std::vector<std::string> ids;
    for (const auto& [id, worker] : workers_) ids.push_back(id);
    return ids;
}

// ---- Pure functions.

std::optional<ClipboardEndpoints> ClipboardOutbound::endpoints(std::string_view baseURL) {
    auto url = base::Url::parse(baseURL);
    if (!url) return std::nullopt;
    const auto scheme = lowered(url->scheme);
    if (scheme != "http" && scheme != "https") return std::nullopt;
    auto decoded = url->decodedHost();
    if (!decoded) return std::nullopt;
    std::string host = lowered(*decoded);
    const auto first = host.find_first_not_of("[]");
    const auto last = host.find_last_not_of("[]");
    host = first == std::string::npos ? std::string() : host.substr(first, last - first + 1);
    if (host.empty()) return std::nullopt;
    if (url->user || url->password || url->query || url->fragment) return std::nullopt;
    if (!url->path.empty() && url->path != "/") return std::nullopt;
    if (!isEligibleHost(host, scheme == "https")) return std::nullopt;

    base::Url probe = *url;
    probe.scheme = scheme;
    probe.path = kProbePath;
    base::Url control = *url;
    control.scheme = scheme == "https" ? "wss" : "ws";
    control.path = kControlPath;
    return ClipboardEndpoints{probe.text(), control.text()};
}

bool ClipboardOutbound::advertised(std::string_view body, int status) {
    if (status != 200 || body.size() > kMaxProbeBodyBytes) return false;
    auto object = base::parseJsonObject(body);
    if (!object) return false;
    const auto found = object->find("clipboard");
    return found != object->end() && found->is_boolean() && found->get<bool>();
}

std::expected<Packet, ClipboardReadError> ClipboardOutbound::read(
    const std::expected<platform::WebSocketMessage, platform::WebSocketError>& received) {
    using Kind = ClipboardReadError::Kind;
    if (!received) return std::unexpected(ClipboardReadError{Kind::channel, platform::describe(received.error())});
    const auto* text = std::get_if<platform::WebSocketText>(&*received);
    if (!text) {
        const auto size = std::get<platform::WebSocketBinary>(*received).data.size();
        return std::unexpected(ClipboardReadError{Kind::binaryMessage, std::to_string(size) + " bytes"});
    }
    auto object = base::parseJsonObject(text->text);
    if (!object) return std::unexpected(ClipboardReadError{Kind::notJsonObject, base::describe(object.error())});
    return std::move(*object);
}

}  // namespace orvanta::clipboard
