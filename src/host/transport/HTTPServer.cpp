#include "host/transport/HTTPServer.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <limits>
#include <mutex>

#include "host/transport/Support.h"
#include "protocol/BonjourDiscovery.h"

namespace orvanta::host {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr std::size_t kReadChunkBytes = 8192;
// What a peer may still send after its reply before the server stops waiting for it to close.
constexpr std::size_t kDrainBudgetBytes = HTTPRequestReader::kMaxReceivedBytes;
constexpr base::Micros kAcceptRetryMicros{100'000};

constexpr std::string_view kStatusOK = "200 OK";
constexpr std::string_view kStatusBadRequest = "400 Bad Request";
constexpr std::string_view kStatusForbidden = "403 Forbidden";
constexpr std::string_view kStatusNotFound = "404 Not Found";
constexpr std::string_view kStatusMethodNotAllowed = "405 Method Not Allowed";
constexpr std::string_view kStatusUnavailable = "503 Service Unavailable";

constexpr std::string_view kTextPlain = "text/plain";
constexpr std::string_view kJson = "application/json";

constexpr std::string_view kPathCapabilities = "/v2/capabilities";
constexpr std::string_view kPathPair = "/v2/pair";
constexpr std::string_view kPathControl = "/v2/control";
constexpr std::string_view kPathVideo = "/v2/video";

constexpr std::string_view kPolicyDeniedLine = "Bonjour policy denied: Tessaril Settings > Permissions > Local Network";

// Asio opens and accepts sockets without close-on-exec; a program the host starts must not keep
// its ports listening, or its sessions half-open, after the host has gone.
void closeOnExec(int fd) {
    if (fd >= 0) ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

std::string formatReply(std::string_view status, std::string_view type, base::ByteView body) {
    std::string message;
    message.reserve(200 + body.size());
    message.append("HTTP/1.1 ").append(status).append("\r\n");
    message.append("Content-Type: ").append(type).append("\r\n");
    message.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    message.append("Cache-Control: no-store\r\n");
    message.append("X-Content-Type-Options: nosniff\r\n");
    message.append("Referrer-Policy: no-referrer\r\n");
    message.append("Connection: close\r\n\r\n");
    message.append(base::asText(body));
    return message;
}

std::string formatUpgradeReply(std::string_view accept) {
    std::string message = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n";
    message.append("Sec-WebSocket-Accept: ").append(accept).append("\r\n\r\n");
    return message;
}

base::Bytes probeBody(bool clipboard) {
    return base::toBytes(clipboard ? R"({"clipboard":true})" : R"({"clipboard":false})");
}

// Accept errors that concern one pending connection or a passing shortage, not the listener.
constexpr std::array kTransientAcceptErrors = {ECONNABORTED, EMFILE, ENFILE,      ENOBUFS,    ENOMEM,      EPERM,
                                               EPROTO,       EINTR,  EAGAIN,      ENETDOWN,   ENETUNREACH, EHOSTDOWN,
                                               EHOSTUNREACH, ENONET, ENOPROTOOPT, EOPNOTSUPP, ETIMEDOUT};

bool isTransientAcceptError(const error_code& error) {
    return error.category() == boost::system::system_category() &&
           std::ranges::find(kTransientAcceptErrors, error.value()) != kTransientAcceptErrors.end();
}

}  // namespace

// ---- The server's transport side. Everything in this section runs on the transport queue.

// Posts work for the server onto the owner's executor, from any thread. The server's destructor
// clears `executor`, so that late completions never reach an executor that may be gone.
struct HTTPServer::OwnerLink {
    std::mutex mutex;
    base::Executor* executor = nullptr;
    std::weak_ptr<HTTPServer> server;

    void post(std::function<void(HTTPServer&)> work) {
        std::lock_guard lock(mutex);
        if (!executor) return;
        executor->async([server = server, work = std::move(work)] {
            if (auto alive = server.lock()) work(*alive);
        });
    }
};

struct HTTPServer::Listener {
    Listener(std::shared_ptr<base::DispatchQueue> queue, bool lan)
        : transport(std::move(queue)), acceptor(transport->context()), isLAN(lan) {}

    std::shared_ptr<base::DispatchQueue> transport;  // first, so that it outlives the acceptor
    tcp::acceptor acceptor;
    bool isLAN;
    std::uint16_t port = 0;

    void acceptNext(const std::shared_ptr<Listener>& self, const std::shared_ptr<OwnerLink>& link);
};

// One accepted socket. Whoever holds it last closes the socket; holding the transport queue as
// well keeps the socket's io_context alive until then, wherever that is.
struct HTTPServer::Connection : std::enable_shared_from_this<Connection> {
    Connection(std::shared_ptr<base::DispatchQueue> queue, Socket accepted)
        : transport(std::move(queue)), socket(std::move(accepted)) {}

    std::shared_ptr<base::DispatchQueue> transport;  // first, so that it outlives the socket
    Socket socket;
    std::uint64_t id = 0;  // set on the owner's executor before any I/O is started
    std::array<std::uint8_t, kReadChunkBytes> buffer{};

    void read(const std::shared_ptr<OwnerLink>& link);
    void write(std::shared_ptr<std::string> message, const std::shared_ptr<OwnerLink>& link, bool keepOpen);
    void drain(const std::shared_ptr<OwnerLink>& link, std::size_t budget);
    void closeAndReport(const std::shared_ptr<OwnerLink>& link);
    void close() {
        error_code ignored;
        socket.close(ignored);
    }
};

void HTTPServer::Listener::acceptNext(const std::shared_ptr<Listener>& self, const std::shared_ptr<OwnerLink>& link) {
    acceptor.async_accept([self, link](const error_code& error, Socket peer) {
        if (error == asio::error::operation_aborted) return;
        if (error) {
            link->post([self, error](HTTPServer& server) { server.acceptFailed(self, error); });
            return;
        }
        closeOnExec(peer.native_handle());
        error_code peerError;
        // Pongs, acknowledgements and input are small and latency-bound; never hold them back
        // waiting for more to send.
        peer.set_option(tcp::no_delay(true), peerError);
        const tcp::endpoint remote = peer.remote_endpoint(peerError);
        std::optional<asio::ip::address> address;
        if (!peerError) address = remote.address();
        auto connection = std::make_shared<Connection>(self->transport, std::move(peer));
        link->post([self, connection, address](HTTPServer& server) { server.admit(self, connection, address); });
        self->acceptNext(self, link);
    });
}

void HTTPServer::Connection::read(const std::shared_ptr<OwnerLink>& link) {
    socket.async_read_some(
        asio::buffer(buffer), [self = shared_from_this(), link](const error_code& error, std::size_t count) {
            base::Bytes chunk(self->buffer.begin(), self->buffer.begin() + static_cast<std::ptrdiff_t>(count));
            link->post(
                [self, chunk = std::move(chunk), error](HTTPServer& server) { server.handleRead(self, chunk, error); });
        });
}

// A reply ends with the peer's reading side still open: closing a socket that has unread input
// makes the kernel send a reset, which can destroy the reply before the peer has read it. So the
// server stops sending and reads until the peer closes, within a budget and kDrainMicros.
void HTTPServer::Connection::write(std::shared_ptr<std::string> message, const std::shared_ptr<OwnerLink>& link,
                                   bool keepOpen) {
    asio::async_write(socket, asio::buffer(*message),
                      [self = shared_from_this(), message, link, keepOpen](const error_code& error, std::size_t) {
                          if (error) {
                              self->closeAndReport(link);
                          } else if (keepOpen) {
                              link->post([self](HTTPServer& server) { server.handOver(self); });
                          } else {
                              error_code ignored;
                              self->socket.shutdown(tcp::socket::shutdown_send, ignored);
                              link->post([self](HTTPServer& server) { server.draining(self); });
                              self->drain(link, kDrainBudgetBytes);
                          }
                      });
}

void HTTPServer::Connection::drain(const std::shared_ptr<OwnerLink>& link, std::size_t budget) {
    socket.async_read_some(asio::buffer(buffer),
                           [self = shared_from_this(), link, budget](const error_code& error, std::size_t count) {
                               if (error || count >= budget) {
                                   self->closeAndReport(link);
                               } else {
                                   self->drain(link, budget - count);
                               }
                           });
}

void HTTPServer::Connection::closeAndReport(const std::shared_ptr<OwnerLink>& link) {
    close();
    link->post([self = shared_from_this()](HTTPServer& server) { server.ended(self); });
}

// ---- The server's own side. Everything below runs on the owner's executor.

struct HTTPServer::Entry {
    explicit Entry(std::shared_ptr<Connection> accepted, bool isLAN) : connection(std::move(accepted)), reader(isLAN) {}

    std::shared_ptr<Connection> connection;  // null once the socket is handed over
    HTTPRequestReader reader;
    base::TaskHandle deadline;
    bool upgraded = false;  // exempt from the deadline
    // Between the 101 reply and the hand-over.
    UpgradeHandler handler;
    std::optional<ReceivedRequest> upgradeRequest;
    // Handed over with the upgraded socket. Asio reports nothing to the server once the socket has
    // moved out, so the entry counts toward the limit until its owner releases this.
    std::weak_ptr<void> place;
};

std::shared_ptr<HTTPServer> HTTPServer::create(base::Executor& queue,
                                               std::shared_ptr<platform::ServiceAdvertiser> advertiser,
                                               HTTPServerOptions options) {
    std::shared_ptr<HTTPServer> server(new HTTPServer(queue, std::move(advertiser), std::move(options)));
    server->link_->server = server;
    std::weak_ptr<HTTPServer> weak = server;
    server->advertiser_->onEvent = [weak](const platform::AdvertisementEvent& event) {
        if (auto alive = weak.lock()) alive->advertisementChanged(event);
    };
    return server;
}

HTTPServer::HTTPServer(base::Executor& queue, std::shared_ptr<platform::ServiceAdvertiser> advertiser,
                       HTTPServerOptions options)
    : queue_(queue),
      transport_(std::make_shared<base::DispatchQueue>("zq2.transport")),
      advertiser_(std::move(advertiser)),
      options_(std::move(options)),
      link_(std::make_shared<OwnerLink>()) {
    link_->executor = &queue_;
}

HTTPServer::~HTTPServer() {
    {
        std::lock_guard lock(link_->mutex);
        link_->executor = nullptr;
    }
    advertiser_->onEvent = nullptr;
    if (lanListener_) advertiser_->withdraw();
    closeListener(listener_);
    closeListener(lanListener_);
    for (auto& [id, entry] : connections_) {
        if (entry->connection) transport_->async([connection = entry->connection] { connection->close(); });
    }
}

void HTTPServer::log(std::string_view line) const {
    if (options_.log) {
        options_.log(line);
    } else {
        Log::info(line);
    }
}

std::expected<std::shared_ptr<HTTPServer::Listener>, HTTPServerError> HTTPServer::openListener(const tcp::endpoint& at,
                                                                                               bool isLAN) {
    auto listener = std::make_shared<Listener>(transport_, isLAN);
    tcp::acceptor& acceptor = listener->acceptor;
    error_code error;
    acceptor.open(at.protocol(), error);
    if (!error) closeOnExec(acceptor.native_handle());
    if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error && at.address().is_v6() && at.address().is_unspecified()) {
        acceptor.set_option(asio::ip::v6_only(false), error);
    }
    if (!error) acceptor.bind(at, error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (!error) listener->port = acceptor.local_endpoint(error).port();
    if (error) {
        error_code ignored;
        acceptor.close(ignored);
        return std::unexpected(HTTPServerError{at, error.message()});
    }
    return listener;
}

void HTTPServer::startAccepting(const std::shared_ptr<Listener>& listener) {
    transport_->async([listener, link = link_] { listener->acceptNext(listener, link); });
}

void HTTPServer::closeListener(std::shared_ptr<Listener>& listener) {
    if (!listener) return;
    transport_->async([listener] {
        error_code ignored;
        listener->acceptor.close(ignored);
    });
    listener.reset();
}

std::expected<void, HTTPServerError> HTTPServer::start(std::string advertising) {
    if (listener_) return {};
    auto listener = openListener(options_.loopback, false);
    if (!listener) return std::unexpected(listener.error());
    listener_ = *listener;
    advertising_ = std::move(advertising);
    startAccepting(listener_);
    // Reported from the executor, as a listener's state change would be, never from inside start.
    link_->post([listener = listener_](HTTPServer& server) { server.loopbackReady(listener); });
    return {};
}

void HTTPServer::loopbackReady(const std::shared_ptr<Listener>& listener) {
    if (listener != listener_) return;
    if (auto ready = onReady) ready();
    if (listener == listener_) startLAN();
}

void HTTPServer::startLAN() {
    if (lanListener_) return;
    auto listener = openListener(options_.lan, true);
    if (!listener && options_.lan.address().is_v6() && options_.lan.address().is_unspecified()) {
        listener = openListener(tcp::endpoint(asio::ip::address_v4::any(), options_.lan.port()), true);
    }
    if (!listener) {
        log("Bonjour listener creation failed: " + listener.error().description);
        return;
    }
    lanListener_ = *listener;
    namespace Bonjour = protocol::BonjourDiscovery;
    log("Bonjour listener starting: " + std::string(Bonjour::serviceType) + " " + std::string(Bonjour::domain) +
        " TCP " + std::to_string(lanListener_->port));
    log("Bonjour listener state: ready");
    startAccepting(lanListener_);
    advertiser_->publish({advertising_, std::string(Bonjour::serviceType), std::string(Bonjour::domain),
                          lanListener_->port, Bonjour::txtRecord});
}

void HTTPServer::acceptFailed(const std::shared_ptr<Listener>& listener, const error_code& error) {
    if (listener != listener_ && listener != lanListener_) return;
    if (isTransientAcceptError(error)) {
        std::weak_ptr<HTTPServer> weak = weak_from_this();
        queue_.asyncAfter(kAcceptRetryMicros, [weak, listener] {
            auto server = weak.lock();
            if (server && (listener == server->listener_ || listener == server->lanListener_)) {
                server->startAccepting(listener);
            }
        });
        return;
    }
    if (listener == listener_) {
        stop();
        if (auto failure = onFailure) failure(error.message());
        return;
    }
    log("Bonjour listener state: failed(" + error.message() + ")");
    advertiser_->withdraw();
    closeListener(lanListener_);
}

void HTTPServer::advertisementChanged(const platform::AdvertisementEvent& event) {
    using platform::AdvertisementState;
    switch (event.state) {
        case AdvertisementState::registered:
            log("Bonjour service registered");
            if (lanListener_) {
                if (auto denied = onBonjourPolicyDenied) denied(false);
            }
            return;
        case AdvertisementState::removed:
            log("Bonjour service removed");
            return;
        case AdvertisementState::policyDenied:
            log("Bonjour listener state: " + platform::describe(event));
            if (lanListener_) {
                log(kPolicyDeniedLine);
                if (auto denied = onBonjourPolicyDenied) denied(true);
            }
            return;
        case AdvertisementState::renamed:
        case AdvertisementState::failed:
            log("Bonjour service registration changed: " + platform::describe(event));
            return;
    }
}

void HTTPServer::stop() {
    if (lanListener_) {
        log("Bonjour listener state: cancelled");
        advertiser_->withdraw();
    }
    closeListener(listener_);
    closeListener(lanListener_);
    for (auto& [id, entry] : connections_) {
        entry->deadline.cancel();
        if (entry->connection) transport_->async([connection = entry->connection] { connection->close(); });
    }
    connections_.clear();
    if (auto denied = onBonjourPolicyDenied) denied(false);
}

std::optional<std::uint16_t> HTTPServer::loopbackPort() const {
    return listener_ ? std::optional(listener_->port) : std::nullopt;
}

std::optional<std::uint16_t> HTTPServer::lanPort() const {
    return lanListener_ ? std::optional(lanListener_->port) : std::nullopt;
}

std::size_t HTTPServer::connectionCount() {
    pruneEndedUpgrades();
    return connections_.size();
}

void HTTPServer::pruneEndedUpgrades() {
    std::erase_if(connections_, [](const auto& item) {
        const Entry& entry = *item.second;
        return !entry.connection && entry.place.expired();
    });
}

// "Accepting local-network peers only": the LAN listener serves loopback and link-local peers and
// peers inside the subnet of one of this machine's interfaces, read at each acceptance since
// interfaces come and go. Every other peer is closed at once, without a reply.
void HTTPServer::admit(const std::shared_ptr<Listener>& listener, std::shared_ptr<Connection> connection,
                       std::optional<asio::ip::address> peer) {
    // No I/O has been started on this socket, so closing it here races with nothing.
    if (listener != listener_ && listener != lanListener_) return connection->close();
    if (listener->isLAN && (!peer || !isLocalNetworkPeer(*peer, localInterfaceNetworks()))) {
        return connection->close();
    }
    pruneEndedUpgrades();
    if (connections_.size() >= kMaxConnections) return connection->close();

    const std::uint64_t id = nextId_++;
    connection->id = id;
    auto entry = std::make_unique<Entry>(connection, listener->isLAN);
    std::weak_ptr<HTTPServer> weak = weak_from_this();
    entry->deadline = queue_.asyncAfter(kUpgradeDeadlineMicros, [weak, id] {
        auto server = weak.lock();
        if (!server) return;
        auto it = server->connections_.find(id);
        if (it != server->connections_.end() && !it->second->upgraded) server->cancel(id);
    });
    connections_.emplace(id, std::move(entry));
    startRead(connection);
}

HTTPServer::Entry* HTTPServer::find(const std::shared_ptr<Connection>& connection) {
    auto it = connections_.find(connection->id);
    if (it == connections_.end() || it->second->connection != connection) return nullptr;
    return it->second.get();
}

void HTTPServer::startRead(const std::shared_ptr<Connection>& connection) {
    transport_->async([connection, link = link_] { connection->read(link); });
}

void HTTPServer::handleRead(const std::shared_ptr<Connection>& connection, base::ByteView chunk,
                            const error_code& error) {
    Entry* entry = find(connection);
    if (!entry) return;
    HTTPRequestReader::Result step = chunk.empty() && error
                                         ? HTTPRequestReader::Result(std::unexpected(entry->reader.end()))
                                         : entry->reader.feed(chunk);
    if (!step) {
        if (auto status = replyStatus(step.error())) {
            sendReply(connection->id, *status, kTextPlain, {});
        } else {
            cancel(connection->id);
        }
    } else if (!*step) {
        if (error) {
            cancel(connection->id);
        } else {
            startRead(connection);
        }
    } else {
        route(connection->id, std::move(**step));
    }
}

void HTTPServer::route(std::uint64_t id, ReceivedRequest received) {
    const HTTPRequest& request = received.request;
    const bool knownPath = request.path == kPathPair || request.path == kPathControl || request.path == kPathVideo;
    if (request.headers.contains("origin")) {
        sendReply(id, kStatusForbidden, kTextPlain, {});
    } else if (request.method == "GET" && request.path == kPathCapabilities) {
        answerProbe(id, request.isLAN);
    } else if (request.method == "POST" && request.path == kPathPair) {
        answerPair(id, std::move(received.request));
    } else if (request.method == "GET" && (request.path == kPathControl || request.path == kPathVideo)) {
        const bool control = request.path == kPathControl;
        upgrade(id, std::move(received), control);
    } else if (knownPath) {
        sendReply(id, kStatusMethodNotAllowed, kTextPlain, {});
    } else {
        sendReply(id, kStatusNotFound, kTextPlain, {});
    }
}

void HTTPServer::answerProbe(std::uint64_t id, bool isLAN) {
    auto ask = clipboardAvailable;
    if (isLAN || !ask) return sendReply(id, kStatusOK, kJson, probeBody(false));
    auto answered = std::make_shared<std::atomic<bool>>(false);
    ask([link = link_, id, answered](bool clipboard) {
        if (answered->exchange(true)) return;
        link->post(
            [id, clipboard](HTTPServer& server) { server.sendReply(id, kStatusOK, kJson, probeBody(clipboard)); });
    });
}

void HTTPServer::answerPair(std::uint64_t id, HTTPRequest request) {
    auto pair = onPair;
    if (!pair) return sendReply(id, kStatusUnavailable, kTextPlain, {});
    auto replied = std::make_shared<std::atomic<bool>>(false);
    pair(std::move(request), [link = link_, id, replied](std::string status, base::Bytes body) {
        if (replied->exchange(true)) return;
        link->post([id, status = std::move(status), body = std::move(body)](HTTPServer& server) {
            server.sendReply(id, status, kJson, body);
        });
    });
}

void HTTPServer::upgrade(std::uint64_t id, ReceivedRequest received, bool control) {
    auto accept = checkWebSocketUpgrade(received.request);
    if (!accept) return sendReply(id, kStatusBadRequest, kTextPlain, {});
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Entry& entry = *it->second;
    entry.upgraded = true;
    entry.deadline.cancel();
    entry.handler = control ? onControl : onVideo;
    entry.upgradeRequest = std::move(received);
    auto message = std::make_shared<std::string>(formatUpgradeReply(*accept));
    transport_->async(
        [connection = entry.connection, message, link = link_] { connection->write(message, link, true); });
}

void HTTPServer::handOver(const std::shared_ptr<Connection>& connection) {
    Entry* entry = find(connection);
    if (!entry) return;
    if (!entry->handler) {
        // Nobody takes it: it stays open, its input unused, until the peer goes away.
        transport_->async(
            [connection, link = link_] { connection->drain(link, std::numeric_limits<std::size_t>::max()); });
        return;
    }
    auto handler = std::move(entry->handler);
    ReceivedRequest received = std::move(*entry->upgradeRequest);
    entry->upgradeRequest.reset();
    entry->connection.reset();
    auto place = std::make_shared<std::uint64_t>(connection->id);
    entry->place = place;
    // Nothing is pending on the socket: the reply is written and reading stopped at the request.
    handler(UpgradedSocket{transport_, std::move(connection->socket), std::move(place)}, std::move(received.leftover),
            std::move(received.request));
    pruneEndedUpgrades();
}

// A connection that only waits for its peer to leave after the reply no longer holds a place, and
// waits a short while at most.
void HTTPServer::draining(const std::shared_ptr<Connection>& connection) {
    if (Entry* entry = find(connection)) {
        entry->deadline.cancel();
        connections_.erase(connection->id);
    }
    queue_.asyncAfter(kDrainMicros, [weak = std::weak_ptr(connection)] {
        if (auto alive = weak.lock()) alive->transport->async([alive] { alive->close(); });
    });
}

void HTTPServer::sendReply(std::uint64_t id, std::string_view status, std::string_view type, base::ByteView body) {
    auto it = connections_.find(id);
    if (it == connections_.end() || !it->second->connection) return;  // cancelled by a deadline or stop
    auto message = std::make_shared<std::string>(formatReply(status, type, body));
    transport_->async(
        [connection = it->second->connection, message, link = link_] { connection->write(message, link, false); });
}

void HTTPServer::cancel(std::uint64_t id) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    it->second->deadline.cancel();
    if (auto connection = it->second->connection) transport_->async([connection] { connection->close(); });
    connections_.erase(it);
}

void HTTPServer::ended(const std::shared_ptr<Connection>& connection) {
    if (Entry* entry = find(connection)) {
        entry->deadline.cancel();
        connections_.erase(connection->id);
    }
}

}  // namespace orvanta::host
