// A ServiceAdvertiser that records what it was asked to publish and reports whatever the test
// tells it to, the local-network policy denial included, on the owner's executor.
#pragma once

#include <vector>

#include "base/Executor.h"
#include "platform/ServiceAdvertiser.h"

namespace orvanta::testing {

class FakeServiceAdvertiser final : public platform::ServiceAdvertiser {
public:
    explicit FakeServiceAdvertiser(base::Executor& owner) : owner_(owner) {}

    void publish(const platform::ServiceRegistration& registration) override {
        published.push_back(registration);
        active = true;
    }
    void withdraw() override {
        ++withdrawals;
        active = false;
    }

    // Delivered like a real backend's result: later, on the owner's executor.
    void report(platform::AdvertisementState state, std::string detail = {}) {
        platform::AdvertisementEvent event{state, published.empty() ? std::string() : published.back().name,
                                           std::move(detail)};
        owner_.async([this, event] {
            if (onEvent) onEvent(event);
        });
    }

    std::vector<platform::ServiceRegistration> published;
    int withdrawals = 0;
    bool active = false;

private:
    base::Executor& owner_;
};

}  // namespace orvanta::testing
