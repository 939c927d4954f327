// The host's HTTP/1.1 server: a loopback listener and a LAN listener advertised by DNS-SD, one
// request per connection, the capability probe, pairing, and the WebSocket upgrade of the control
// and media channels. Every byte it reads comes from the network, so reading is done by pure
// functions (HTTPRequestReader.h, WebSocketUpgrade.h, LocalNetworkPeer.h) tested and fuzzed without
// sockets.
#pragma once

#include <utility>  // ahead of Asio, for g++ 12 in C++23 mode

#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/Bytes.h"
#include "base/DispatchQueue.h"
#include "base/Executor.h"
#include "host/transport/HTTPRequestReader.h"
#include "host/transport/LocalNetworkPeer.h"
#include "host/transport/WebSocket.h"
#include "host/transport/WebSocketUpgrade.h"
#include "platform/ServiceAdvertiser.h"

namespace orvanta::host {

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
    // How long a peer that has its reply may keep its socket open before the server closes it.
    static constexpr base::Micros kDrainMicros{1'000'000};

    using Socket = boost::asio::ip::tcp::socket;
    // Called once the 101 reply is written, with the socket (bound to the transport queue it
    // carries), the bytes read past the request head, and the request. The connection counts
    // toward kMaxConnections for as long as the socket's `place` lives: a WebSocketConnection
    // releases it when the connection ends, and an owner that does not keep the socket drops it.
    using UpgradeHandler = std::function<void(UpgradedSocket socket, base::Bytes leftover, HTTPRequest)>;
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
    // Connections tracked toward kMaxConnections, upgraded ones that have not ended included.
    std::size_t connectionCount();

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
    void draining(const std::shared_ptr<Connection>& connection);
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
