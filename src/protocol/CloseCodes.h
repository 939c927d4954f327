// The application's WebSocket close codes. The transport's own codes (1001, 1002, 1008, 1009) are
// not among them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orvanta::protocol {

enum class CloseCode : std::uint16_t {
    stalled = 4001,
    protocolError = 4002,
    authFailed = 4003,
    busy = 4004,
    revoked = 4005,
    notBroadcasting = 4006,
};

inline constexpr std::array<CloseCode, 6> kAllCloseCodes = {
    CloseCode::stalled, CloseCode::protocolError, CloseCode::authFailed,
    CloseCode::busy,    CloseCode::revoked,       CloseCode::notBroadcasting,
};

// What the client shows for notBroadcasting.
inline constexpr std::string_view kNotBroadcastingMessage = "配信が始まっていません";

constexpr std::uint16_t rawValue(CloseCode code) { return static_cast<std::uint16_t>(code); }

// The case for 4001 to 4006, nothing for any other number.
constexpr std::optional<CloseCode> closeCodeFromRaw(std::uint16_t raw) {
    if (raw < rawValue(CloseCode::stalled) || raw > rawValue(CloseCode::notBroadcasting)) return std::nullopt;
    return static_cast<CloseCode>(raw);
}

}  // namespace orvanta::protocol
