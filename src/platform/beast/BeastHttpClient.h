// HttpClient over Boost.Beast and OpenSSL: one connection per request, I/O on a queue of its own,
// certificates checked against the trust store and the URL's host name.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/HttpClient.h"

namespace orvanta::platform {

class BeastHttpClient final : public HttpClient {
public:
    struct Options {
        // PEM certificates trusted instead of the system's store (tests trust their own this way).
        std::optional<std::string> trustedCertificatesPem;
    };

    BeastHttpClient();
    // Throws std::runtime_error when the trust store cannot be loaded.
    explicit BeastHttpClient(Options options);
    // Requests still in flight are dropped without their completions.
    ~BeastHttpClient() override;

    BeastHttpClient(const BeastHttpClient&) = delete;
    BeastHttpClient& operator=(const BeastHttpClient&) = delete;

    HttpRequestHandle send(HttpRequest request, base::Executor& executor, HttpCompletion completion) override;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;  // shared with time-out and cancel hops, which may outlive a call
};

}  // namespace orvanta::platform
