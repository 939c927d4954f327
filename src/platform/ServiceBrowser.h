// Browses one DNS-SD service type in one domain: reports the services present as they come and
// go, and resolves a service to its host name, port, addresses and TXT record on request.
#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Executor.h"

namespace orvanta::platform {

// One service instance, however many interfaces and address families announce it.
struct ServiceEndpoint {
    std::string name;
    std::string type;  // "_service._tcp", with or without a final "."
    std::string domain;
    bool operator==(const ServiceEndpoint&) const = default;
    auto operator<=>(const ServiceEndpoint&) const = default;
};

struct ResolvedService {
    std::string name;      // the instance name
    std::string hostName;  // "machine.local", as the responder announced it
    std::uint16_t port = 0;
    std::vector<std::string> addresses;      // numeric, as reported with the resolution
    std::map<std::string, std::string> txt;  // the first value of each key; a key without "=" maps to ""
    bool operator==(const ResolvedService&) const = default;
};

struct ResolveError {
    enum class Kind { timedOut, failed };
    Kind kind;
    std::string detail;
    bool operator==(const ResolveError&) const = default;
};

using ResolveResult = std::expected<ResolvedService, ResolveError>;

// Lifecycle: made idle; start() browses; cancel() ends browsing and every resolution for good.
// Every callback runs on the executor the backend was made with, never inline from a call, and
// none runs after cancel() or destruction, except the one report of `cancelled`.
class ServiceBrowser {
public:
    enum class State {
        setup,      // not started
        ready,      // browsing; results follow
        waiting,    // the system's DNS-SD service is not there (yet); browsing resumes when it is
        failed,     // browsing stopped on an error
        cancelled,  // after cancel()
    };

    using ResolveId = std::uint64_t;
    using ResolveCompletion = std::function<void(ResolveResult)>;

    virtual ~ServiceBrowser() = default;

    virtual void start() = 0;
    virtual void cancel() = 0;

    // Resolves `endpoint`, giving up after `timeout`; the completion runs once unless the
    // resolution is stopped first.
    virtual ResolveId resolve(const ServiceEndpoint& endpoint, base::Micros timeout, ResolveCompletion completion) = 0;
    // Stops a resolution; its completion never runs. Unknown or finished ids are ignored.
    virtual void stopResolving(ResolveId id) = 0;

    std::function<void(State)> onStateChanged;
    // The complete current set of services, after each change.
    std::function<void(const std::vector<ServiceEndpoint>&)> onResultsChanged;
};

using ServiceBrowserFactory =
    std::function<std::unique_ptr<ServiceBrowser>(std::string_view type, std::string_view domain)>;

}  // namespace orvanta::platform
