// When the next grab may be taken, so that a desktop changing at the maximum rate is grabbed as
// each change arrives, and a faster one at the maximum rate on average:
//  - a grab comes at least an interval less a quarter after the last, so that a change arriving
//    a little early is taken at once, and the grabs catch up with the content after a late one;
//  - grabs are counted against a schedule of one an interval, which they may run ahead of by one
//    interval at most (a change after a still spell starts the schedule afresh).
// Waits are to the microsecond.
#pragma once

#include <cstdint>
#include <optional>

namespace orvanta::platform::x11 {

class FramePacer {
public:
    explicit FramePacer(std::uint64_t intervalMicros) : interval_(intervalMicros) {}

    std::uint64_t interval() const { return interval_; }
    std::uint64_t tolerance() const { return interval_ / 4; }
    bool allows(std::uint64_t now) const { return wait(now) == 0; }
    // Microseconds until a grab is allowed; 0 when it is already.
    std::uint64_t wait(std::uint64_t now) const;
    void grabbed(std::uint64_t now);

private:
    const std::uint64_t interval_;
    std::optional<std::uint64_t> last_;  // the last grab
    std::uint64_t scheduled_ = 0;        // where the schedule stands after the grabs so far
};

}  // namespace orvanta::platform::x11
