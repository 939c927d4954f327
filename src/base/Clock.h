// The uptime clock: monotonic microseconds since an arbitrary start, not counting suspend. Pings,
// acknowledgements, stalls and presentation times use it; wall time is for logs and stored dates.
#pragma once

#include <cstdint>

namespace orvanta::base {

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::uint64_t uptimeMicros() const = 0;
};

class SystemClock final : public Clock {
public:
    std::uint64_t uptimeMicros() const override;
    static const SystemClock& shared();
};

}  // namespace orvanta::base
