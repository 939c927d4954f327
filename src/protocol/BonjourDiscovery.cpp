#include "protocol/BonjourDiscovery.h"

#include <unicode/uidna.h>

#include <algorithm>
#include <array>
#include <memory>

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

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The IDNA (punycode) form of a label with non-ASCII scalars, or nothing when it has none.
std::optional<std::string> idnaLabel(std::string_view label) {
    // Immutable once open, so one instance serves every thread.
    static const std::unique_ptr<UIDNA, decltype(&uidna_close)> idna = [] {
        UErrorCode status = U_ZERO_ERROR;
        return std::unique_ptr<UIDNA, decltype(&uidna_close)>(
            uidna_openUTS46(UIDNA_NONTRANSITIONAL_TO_ASCII, &status), &uidna_close);
    }();
    if (!idna) return std::nullopt;
    std::array<char, 256> out{};  // far above a label's 63 bytes, which ICU checks
    UIDNAInfo info = UIDNA_INFO_INITIALIZER;
    UErrorCode status = U_ZERO_ERROR;
    const std::int32_t length = uidna_labelToASCII_UTF8(idna.get(), label.data(), static_cast<std::int32_t>(label.size()),
                                                        out.data(), static_cast<std::int32_t>(out.size()), &info, &status);
    if (U_FAILURE(status) || info.errors != 0) return std::nullopt;
    return std::string(out.data(), static_cast<std::size_t>(length));
}

// The host name as a URL carries it: ASCII labels as received, the others in their IDNA form.
std::optional<std::string> urlHost(std::string_view name) {
    std::string host;
    while (true) {
        const std::size_t dot = name.find('.');
        const std::string_view label = name.substr(0, dot);
        if (isAscii(label)) {
            host += label;
        } else if (auto encoded = idnaLabel(label)) {
            host += *encoded;
        } else {
            return std::nullopt;
        }
        if (dot == std::string_view::npos) return host;
        host += '.';
        name.remove_prefix(dot + 1);
    }
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
        if (isWhiteSpace(c) || kForbidden.find(c) != std::u32string_view::npos) return std::nullopt;
    }
    auto host = urlHost(hostName);
    if (!host) return std::nullopt;
    base::Url url;
    url.scheme = "http";
    url.host = std::move(*host);
    url.port = static_cast<std::uint16_t>(resolvedPort);
    // Built from its parts, the URL must read back as the same parts: a host holding what a URL
    // host may not (a NUL, a control character) gives none.
    std::string text = url.text();
    if (base::Url::parse(text) != url) return std::nullopt;
    return text;
}

}  // namespace orvanta::protocol::BonjourDiscovery
