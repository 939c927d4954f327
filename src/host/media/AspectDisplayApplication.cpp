#include "host/media/AspectDisplayApplication.h"

#include <memory>

#include "base/Clock.h"
#include "host/transport/Support.h"

namespace orvanta::host {

AspectDisplayApplication::AspectDisplayApplication(std::uint32_t id, NowFn now, LogFn log)
    : displayID(id),
      log_(log ? std::move(log) : LogFn([](std::string_view line) { Log::info(line); })),
      now_(now ? std::move(now)
               : NowFn([] { return static_cast<double>(base::SystemClock::shared().uptimeMicros()) / 1e6; })) {}

std::string AspectDisplayApplication::windowText(const WindowKey& key) const {
    return "display=" + std::to_string(displayID) + " window=" + std::to_string(key.id) +
           " pid=" + std::to_string(key.pid);
}

bool AspectDisplayApplication::canMove(const WindowKey& key) const {
    const auto it = failures_.find(key);
    return it == failures_.end() ||
           (it->second.countedFailures <= kMaxCountedFailures && it->second.retryAfter <= now_());
}

void AspectDisplayApplication::recordMove(const WindowKey& key, const std::optional<AspectMoveFailure>& failure) {
    if (!failure) {
        const auto it = failures_.find(key);
        if (it == failures_.end()) return;
        const std::int64_t total = it->second.totalFailures;
        failures_.erase(it);
        log_("display aspect fit: move recovered " + windowText(key) + " retry=" + std::to_string(total));
        return;
    }
    MoveAttempts& record = failures_[key];
    record.totalFailures += 1;
    if (failure->cannotComplete) {
        record.retryAfter = now_() + kCannotCompleteRetrySeconds;
    } else {
        record.countedFailures += 1;
    }
    if (record.totalFailures == 1) {
        log_("display aspect fit: move failed " + windowText(key) + " attempt=1 reason=" + failure->description);
    }
}

void AspectDisplayApplication::recordArrivalOnSweep(const WindowKey& key) {
    const auto it = failures_.find(key);
    if (it == failures_.end() || it->second.totalFailures < 1) return;
    const std::int64_t total = it->second.totalFailures;
    failures_.erase(it);
    log_("display aspect fit: move recovered " + windowText(key) + " retry=" + std::to_string(total - 1) +
         " observed=WindowServer");
}

void AspectDisplayApplication::exclude(const WindowKey& key) {
    failures_[key] = MoveAttempts{0, kMaxCountedFailures + 1, 0};
}

void AspectDisplayApplication::recordWindowList(bool available) {
    if (available) {
        listFailures_ = 0;
        return;
    }
    listFailures_ += 1;
    log_(std::string("display aspect fit: move ") + (listFailures_ == kListFailureLimit ? "stopped" : "failed") +
         " display=" + std::to_string(displayID) + " attempt=" + std::to_string(listFailures_) + "/" +
         std::to_string(kListFailureLimit) + " reason=WindowServer list unavailable");
}

void AspectDisplayApplication::sweep(const std::function<bool()>& promote, const std::function<void()>& switchCapture,
                                     bool captureActive, const std::function<void(std::function<void()> done)>& move) {
    if (!promote()) return;
    if (!captureSelected) {
        captureSelected = true;
        log_("display aspect fit: selecting virtual capture id=" + std::to_string(displayID));
        switchCapture();
    }
    if (captureActive && !moving && listFailures_ < kListFailureLimit) {
        moving = true;
        move([this, alive = std::weak_ptr<bool>(alive_)] {
            if (alive.lock()) moving = false;
        });
    }
}

}  // namespace orvanta::host
