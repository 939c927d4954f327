// Publishes one DNS-SD service for this host and reports how its registration goes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace orvanta::platform {

struct ServiceRegistration {
    std::string name;  // the instance name users see
    std::string type;  // "_service._tcp"
    std::string domain;
    std::uint16_t port = 0;
    std::map<std::string, std::string> txt;

    bool operator==(const ServiceRegistration&) const = default;
};

enum class AdvertisementState {
    registered,    // the service is announced under `name`
    renamed,       // `name` collided with another service; publishing again under `detail`
    removed,       // the service is no longer announced (withdrawn, or the daemon went away)
    failed,        // the service could not be published; `detail` says why
    policyDenied,  // the system refused DNS-SD for lack of the local-network permission
};

struct AdvertisementEvent {
    AdvertisementState state = AdvertisementState::registered;
    std::string name;
    std::string detail;

    bool operator==(const AdvertisementEvent&) const = default;
};

std::string_view advertisementStateName(AdvertisementState state);

// One line for logs: "renamed: Mac -> Mac #2", "failed: Mac (Daemon not running)".
std::string describe(const AdvertisementEvent& event);

// Lifecycle: publish starts (or replaces) the one advertisement; withdraw ends it. The backend
// keeps the service announced across a restart of the system's DNS-SD daemon. Every event is
// delivered on the executor the backend was created with, never inline from publish or withdraw.
class ServiceAdvertiser {
public:
    virtual ~ServiceAdvertiser() = default;

    virtual void publish(const ServiceRegistration& registration) = 0;
    virtual void withdraw() = 0;

    std::function<void(const AdvertisementEvent&)> onEvent;
};

inline std::string_view advertisementStateName(AdvertisementState state) {
    switch (state) {
        case AdvertisementState::registered:
            return "registered";
        case AdvertisementState::renamed:
            return "renamed";
        case AdvertisementState::removed:
            return "removed";
        case AdvertisementState::failed:
            return "failed";
        case AdvertisementState::policyDenied:
            return "policy denied";
    }
    return "unknown";
}

inline std::string describe(const AdvertisementEvent& event) {
    std::string text(advertisementStateName(event.state));
    text += ": " + event.name;
    if (event.state == AdvertisementState::renamed) {
        text += " -> " + event.detail;
    } else if (!event.detail.empty()) {
        text += " (" + event.detail + ")";
    }
    return text;
}

}  // namespace orvanta::platform
