#include "host/transport/WebSocketUpgrade.h"

#include "base/Base64.h"
#include "base/Crypto.h"

namespace orvanta::host {
namespace {

constexpr std::string_view kWebSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

}  // namespace

std::string webSocketAccept(std::string_view key) {
    std::string text(key);
    text.append(kWebSocketGuid);
    const base::Sha1Digest digest = base::sha1(base::asBytes(text));
    return base::base64Encode(digest);
}

std::expected<std::string, UpgradeRefused> checkWebSocketUpgrade(const HTTPRequest& request) {
    auto refused = [&request](const std::string& name) {
        return std::unexpected(UpgradeRefused{name, headerValue(request, name)});
    };
    if (!request.headers.contains("upgrade") || asciiLower(headerValue(request, "upgrade")) != "websocket") {
        return refused("upgrade");
    }
    if (!request.headers.contains("connection") ||
        asciiLower(headerValue(request, "connection")).find("upgrade") == std::string::npos) {
        return refused("connection");
    }
    if (headerValue(request, "sec-websocket-version") != "13") return refused("sec-websocket-version");
    const std::string key = headerValue(request, "sec-websocket-key");
    auto decoded = base::base64Decode(key);
    constexpr std::size_t kKeyBytes = 16;
    if (!request.headers.contains("sec-websocket-key") || !decoded || decoded->size() != kKeyBytes) {
        return refused("sec-websocket-key");
    }
    return webSocketAccept(key);
}

}  // namespace orvanta::host
