// The WebSocket upgrade check of an HTTP request (RFC 6455, version 13).
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "host/transport/HTTPRequestReader.h"

namespace orvanta::host {

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

}  // namespace orvanta::host
