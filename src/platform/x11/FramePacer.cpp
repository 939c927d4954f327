#include "platform/x11/FramePacer.h"

namespace orvanta::platform::x11 {

void FramePacer::grabbed(std::uint64_t now) {
    // A grab within its slot keeps the grid; one a slot or more late (nothing changed meanwhile)
    // starts it afresh.
    due_ = due_ && now < *due_ + interval_ ? *due_ + interval_ : now + interval_;
}

}  // namespace orvanta::platform::x11
