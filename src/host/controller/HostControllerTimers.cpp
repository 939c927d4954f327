// The three repeating timers: keep-alive, housekeeping, and the cursor and latency tick; and the
// reaction to a video connection that stopped reading.
#include <cmath>

#include "base/Json.h"
#include "host/controller/HostController.h"

namespace orvanta::host {
namespace {

constexpr std::int64_t kMigrationEveryTicks = 8;  // 2 s of housekeeping
constexpr std::int64_t kSecondEveryTicks = 4;     // 1 s of housekeeping

std::optional<std::string> cursorText(double x, double y) {
    auto text = base::writeJsonText(base::Json{{"type", "cursor"}, {"x", x}, {"y", y}});
    if (!text) return std::nullopt;
    return *text;
}

}  // namespace

void HostController::startTimers() {
    std::weak_ptr<HostController> weak = weak_from_this();
    auto every = [weak](void (HostController::*tick)()) {
        return [weak, tick] {
            if (auto self = weak.lock()) ((*self).*tick)();
        };
    };
    lastCursorTick_ = lastLatencyLine_ = now();
    timers_.push_back(queue_.repeating(kKeepAliveInterval, every(&HostController::keepAliveTick)));
    timers_.push_back(queue_.repeating(kHousekeepingInterval, every(&HostController::housekeepingTick)));
    // The cursor tick's first fire comes before its interval, so it starts from a one-shot, whose
    // slot the repeating timer then takes (other timers may have been added after it by then).
    const std::size_t cursorSlot = timers_.size();
    timers_.push_back(queue_.asyncAfter(kCursorFirstTick, [weak, every, cursorSlot] {
        auto self = weak.lock();
        if (!self) return;
        self->cursorTick();
        self->timers_[cursorSlot] = self->queue_.repeating(kCursorInterval, every(&HostController::cursorTick));
    }));
}

void HostController::keepAliveTick() { sessions_->keepAlive(); }

void HostController::housekeepingTick() {
    checkVideoStall(now());
    refreshAudio();
    const std::int64_t tick = housekeepingTicks_++;
    if (tick % kMigrationEveryTicks == kMigrationEveryTicks - 1 && aspectFit_.on()) migrateWindowsToVirtualDisplay();
    if ((tick + 1) % kSecondEveryTicks == 0) {
        pause_->pollLock();
        pipeline_->stopIfIdle();
    }
}

void HostController::checkVideoStall(std::uint64_t at) {
    if (const auto graceUntil = aspectFit_.stallGraceUntil()) {
        if (at < *graceUntil) return;
        aspectFit_.endStallGrace();
        sender_->rebaseStallClock(at);
        log("stall check resumed after display arrangement change");
    }
    pipeline_->checkStall(at);
}

void HostController::cursorTick() {
    const std::uint64_t at = now();
    largestTickGap_ = std::max(largestTickGap_, at - lastCursorTick_);
    lastCursorTick_ = at;
    if (at - lastLatencyLine_ >= kLatencyLineMicros) {
        const std::uint64_t frameAge = pipeline_->takeMaxFrameAge();
        if (session_) {
            log("longuse max_us pointer=" + std::to_string(maxInputAge_) + " capture_to_send=" +
                std::to_string(frameAge) + " host_tick_gap=" + std::to_string(largestTickGap_));
        }
        lastLatencyLine_ = at;
        maxInputAge_ = largestTickGap_ = 0;
    }
    if (paused_ || windowPointerState_ != WindowPointerState::ready) return;
    sendCursor(at);
}

void HostController::sendCursor(std::uint64_t at) {
    bool mainTakesPart = session_ && session_->authenticated;
    if (!mainTakesPart && !controllerSession_) return;
    if (!input_) return;
    const NormalizedCursor cursor = input_->cursorNormalized();
    if (mainTakesPart && session_->deviceKind == DeviceKind::windows) {
        if (!session_->detachedAt && session_->video &&
            session_->control->bytesInFlight() < kCursorStreamMaxInFlightBytes) {
            pipeline_->sendWindowsCursor(cursor, at, *session_->control);
        }
        mainTakesPart = false;
        if (!controllerSession_) return;
    }
    if (lastCursorSent_ && std::abs(cursor.x - lastCursorSent_->first) < kCursorStep &&
        std::abs(cursor.y - lastCursorSent_->second) < kCursorStep) {
        return;
    }
    lastCursorSent_ = {cursor.x, cursor.y};
    const auto text = cursorText(cursor.x, cursor.y);
    if (!text) return;
    if (mainTakesPart) session_->control->sendText(*text);
    if (controllerSession_) controllerSession_->control->sendText(*text);
}

void HostController::handleStage2Stall() {
    if (!session_ || !session_->video) return;
    const std::uint64_t at = now();
    if (const auto graceUntil = aspectFit_.stallGraceUntil(); graceUntil && at < *graceUntil) {
        log("video stall (stage2) ignored: display arrangement change in progress");
        return;
    }
    pipeline_->closeStalledVideo();
}

}  // namespace orvanta::host
