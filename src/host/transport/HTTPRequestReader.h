// Reading one HTTP/1.1 request from the bytes of a connection. Every byte comes from the network,
// so this is pure: tested and fuzzed without sockets.
#pragma once

#include <cstddef>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/Bytes.h"

namespace orvanta::host {

struct HTTPRequest {
    std::string method;  // as sent, case-sensitive
    std::string path;    // the request target up to its first "?"
    // Names lower-cased exactly as written before the colon; values trimmed of horizontal white
    // space. A repeated name keeps its last value.
    std::map<std::string, std::string> headers;
    bool isLAN = false;  // arrived on the LAN listener
    base::Bytes body;    // "POST" only: exactly Content-Length bytes

    bool operator==(const HTTPRequest&) const = default;
};

// Why a request was not read. The first three end the connection without a reply; the other two
// are answered (see replyStatus).
struct RequestTooLarge {
    std::size_t receivedBytes = 0;  // more than 20480 without a complete request
    bool operator==(const RequestTooLarge&) const = default;
};
struct RequestHeadTooLarge {
    std::size_t headBytes = 0;  // more than 16384 before the blank line
    bool operator==(const RequestHeadTooLarge&) const = default;
};
struct RequestEndedEarly {
    std::size_t receivedBytes = 0;  // the peer ended, or the transport failed, mid-request
    bool operator==(const RequestEndedEarly&) const = default;
};
struct MalformedRequestLine {
    std::string line;
    bool operator==(const MalformedRequestLine&) const = default;
};
struct BadContentLength {
    std::string value;  // over 4096, negative, or not a decimal number
    bool operator==(const BadContentLength&) const = default;
};
using HTTPRequestError =
    std::variant<RequestTooLarge, RequestHeadTooLarge, RequestEndedEarly, MalformedRequestLine, BadContentLength>;

// The status line text an error is answered with, or nothing when the connection is just closed.
std::optional<std::string_view> replyStatus(const HTTPRequestError& error);

// A complete request and the bytes that followed its head (after an upgrade they belong to the
// WebSocket stream). A "POST" carries its body instead, and bytes beyond it are dropped.
struct ReceivedRequest {
    HTTPRequest request;
    base::Bytes leftover;
    bool operator==(const ReceivedRequest&) const = default;
};

// The head is everything before the first CR LF CR LF. Invalid UTF-8 reads as U+FFFD, so every
// text of the request is valid UTF-8.
std::expected<HTTPRequest, MalformedRequestLine> parseRequestHead(std::string_view head, bool isLAN);

// 0 when the header is absent; an optional sign and ASCII digits, at most 4096, otherwise.
std::expected<std::size_t, BadContentLength> declaredContentLength(const HTTPRequest& request);

// Accumulates the chunks of one connection until a request is complete or refused. Scanning
// resumes where the previous chunk ended, so a request trickled in byte by byte costs linear time.
class HTTPRequestReader {
public:
    static constexpr std::size_t kMaxReceivedBytes = 20480;
    static constexpr std::size_t kMaxHeadBytes = 16384;
    static constexpr std::size_t kMaxBodyBytes = 4096;

    using Result = std::expected<std::optional<ReceivedRequest>, HTTPRequestError>;

    explicit HTTPRequestReader(bool isLAN) : isLAN_(isLAN) {}

    // Nothing while more bytes are needed. Once it has given a request or an error, the reader
    // has no further use.
    Result feed(base::ByteView chunk);
    // The peer ended the stream, or the transport failed, before the request was complete.
    HTTPRequestError end() const { return RequestEndedEarly{received_.size()}; }

private:
    struct Head {
        HTTPRequest request;
        std::size_t bodyStart = 0;
        std::size_t contentLength = 0;
    };

    bool isLAN_;
    base::Bytes received_;
    std::size_t scanned_ = 0;  // no head end begins before this offset
    std::optional<Head> head_;
};

// Header names and the values compared with them are protocol tokens, which are ASCII.
std::string asciiLower(std::string_view text);
// The value of the header `name` (lower-case), empty when absent.
std::string headerValue(const HTTPRequest& request, const std::string& name);

}  // namespace orvanta::host
