// When the next grab may be taken: on a grid of whole frame intervals, so that the rate holds at
// the maximum instead of losing the time the wake-ups come late by, and at once when a change
// arrives after a still spell, with the grid starting again from that grab.
#pragma once

#include <cstdint>
#include <optional>

namespace orvanta::platform::x11 {

class FramePacer {
public:
    explicit FramePacer(std::uint64_t intervalMicros) : interval_(intervalMicros) {}

    std::uint64_t interval() const { return interval_; }
    bool allows(std::uint64_t now) const { return !due_ || now >= *due_; }
    // Microseconds until a grab is allowed; 0 when it is already.
    std::uint64_t wait(std::uint64_t now) const { return allows(now) ? 0 : *due_ - now; }
    void grabbed(std::uint64_t now);

private:
    const std::uint64_t interval_;
    std::optional<std::uint64_t> due_;  // the grid point the next grab waits for
};

}  // namespace orvanta::platform::x11
