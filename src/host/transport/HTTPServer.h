// The host's HTTP/1.1 server: a loopback listener and a LAN listener advertised by DNS-SD, one
// request per connection, the capability probe, pairing, and the WebSocket upgrade of the control
// and media channels. Every byte it reads comes from the network, so reading is split into pure
// functions (below) that are tested and fuzzed without sockets.
#pragma once

#include <utility>  // ahead of Asio, for g++ 12 in C++23 mode

#include <boost/asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "base/Bytes.h"
#include "base/DispatchQueue.h"
#include "base/Executor.h"
#include "platform/ServiceAdvertiser.h"

namespace orvanta::host {

struct HTTPRequest {
    std::string method;  // as sent, case-sensitive
    std::string path;    // the request target up to its first "?"
    // Names lower-cased exactly as written before the colon; values trimmed of horizontal white
    // space. A repeated name keeps its last value.
    std::map<std::string, std::string> headers;
    bool isLAN = false;  // arrived on the LAN listener
    base::Bytes body;    // "POST" only: exactly Content-Length bytes

    bool operator==(const HTTPRequest&) const = default;
};

// ---- Reading one request from a byte stream.

// Why a request was not read. The first three end the connection without a reply; the other two
// are answered (see replyStatus).
struct RequestTooLarge {
    std::size_t receivedBytes = 0;  // more than 20480 without a complete request
    bool operator==(const RequestTooLarge&) const = default;
};
struct RequestHeadTooLarge {
    std::size_t headBytes = 0;  // more than 16384 before the blank line
    bool operator==(const RequestHeadTooLarge&) const = default;
};
struct RequestEndedEarly {
    std::size_t receivedBytes = 0;  // the peer ended, or the transport failed, mid-request
    bool operator==(const RequestEndedEarly&) const = default;
};
struct MalformedRequestLine {
    std::string line;
    bool operator==(const MalformedRequestLine&) const = default;
};
struct BadContentLength {
    std::string value;  // over 4096, negative, or not a decimal number
    bool operator==(const BadContentLength&) const = default;
};
using HTTPRequestError =
    std::variant<RequestTooLarge, RequestHeadTooLarge, RequestEndedEarly, MalformedRequestLine, BadContentLength>;

// The status line text an error is answered with, or nothing when the connection is just closed.
std::optional<std::string_view> replyStatus(const HTTPRequestError& error);

// A complete request and the bytes that followed its head (after an upgrade they belong to the
// WebSocket stream). A "POST" carries its body instead, and bytes beyond it are dropped.
struct ReceivedRequest {
    HTTPRequest request;
    base::Bytes leftover;
    bool operator==(const ReceivedRequest&) const = default;
};

// The head is everything before the first CR LF CR LF. Invalid UTF-8 reads as U+FFFD, so every
// text of the request is valid UTF-8.
std::expected<HTTPRequest, MalformedRequestLine> parseRequestHead(std::string_view head, bool isLAN);

// 0 when the header is absent; an optional sign and ASCII digits, at most 4096, otherwise.
std::expected<std::size_t, BadContentLength> declaredContentLength(const HTTPRequest& request);

// Accumulates the chunks of one connection until a request is complete or refused. Scanning
// resumes where the previous chunk ended, so a request trickled in byte by byte costs linear time.
class HTTPRequestReader {
public:
    static constexpr std::size_t kMaxReceivedBytes = 20480;
    static constexpr std::size_t kMaxHeadBytes = 16384;
    static constexpr std::size_t kMaxBodyBytes = 4096;

    using Result = std::expected<std::optional<ReceivedRequest>, HTTPRequestError>;

    explicit HTTPRequestReader(bool isLAN) : isLAN_(isLAN) {}

