// One HTTP request and its outcome, for the client's requests to hosts over http or https
// (pairing, capability probes). Redirects are not followed: a 3xx is an answer like any other.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Executor.h"

namespace orvanta::platform {

struct HttpHeader {
    std::string name;
    std::string value;
    bool operator==(const HttpHeader&) const = default;
};

struct HttpRequest {
    static constexpr std::size_t kDefaultMaxResponseBodyBytes = 1 << 20;

    std::string method = "GET";
    std::string url;  // absolute, "http" or "https"
    std::vector<HttpHeader> headers;
    std::string body;
    // Covers the whole exchange, from name resolution to the last byte of the response.
    base::Micros timeout = std::chrono::seconds(60);
    // A longer body ends the request with tooLarge instead of filling memory.
    std::size_t maxResponseBodyBytes = kDefaultMaxResponseBodyBytes;
    bool operator==(const HttpRequest&) const = default;
};

struct HttpResponse {
    int status = 0;
    std::vector<HttpHeader> headers;  // in received order, names as received
    std::string body;
    bool operator==(const HttpResponse&) const = default;
};

// Why a request produced no response.
struct HttpError {
    enum class Kind {
        invalidUrl,      // not an absolute http or https URL with a host
        unreachable,     // the name did not resolve or no address accepted the connection
        connectionLost,  // the peer closed or reset the connection before the response was complete
        timedOut,
        tlsFailure,  // handshake failed: untrusted or mismatched certificate, protocol error
        tooLarge,    // the response head or body exceeded its limit
        notHttp,     // the peer answered with something that is not an HTTP response
        cancelled,
    };
    Kind kind;
    std::string detail;  // what went wrong, for logs
    bool operator==(const HttpError&) const = default;
};

inline std::string_view toString(HttpError::Kind kind) {
    using enum HttpError::Kind;
    switch (kind) {
        case invalidUrl:
            return "invalid URL";
        case unreachable:
            return "host unreachable";
        case connectionLost:
            return "connection lost";
        case timedOut:
            return "timed out";
        case tlsFailure:
            return "TLS failure";
        case tooLarge:
            return "response too large";
        case notHttp:
            return "not an HTTP response";
        case cancelled:
            return "cancelled";
    }
    return "unknown";
}

inline std::string describe(const HttpError& error) {
    std::string text(toString(error.kind));
    if (!error.detail.empty()) text += ": " + error.detail;
    return text;
}

using HttpResult = std::expected<HttpResponse, HttpError>;
using HttpCompletion = std::function<void(HttpResult)>;

// Cancels a request in flight; its completion then reports `cancelled`. Safe from any thread and
// idempotent; a request that already finished is not affected.
class HttpRequestHandle {
public:
    HttpRequestHandle() = default;
    explicit HttpRequestHandle(std::function<void()> cancel)
        : cancel_(std::make_shared<std::function<void()>>(std::move(cancel))) {}

    void cancel() const {
        if (cancel_ && *cancel_) (*cancel_)();
    }

private:
    std::shared_ptr<std::function<void()>> cancel_;
};

class HttpClient {
public:
    virtual ~HttpClient() = default;

    // Sends `request`. `completion` runs exactly once on `executor`, never inline, unless the
    // client is destroyed first, which drops it. The time-out is measured on `executor` as well,
    // so that it follows the caller's clock. `executor` must outlive the client.
    virtual HttpRequestHandle send(HttpRequest request, base::Executor& executor, HttpCompletion completion) = 0;
};

}  // namespace orvanta::platform
