// URL references (RFC 3986) split into their components and put back together: for base URLs that
// users type or paste, pair links, and the request URLs built from them.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::base {

struct UrlError {
    enum class Kind {
        invalidCharacter,  // a character the component may not hold (spaces, non-ASCII, "<" ...)
        invalidEscape,     // "%" not followed by two hexadecimal digits
        invalidScheme,
        invalidHost,  // a bracketed literal that is no IPv6 or IPvFuture address
        invalidPort,  // not digits, or above 65535
        invalidPath,  // a relative path whose first segment holds ":"
    };
    Kind kind;
    std::string part;  // the offending component as written
    bool operator==(const UrlError&) const = default;
};

std::string describe(const UrlError& error);

// One "name=value" piece of a query, percent-decoded ("+" stays "+"). `value` is absent when the
// piece has no "=" or its value does not decode to UTF-8; a name that does not decode stays as written.
struct UrlQueryItem {
    std::string name;
    std::optional<std::string> value;
    bool operator==(const UrlQueryItem&) const = default;
};

// The components of a URL reference as written, percent escapes kept, so that text() gives back
// the parsed text. `host` is present exactly when there is an authority ("//"), and may then be
// empty ("file:///"); an IP literal keeps its brackets ("[::1]").
struct Url {
    std::string scheme;  // empty for a relative reference
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> host;
    std::optional<std::uint16_t> port;
    std::string path;
    std::optional<std::string> query;     // without the "?"
    std::optional<std::string> fragment;  // without the "#"
    bool operator==(const Url&) const = default;

    static std::expected<Url, UrlError> parse(std::string_view text);

    // The reference as text; an empty port ("host:") is not kept.
    std::string text() const;

    // The host percent-decoded, or as written when that is not UTF-8.
    std::optional<std::string> decodedHost() const;
    // The query's items in order; none without a query or with an empty one.
    std::vector<UrlQueryItem> queryItems() const;

    // This URL with the "/"-separated segments of `path` (plain text, each percent-encoded here)
    // appended to its path; a path already on the URL stays in front, and exactly one "/" joins.
    Url appendingPath(std::string_view path) const;
};

// Nothing when an escape is malformed or the decoded bytes are not UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

// Where a plain text is put: a path segment keeps what a segment may hold ("@", ":", sub-delimiters);
// a query item's name or value keeps only unreserved characters, so "&", "=", "+", "/" and ":" are escaped.
enum class UrlPart { pathSegment, queryItem };
std::string percentEncode(std::string_view text, UrlPart part);

// `text` without the white space and line breaks (Unicode White_Space) at both ends, as pasted
// addresses, links and identifiers are compared.
std::string_view trimWhitespace(std::string_view text);

}  // namespace orvanta::base
