// The client side of pairing: trades the code a host shows for a device token and the host's
// identifier, in one POST to the host's "/v2/pair". Keeps no state; each call stands alone.
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/Executor.h"
#include "base/Json.h"
#include "base/Url.h"
#include "platform/HttpClient.h"

namespace orvanta::client::PairingClient {

struct Result {
    std::string deviceToken;  // never empty
    std::string hostId;       // never empty
    bool operator==(const Result&) const = default;
};

struct Failure {
    enum class Kind {
        server,           // the host answered with a status other than 200
        noHTTPResponse,   // what came back is not an HTTP response
        invalidResponse,  // a 200 reply whose token or host identifier is empty
    };
    Kind kind;
    std::optional<std::string> message;  // server only: the reply's "message", when it had one
    int status = 0;                      // server only

    static Failure server(std::optional<std::string> message, int status) {
        return {Kind::server, std::move(message), status};
    }
    static Failure noHTTPResponse() { return {Kind::noHTTPResponse, std::nullopt, 0}; }
    static Failure invalidResponse() { return {Kind::invalidResponse, std::nullopt, 0}; }

    // The text shown to the user.
    std::string errorDescription() const;

    bool operator==(const Failure&) const = default;
};

// Everything a pairing can end in besides a Result: a Failure, the transport's error, the
// request body that could not be written (text that is not UTF-8), or a 200 reply that does not
// decode.
using Error = std::variant<Failure, platform::HttpError, base::JsonEncodeError, base::JsonError>;

// A line for logs; a Failure gives its user text.
std::string describe(const Error& error);

using Completion = std::function<void(std::expected<Result, Error>)>;

// POSTs {"code", "deviceId", "deviceName"} to `baseURL` + "/v2/pair" with a 20 s time-out. The
// code is sent without the white space around it. `completion` runs once on `executor`, never
// inline; it is dropped if `http` is destroyed first. The handle abandons the pairing in flight:
// the completion then gets the transport's `cancelled` error.
platform::HttpRequestHandle pair(platform::HttpClient& http, const base::Url& baseURL, std::string_view code,
                                 const std::string& deviceId, const std::string& deviceName, base::Executor& executor,
                                 Completion completion);

}  // namespace orvanta::client::PairingClient