    // Nothing while more bytes are needed. Once it has given a request or an error, the reader
    // has no further use.
    Result feed(base::ByteView chunk);
    // The peer ended the stream, or the transport failed, before the request was complete.
    HTTPRequestError end() const { return RequestEndedEarly{received_.size()}; }

private:
    struct Head {
        HTTPRequest request;
        std::size_t bodyStart = 0;
        std::size_t contentLength = 0;
    };

    bool isLAN_;
    base::Bytes received_;
    std::size_t scanned_ = 0;  // no head end begins before this offset
    std::optional<Head> head_;
};

// ---- The WebSocket upgrade (RFC 6455, version 13).

struct UpgradeRefused {
    std::string header;  // the header that failed the check
    std::string value;   // its value, empty when it was missing
    bool operator==(const UpgradeRefused&) const = default;
};

// The "Sec-WebSocket-Accept" value for an upgrade request, or the header that failed: "upgrade"
// must be "websocket" in any case, "connection" must contain "upgrade" in any case,
// "sec-websocket-version" must be "13", and "sec-websocket-key" must be strict Base64 of 16 bytes.
std::expected<std::string, UpgradeRefused> checkWebSocketUpgrade(const HTTPRequest& request);

// Base64 of the SHA-1 of the key text followed by the protocol's fixed GUID.
std::string webSocketAccept(std::string_view key);

// ---- Which peers the LAN listener serves.

struct InterfaceNetwork {
    boost::asio::ip::address address;
    boost::asio::ip::address netmask;
    bool operator==(const InterfaceNetwork&) const = default;
};

// The addresses and netmasks of this machine's interfaces that are up, read afresh on each call.
std::vector<InterfaceNetwork> localInterfaceNetworks();

// Loopback, link-local, or inside the subnet of one of `networks`. An IPv4 peer that reached a
// dual-stack listener as an IPv4-mapped IPv6 address is judged as IPv4.
bool isLocalNetworkPeer(const boost::asio::ip::address& peer, std::span<const InterfaceNetwork> networks);

// ---- The server.

struct HTTPServerError {
    boost::asio::ip::tcp::endpoint endpoint;
    std::string description;  // the system's text, shown to the user as is
    bool operator==(const HTTPServerError&) const = default;
};

struct HTTPServerOptions {
    boost::asio::ip::tcp::endpoint loopback{boost::asio::ip::address_v4::loopback(), 8766};
    // Dual-stack where the machine has IPv6, IPv4 otherwise.
    boost::asio::ip::tcp::endpoint lan{boost::asio::ip::address_v6::any(), 8767};
    // Where the server's diagnostic lines go; the host log when unset.
    std::function<void(std::string_view)> log;
};

// Owned by shared_ptr (create): socket completions and deadlines hold it weakly. Socket I/O runs
// on the server's own queue "zq2.transport"; acceptance, the connection table, the deadlines,
// parsing, routing, replies and every callback run on the owner's executor. All public members
// are used on that executor.
class HTTPServer final : public std::enable_shared_from_this<HTTPServer> {
public:
    static constexpr std::uint16_t port = 8766;
    static constexpr std::size_t kMaxConnections = 16;
    static constexpr base::Micros kUpgradeDeadlineMicros{10'000'000};

    using Socket = boost::asio::ip::tcp::socket;
    // Called once the 101 reply is written, with the socket (still bound to the transport queue,
    // see transportQueue), the bytes read past the request head, and the request. Returns the
    // object that now owns the socket (its WebSocket connection), or null when it was not kept.
    // Once the socket has moved out nothing tells the server when it closes, so the connection
    // counts toward kMaxConnections for as long as that object lives: a liveness token keeps the
    // count right without relying on the owner to report every end.
    using UpgradeHandler = std::function<std::shared_ptr<void>(Socket socket, base::Bytes leftover, HTTPRequest)>;
    // Called exactly once, on any thread, with a full status text ("200 OK") and a JSON body.
    using PairReply = std::function<void(std::string status, base::Bytes body)>;
    // Called once, on any thread: whether clipboard sync is on.
    using ClipboardAnswer = std::function<void(bool)>;

