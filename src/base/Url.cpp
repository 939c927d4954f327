#include "base/Url.h"

#include <arpa/inet.h>

#include <array>
#include <charconv>

#include "base/Utf8.h"

namespace orvanta::base {
namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) { return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos; }

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

std::unexpected<UrlError> fail(UrlError::Kind kind, std::string_view part) {
    return std::unexpected(UrlError{kind, std::string(part)});
}

// Every character must be unreserved, a sub-delimiter, a well-formed escape or one of `extra`.
std::expected<void, UrlError> checkCharacters(std::string_view part, std::string_view extra) {
    for (std::size_t i = 0; i < part.size(); ++i) {
        char c = part[i];
        if (c == '%') {
            if (i + 2 >= part.size() || !isHex(part[i + 1]) || !isHex(part[i + 2])) {
                return fail(UrlError::Kind::invalidEscape, part);
            }
            i += 2;
        } else if (!isUnreserved(c) && !isSubDelim(c) && extra.find(c) == std::string_view::npos) {
            return fail(UrlError::Kind::invalidCharacter, part);
        }
    }
    return {};
}

bool isScheme(std::string_view text) {
    if (text.empty() || !isAlpha(text.front())) return false;
    for (char c : text) {
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

// "v" 1*HEXDIG "." 1*( unreserved / sub-delims / ":" )
bool isIpFuture(std::string_view text) {
    if (text.size() < 4 || (text[0] != 'v' && text[0] != 'V')) return false;
    std::size_t dot = text.find('.', 1);
    if (dot == std::string_view::npos || dot == 1 || dot + 1 == text.size()) return false;
    for (char c : text.substr(1, dot - 1)) {
        if (!isHex(c)) return false;
    }
    for (char c : text.substr(dot + 1)) {
        if (!isUnreserved(c) && !isSubDelim(c) && c != ':') return false;
    }
    return true;
}

bool isIpLiteral(std::string_view bracketed) {
    std::string_view inner = bracketed.substr(1, bracketed.size() - 2);
    if (isIpFuture(inner)) return true;
    // inet_pton reads a C string: a NUL or anything else an IPv6 address cannot hold would cut
    // the text it checks short of what the URL carries.
    for (char c : inner) {
        if (!isHex(c) && c != ':' && c != '.') return false;
    }
    std::array<unsigned char, 16> address{};
    return inet_pton(AF_INET6, std::string(inner).c_str(), address.data()) == 1;
}

std::expected<std::optional<std::uint16_t>, UrlError> parsePort(std::string_view text) {
    if (text.empty()) return std::nullopt;
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 65535) {
        return fail(UrlError::Kind::invalidPort, text);
    }
    return static_cast<std::uint16_t>(value);
}

std::expected<void, UrlError> parseAuthority(std::string_view authority, Url& url) {
    std::size_t at = authority.find('@');
    if (at != std::string_view::npos) {
        std::string_view userInfo = authority.substr(0, at);
        if (auto ok = checkCharacters(userInfo, ":"); !ok) return ok;
        std::size_t colon = userInfo.find(':');
        url.user = std::string(userInfo.substr(0, colon));
        if (colon != std::string_view::npos) url.password = std::string(userInfo.substr(colon + 1));
        authority.remove_prefix(at + 1);
    }
    std::string_view host;
    std::string_view rest;
    if (authority.starts_with('[')) {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return fail(UrlError::Kind::invalidHost, authority);
        host = authority.substr(0, close + 1);
        rest = authority.substr(close + 1);
        if (!isIpLiteral(host)) return fail(UrlError::Kind::invalidHost, host);
        if (!rest.empty() && rest.front() != ':') return fail(UrlError::Kind::invalidHost, authority);
    } else {
        std::size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view{} : authority.substr(colon);
        if (auto ok = checkCharacters(host, ""); !ok) return ok;
    }
    url.host = std::string(host);
    if (!rest.empty()) {
        auto port = parsePort(rest.substr(1));
        if (!port) return std::unexpected(port.error());
        url.port = *port;
    }
    return {};
}

// The UTF-8 scalar that ends `text`, and its length in bytes; {0, 0} when the end is not one.
std::pair<char32_t, std::size_t> lastScalar(std::string_view text) {
    std::size_t start = text.size();
    while (start > 0 && text.size() - start < 4) {
        --start;
        if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) break;
    }
    auto decoded = decodeUtf8(text.substr(start));
    if (!decoded || decoded->size() != 1) return {0, 0};
    return {decoded->front(), text.size() - start};
}

std::pair<char32_t, std::size_t> firstScalar(std::string_view text) {
    if (text.empty()) return {0, 0};
    auto lead = static_cast<unsigned char>(text.front());
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    auto decoded = decodeUtf8(text.substr(0, length));
    if (!decoded || decoded->size() != 1) return {0, 0};
    return {decoded->front(), length};
}

bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

}  // namespace

