#include "platform/beast/UrlTarget.h"

#include <cctype>
#include <cstdint>

#include "base/Url.h"

namespace orvanta::platform {

std::expected<UrlTarget, std::string> parseUrlTarget(const std::string& text, std::string_view plainScheme,
                                                     std::string_view tlsScheme) {
    auto url = base::Url::parse(text);
    if (!url) return std::unexpected(base::describe(url.error()));
    std::string scheme = url->scheme;
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != plainScheme && scheme != tlsScheme) {
        return std::unexpected("not a " + std::string(plainScheme) + " or " + std::string(tlsScheme) + " URL");
    }
    auto host = url->decodedHost();
    if (!host || host->empty()) return std::unexpected("no host");

    UrlTarget target;
    target.tls = scheme == tlsScheme;
    target.host = *host;
    if (target.host.starts_with('[') && target.host.ends_with(']')) {
        target.host = target.host.substr(1, target.host.size() - 2);
    }
    const std::uint16_t defaultPort = target.tls ? 443 : 80;
    const std::uint16_t port = url->port.value_or(defaultPort);
    target.service = std::to_string(port);
    target.hostHeader = *url->host + (port == defaultPort ? "" : ":" + target.service);
    target.path = url->path.empty() ? "/" : url->path;
    if (url->query) target.path += "?" + *url->query;
    return target;
}

}  // namespace orvanta::platform
