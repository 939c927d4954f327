#include "protocol/BonjourDiscovery.h"

#include <algorithm>

#include "base/Url.h"
#include "base/Utf8.h"

namespace orvanta::protocol::BonjourDiscovery {
namespace {

constexpr std::string_view kLocalSuffix = ".local";
constexpr std::u32string_view kForbidden = U"/?#@:%[]";

// Unicode's White_Space property.
bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool endsWithLocal(std::string_view name) {
    if (name.size() < kLocalSuffix.size()) return false;
    return std::equal(kLocalSuffix.begin(), kLocalSuffix.end(), name.end() - kLocalSuffix.size(),
                      [](char want, char got) { return want == (got >= 'A' && got <= 'Z' ? got - 'A' + 'a' : got); });
}

// Control characters (Unicode's Cc) have no place in a host name; a NUL would also cut the name
// short where it is handed to the resolver as a C string.
bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// The host name as a URL carries it: the bytes of other than ASCII percent-encoded. Multicast DNS
// names are UTF-8 on the wire, not IDNA, so the decoded host is the name the responder answers to.
std::string urlHost(std::string_view name) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    std::string host;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            host += c;
        } else {
            host += '%';
            host += kHexDigits[byte >> 4];
            host += kHexDigits[byte & 0x0F];
        }
    }
    return host;
}

}  // namespace

std::optional<std::string> baseURL(std::string_view hostName, std::int64_t resolvedPort) {
    if (hostName.ends_with('.')) hostName.remove_suffix(1);
    if (resolvedPort < 1 || resolvedPort > 65535) return std::nullopt;
    if (!endsWithLocal(hostName)) return std::nullopt;
    // Every scalar is checked, not only the first of each grapheme cluster: a combining mark must
    // not hide a "/" or a space from the test.
    auto scalars = base::decodeUtf8(hostName);
    if (!scalars) return std::nullopt;
    for (char32_t c : *scalars) {
        if (isWhiteSpace(c) || isControl(c) || kForbidden.find(c) != std::u32string_view::npos) return std::nullopt;
    }
    base::Url url;
    url.scheme = "http";
    url.host = urlHost(hostName);
    url.port = static_cast<std::uint16_t>(resolvedPort);
    // Built from its parts, the URL must read back as the same parts: a host holding what a URL
    // host may not (a quote, a brace, a backslash) gives none.
    std::string text = url.text();
    if (base::Url::parse(text) != url) return std::nullopt;
    return text;
}

}  // namespace orvanta::protocol::BonjourDiscovery
