#include "platform/x11/FramePacer.h"

#include <algorithm>

namespace orvanta::platform::x11 {

std::uint64_t FramePacer::wait(std::uint64_t now) const {
    if (!last_) return 0;
    const std::uint64_t allowedAt = std::max(*last_ + interval_ - tolerance(), scheduled_ - interval_);
    return allowedAt > now ? allowedAt - now : 0;
}

void FramePacer::grabbed(std::uint64_t now) {
    last_ = now;
    scheduled_ = std::max(scheduled_, now) + interval_;
}

}  // namespace orvanta::platform::x11
