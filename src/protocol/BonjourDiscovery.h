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
// the port must be 1 to 65535; the lower-cased name must end in ".local" and hold no white space,
// no control character and none of "/?#@:%[]". The URL is built from those parts, the host in its
// received letter case with its bytes of other than ASCII percent-encoded; a name that gives no URL
// host gives nothing.
std::optional<std::string> baseURL(std::string_view hostName, std::int64_t resolvedPort);

}  // namespace orvanta::protocol::BonjourDiscovery
