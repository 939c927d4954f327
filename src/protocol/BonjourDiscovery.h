// The DNS-SD identity a host advertises on the local network, and the base URL of a resolved one.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace orvanta::protocol::BonjourDiscovery {

inline constexpr std::string_view serviceType = "_tessaril._tcp";
inline constexpr std::string_view domain = "local.";
inline constexpr std::uint16_t port = 8767;
inline const std::map<std::string, std::string> txtRecord = {{"v", "2"}};

// "http://" + host + ":" + port for a resolved service, or nothing. One trailing dot is dropped;
// the port must be 1 to 65535; the lower-cased name must end in ".local" and hold no white space
// and none of "/?#@:%[]". The URL is built from those parts: ASCII labels keep their received
// letter case, a label with other scalars takes its IDNA form, and a name that gives no URL host
// (a NUL, a control character, a label IDNA refuses) gives nothing.
std::optional<std::string> baseURL(std::string_view hostName, std::int64_t resolvedPort);

}  // namespace orvanta::protocol::BonjourDiscovery