    // `queue` is the owner's executor; `advertiser` (required) announces the LAN listener.
    static std::shared_ptr<HTTPServer> create(base::Executor& queue,
                                              std::shared_ptr<platform::ServiceAdvertiser> advertiser,
                                              HTTPServerOptions options = {});
    ~HTTPServer();

    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    // Opens the loopback listener; `advertising` is the DNS-SD instance name of the LAN listener,
    // which starts once the loopback listener is ready. An error means nothing was started.
    std::expected<void, HTTPServerError> start(std::string advertising);
    // Closes both listeners, withdraws the advertisement and closes every connection the server
    // still holds. An upgraded socket belongs to its owner, which ends it.
    void stop();

    std::optional<std::uint16_t> loopbackPort() const;
    std::optional<std::uint16_t> lanPort() const;
    // Connections tracked toward kMaxConnections, upgraded ones whose owner still lives included.
    std::size_t connectionCount();
    // The handed-over sockets need this queue alive; their owner keeps it while it keeps them.
    const std::shared_ptr<base::DispatchQueue>& transportQueue() const { return transport_; }

    UpgradeHandler onControl;
    UpgradeHandler onVideo;
    std::function<void(HTTPRequest, PairReply)> onPair;
    std::function<void(ClipboardAnswer)> clipboardAvailable;
    std::function<void(std::string)> onFailure;  // the loopback listener failed; the server stopped
    std::function<void()> onReady;               // the loopback listener is ready
    std::function<void(bool)> onBonjourPolicyDenied;

private:
    struct Connection;
    struct Listener;
    struct Entry;
    struct OwnerLink;

    HTTPServer(base::Executor& queue, std::shared_ptr<platform::ServiceAdvertiser> advertiser,
               HTTPServerOptions options);

    std::expected<std::shared_ptr<Listener>, HTTPServerError> openListener(const boost::asio::ip::tcp::endpoint& at,
                                                                           bool isLAN);
    void startAccepting(const std::shared_ptr<Listener>& listener);
    void closeListener(std::shared_ptr<Listener>& listener);
    void loopbackReady(const std::shared_ptr<Listener>& listener);
    void startLAN();
    void acceptFailed(const std::shared_ptr<Listener>& listener, const boost::system::error_code& error);
    void advertisementChanged(const platform::AdvertisementEvent& event);

    void admit(const std::shared_ptr<Listener>& listener, std::shared_ptr<Connection> connection,
               std::optional<boost::asio::ip::address> peer);
    Entry* find(const std::shared_ptr<Connection>& connection);
    void startRead(const std::shared_ptr<Connection>& connection);
    void handleRead(const std::shared_ptr<Connection>& connection, base::ByteView chunk,
                    const boost::system::error_code& error);
    void route(std::uint64_t id, ReceivedRequest received);
    void answerProbe(std::uint64_t id, bool isLAN);
    void answerPair(std::uint64_t id, HTTPRequest request);
    void upgrade(std::uint64_t id, ReceivedRequest received, bool control);
    void handOver(const std::shared_ptr<Connection>& connection);
    void sendReply(std::uint64_t id, std::string_view status, std::string_view type, base::ByteView body);
    void cancel(std::uint64_t id);
    void ended(const std::shared_ptr<Connection>& connection);
    void pruneEndedUpgrades();
    void log(std::string_view line) const;

    base::Executor& queue_;
    std::shared_ptr<base::DispatchQueue> transport_;
    std::shared_ptr<platform::ServiceAdvertiser> advertiser_;
    HTTPServerOptions options_;
    std::shared_ptr<OwnerLink> link_;
    std::shared_ptr<Listener> listener_;
    std::shared_ptr<Listener> lanListener_;
    std::string advertising_;
    std::unordered_map<std::uint64_t, std::unique_ptr<Entry>> connections_;
    std::uint64_t nextId_ = 1;
};

}  // namespace orvanta::host
