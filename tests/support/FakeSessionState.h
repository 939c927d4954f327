// Lock and display-sleep answers that a test sets, or scripts per call.
#pragma once

#include <deque>

#include "platform/SessionState.h"

namespace orvanta::testing {

class FakeSessionState final : public platform::SessionState, public platform::DisplaySleep {
public:
    // Answers the scripted values first, one per call, then `locked`.
    std::optional<bool> screenLocked() override {
        ++lockQueries;
        if (!script.empty()) {
            const auto answer = script.front();
            script.pop_front();
            return answer;
        }
        return locked;
    }
    std::optional<bool> displayAsleep() override { return asleep; }
    bool wakeDisplay() override {
        ++wakes;
        const bool was = asleep == true;
        asleep = false;
        return was;
    }

    std::optional<bool> locked = false;
    std::deque<std::optional<bool>> script;
    std::optional<bool> asleep = false;
    int lockQueries = 0;
    int wakes = 0;
};

}  // namespace orvanta::testing
