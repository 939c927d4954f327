// Where a Beast client connects, read from its URL.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace orvanta::platform {

struct UrlTarget {
    bool tls = false;
    std::string host;        // for name resolution, SNI and the certificate check: no brackets
    std::string hostHeader;  // as the Host field carries it
    std::string service;     // the port in decimal
    std::string path;        // path and query
};

// Accepts the plain scheme and its TLS twin, in any case; the error says why the URL is refused.
std::expected<UrlTarget, std::string> parseUrlTarget(const std::string& text, std::string_view plainScheme,
                                                     std::string_view tlsScheme);

}  // namespace orvanta::platform
