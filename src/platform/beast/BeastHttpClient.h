// HttpClient over Boost.Beast and OpenSSL: one connection per request, I/O on a queue of its own,
// certificates checked against the trust store and the URL's host name. An IP-literal host is
// connected to as it stands; a name is looked up on a thread of its own, so that a lookup that
// never answers (a ".local" name nobody claims) delays no other request and can be abandoned.
#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/HttpClient.h"

namespace orvanta::platform {

class BeastHttpClient final : public HttpClient {
public:
    // A host name's addresses as text, or why it has none. Blocking; called on a thread of its own.
    using LookUp = std::function<std::expected<std::vector<std::string>, std::string>(const std::string& host)>;

    struct Options {
        // PEM certificates trusted instead of the system's store (tests trust their own this way).
        std::optional<std::string> trustedCertificatesPem;
        // The system's resolver when unset.
        LookUp lookUp;
    };

    BeastHttpClient();
    // Throws std::runtime_error when the trust store cannot be loaded.
    explicit BeastHttpClient(Options options);
    // Requests still in flight are dropped without their completions; a lookup still running is
    // abandoned, not waited for.
    ~BeastHttpClient() override;

    BeastHttpClient(const BeastHttpClient&) = delete;
    BeastHttpClient& operator=(const BeastHttpClient&) = delete;

    HttpRequestHandle send(HttpRequest request, base::Executor& executor, HttpCompletion completion) override;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;  // shared with time-out and cancel hops, which may outlive a call
};

}  // namespace orvanta::platform
