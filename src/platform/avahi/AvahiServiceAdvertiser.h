// Publishes the host's DNS-SD service through the system's Avahi daemon. Follows the daemon when
// it goes away and comes back, and renames the service the way Avahi advises on a name collision.
#pragma once

#include <memory>

#include "base/Executor.h"
#include "platform/ServiceAdvertiser.h"

namespace orvanta::platform {

class AvahiLoop;

// Avahi's own event loop runs on a thread of its own, and so does every Avahi call that waits for
// the daemon: none of the members below ever waits for it. Every event is handed to `owner`.
// Create, use and destroy it on the owner's executor.
class AvahiServiceAdvertiser final : public ServiceAdvertiser {
public:
    explicit AvahiServiceAdvertiser(base::Executor& owner);
    ~AvahiServiceAdvertiser() override;

    AvahiServiceAdvertiser(const AvahiServiceAdvertiser&) = delete;
    AvahiServiceAdvertiser& operator=(const AvahiServiceAdvertiser&) = delete;

    void publish(const ServiceRegistration& registration) override;
    void withdraw() override;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::unique_ptr<AvahiLoop> loop_;
};

}  // namespace orvanta::platform
