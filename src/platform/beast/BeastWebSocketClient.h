// WebSocketClient over Boost.Beast and OpenSSL: ws and wss channels whose I/O runs on a queue of
// the client's own, with certificates checked against the trust store and the URL's host name.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/WebSocketClient.h"

namespace orvanta::platform {

class BeastWebSocketClient final : public WebSocketClient {
public:
    struct Options {
        // PEM certificates trusted instead of the system's store (tests trust their own this way).
        std::optional<std::string> trustedCertificatesPem;
    };

    BeastWebSocketClient();
    // Throws std::runtime_error when the trust store cannot be loaded.
    explicit BeastWebSocketClient(Options options);
    // Channels still open are dropped without their completions.
    ~BeastWebSocketClient() override;

    BeastWebSocketClient(const BeastWebSocketClient&) = delete;
    BeastWebSocketClient& operator=(const BeastWebSocketClient&) = delete;

    std::shared_ptr<WebSocketChannel> open(const std::string& url, const WebSocketOptions& options,
                                           base::Executor& executor) override;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;  // shared with time-out and cancel hops, which may outlive a call
};

}  // namespace orvanta::platform
