#include "protocol/BonjourDiscovery.h"

#include <algorithm>

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
    return "http://" + std::string(hostName) + ":" + std::to_string(resolvedPort);
}

}  // namespace orvanta::protocol::BonjourDiscovery
