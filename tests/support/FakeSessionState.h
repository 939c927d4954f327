// Lock and display-sleep answers that a test sets.
#pragma once

#include "platform/SessionState.h"

namespace orvanta::testing {

class FakeSessionState final : public platform::SessionState, public platform::DisplaySleep {
public:
    std::optional<bool> screenLocked() override { return locked; }
    std::optional<bool> displayAsleep() override { return asleep; }
    bool wakeDisplay() override {
        const bool was = asleep == true;
        asleep = false;
        return was;
    }

    std::optional<bool> locked = false;
    std::optional<bool> asleep = false;
};

}  // namespace orvanta::testing