std::string describe(const UrlError& error) {
    switch (error.kind) {
        case UrlError::Kind::invalidCharacter:
            return "invalid character in URL part \"" + error.part + "\"";
        case UrlError::Kind::invalidEscape:
            return "malformed percent escape in URL part \"" + error.part + "\"";
        case UrlError::Kind::invalidScheme:
            return "invalid URL scheme \"" + error.part + "\"";
        case UrlError::Kind::invalidHost:
            return "invalid URL host \"" + error.part + "\"";
        case UrlError::Kind::invalidPort:
            return "invalid URL port \"" + error.part + "\"";
        case UrlError::Kind::invalidPath:
            return "invalid relative URL path \"" + error.part + "\"";
    }
    return "invalid URL";
}

std::expected<Url, UrlError> Url::parse(std::string_view text) {
    Url url;
    std::string_view rest = text;

    std::size_t schemeEnd = rest.find_first_of(":/?#");
    if (schemeEnd != std::string_view::npos && rest[schemeEnd] == ':') {
        std::string_view scheme = rest.substr(0, schemeEnd);
        // A colon in the first segment of a relative path would read as a scheme.
        if (!isScheme(scheme)) return fail(UrlError::Kind::invalidScheme, scheme);
        url.scheme = std::string(scheme);
        rest.remove_prefix(schemeEnd + 1);
    }

    if (std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
        std::string_view fragment = rest.substr(hash + 1);
        if (auto ok = checkCharacters(fragment, ":@/?"); !ok) return std::unexpected(ok.error());
        url.fragment = std::string(fragment);
        rest = rest.substr(0, hash);
    }
    if (std::size_t question = rest.find('?'); question != std::string_view::npos) {
        std::string_view query = rest.substr(question + 1);
        if (auto ok = checkCharacters(query, ":@/?"); !ok) return std::unexpected(ok.error());
        url.query = std::string(query);
        rest = rest.substr(0, question);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        std::size_t slash = rest.find('/');
        if (auto ok = parseAuthority(rest.substr(0, slash), url); !ok) return std::unexpected(ok.error());
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
    }
    if (auto ok = checkCharacters(rest, ":@/"); !ok) return std::unexpected(ok.error());
    url.path = std::string(rest);
    return url;
}

std::string Url::text() const {
    std::string out;
    if (!scheme.empty()) out += scheme + ":";
    if (host) {
        out += "//";
        if (user) {
            out += *user;
            if (password) out += ":" + *password;
            out += "@";
        }
        out += *host;
        if (port) out += ":" + std::to_string(*port);
    }
    out += path;
    if (query) out += "?" + *query;
    if (fragment) out += "#" + *fragment;
    return out;
}

std::optional<std::string> Url::decodedHost() const {
    if (!host) return std::nullopt;
    return percentDecode(*host).value_or(*host);
}

std::vector<UrlQueryItem> Url::queryItems() const {
    std::vector<UrlQueryItem> items;
    if (!query || query->empty()) return items;
    std::string_view rest = *query;
    while (true) {
        std::size_t amp = rest.find('&');
        std::string_view piece = rest.substr(0, amp);
        std::size_t eq = piece.find('=');
        std::string_view name = piece.substr(0, eq);
        UrlQueryItem item{percentDecode(name).value_or(std::string(name)), std::nullopt};
        if (eq != std::string_view::npos) item.value = percentDecode(piece.substr(eq + 1));
        items.push_back(std::move(item));
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return items;
}

Url Url::appendingPath(std::string_view appended) const {
    Url out = *this;
    while (!appended.empty()) {
        std::size_t slash = appended.find('/');
        std::string_view segment = appended.substr(0, slash);
        if (!segment.empty()) {
            if (!out.path.ends_with('/')) out.path += '/';
            out.path += percentEncode(segment, UrlPart::pathSegment);
        }
        if (slash == std::string_view::npos) break;
        appended.remove_prefix(slash + 1);
    }
    return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return std::nullopt;
        out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
        i += 2;
    }
    if (!isValidUtf8(out)) return std::nullopt;
    return out;
}

std::string percentEncode(std::string_view text, UrlPart part) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        bool keep = isUnreserved(c) || (part == UrlPart::pathSegment && (isSubDelim(c) || c == ':' || c == '@'));
        if (keep) {
            out += c;
        } else {
            auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHexDigits[byte >> 4];
            out += kHexDigits[byte & 0x0F];
        }
    }
    return out;
}

std::string_view trimWhitespace(std::string_view text) {
    while (true) {
        auto [scalar, length] = firstScalar(text);
        if (length == 0 || !isWhiteSpace(scalar)) break;
        text.remove_prefix(length);
    }
    while (true) {
        auto [scalar, length] = lastScalar(text);
        if (length == 0 || !isWhiteSpace(scalar)) break;
        text.remove_suffix(length);
    }
    return text;
}

}  // namespace orvanta::base
