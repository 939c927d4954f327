// The client's WebSocket channels to a host: open a ws or wss URL, send text and binary messages in
// order with one write in flight, receive whole messages one at a time, ping, close with a code.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/Bytes.h"
#include "base/Executor.h"

namespace orvanta::platform {

struct WebSocketText {
    std::string text;
    bool operator==(const WebSocketText&) const = default;
};
struct WebSocketBinary {
    base::Bytes data;
    bool operator==(const WebSocketBinary&) const = default;
};
using WebSocketMessage = std::variant<WebSocketText, WebSocketBinary>;

// Why a channel failed or an operation did not complete.
struct WebSocketError {
    enum class Kind {
        invalidUrl,        // not an absolute ws or wss URL with a host
        unreachable,       // the name did not resolve or no address accepted the connection
        timedOut,          // the opening handshake did not finish in time
        tlsFailure,        // untrusted or mismatched certificate, protocol error
        handshakeRefused,  // the peer answered the upgrade with something other than 101
        closed,            // the peer closed the channel (its code in closeCode)
        connectionLost,    // the connection ended without a close frame
        tooLarge,          // a message over the channel's limit
        cancelled,         // this side cancelled the channel
    };
    Kind kind = Kind::connectionLost;
    std::string detail;                      // what went wrong, for logs and the user
    std::optional<std::uint16_t> closeCode;  // the peer's close code, when it sent one
    bool operator==(const WebSocketError&) const = default;
};

std::string describe(const WebSocketError& error);

struct WebSocketOptions {
    // A longer message fails the channel with tooLarge.
    std::size_t maxMessageBytes = 1 << 20;
    // Covers name resolution, connection, TLS and the upgrade; measured on the caller's executor.
    base::Micros openTimeout = std::chrono::seconds(60);
};

// One open or opening channel. Operations are called on the executor the channel was opened with,
// and their completions run there, never inline, each exactly once, unless the client is destroyed
// first. Operations queued before the channel is open wait for it.
class WebSocketChannel {
public:
    using ReceiveCompletion = std::function<void(std::expected<WebSocketMessage, WebSocketError>)>;
    using SendCompletion = std::function<void(std::expected<void, WebSocketError>)>;
    using PingCompletion = std::function<void(std::expected<void, WebSocketError>)>;

    virtual ~WebSocketChannel() = default;

    // Sends leave in call order, one at a time.
    virtual void send(WebSocketMessage message, SendCompletion completion) = 0;
    // The next whole message. One receive at a time; after a failure every receive fails alike.
    virtual void receive(ReceiveCompletion completion) = 0;
    // Sends one ping control frame; completes once a pong arrives after it, or with the error that
    // ended the wait. Pongs are noticed while the channel reads: a ping with no receive pending
    // makes the channel read ahead by one message, which the next receive gets.
    virtual void ping(PingCompletion completion) = 0;
    // Closes with `code` (sending a close frame when the channel is open) and fails what is
    // pending with cancelled. Idempotent.
    virtual void cancel(std::uint16_t code, std::string reason) = 0;
    // The peer's close code once a completion reported it; nothing before.
    virtual std::optional<std::uint16_t> closeCode() const = 0;
};

class WebSocketClient {
public:
    virtual ~WebSocketClient() = default;

    // Starts opening a channel to `url` at once. `executor` must outlive the channel.
    virtual std::shared_ptr<WebSocketChannel> open(const std::string& url, const WebSocketOptions& options,
                                                   base::Executor& executor) = 0;
};

inline std::string describe(const WebSocketError& error) {
    using enum WebSocketError::Kind;
    std::string_view what;
    switch (error.kind) {
        case invalidUrl:
            what = "invalid URL";
            break;
        case unreachable:
            what = "host unreachable";
            break;
        case timedOut:
            what = "timed out";
            break;
        case tlsFailure:
            what = "TLS failure";
            break;
        case handshakeRefused:
            what = "WebSocket upgrade refused";
            break;
        case closed:
            what = "closed by the host";
            break;
        case connectionLost:
            what = "connection lost";
            break;
        case tooLarge:
            what = "message too large";
            break;
        case cancelled:
            what = "cancelled";
            break;
    }
    std::string text(what);
    if (error.closeCode) text += " (" + std::to_string(*error.closeCode) + ")";
    if (!error.detail.empty()) text += ": " + error.detail;
    return text;
}

}  // namespace orvanta::platform
