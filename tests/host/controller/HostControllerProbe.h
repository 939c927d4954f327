// Reaches the host controller's queue state, for tests and benchmarks that set up what later parts
// of the session road create. Use it on the controller's queue only.
#pragma once

#include <map>
#include <memory>
#include <optional>

#include "host/controller/HostController.h"

namespace orvanta::host {

// The controller's queue state, for tests that set up what later parts of the session road create.
class HostControllerProbe {
public:
    explicit HostControllerProbe(HostController& controller) : c_(controller) {}

    // The hub's sessions, staged directly by the tests of concerns that have not moved yet.
    std::shared_ptr<HostController::Session>& session() {
        return const_cast<std::shared_ptr<HostController::Session>&>(c_.sessions_->session());
    }
    std::shared_ptr<HostController::ControllerSession>& controllerSession() {
        return const_cast<std::shared_ptr<HostController::ControllerSession>&>(c_.sessions_->controller());
    }
    std::shared_ptr<HostCapture>& capture() { return c_.pipeline_->capture_; }
    std::shared_ptr<HostEncoder>& encoder() { return c_.pipeline_->encoder_; }
    std::optional<std::uint64_t> videoDetachedAt() const { return c_.pipeline_->videoDetachedAt(); }
    std::optional<std::uint64_t>& arrangementStallGraceUntil() { return c_.aspectFit_.stallGraceUntil_; }
    HostController::WindowPointerState& windowPointerState() { return c_.windowPointerState_; }
    std::uint64_t& maxInputAge() { return c_.maxInputAge_; }
    bool paused() const { return c_.pause_->paused(); }
    bool screenLocked() const { return c_.pause_->screenLocked(); }
    bool highResOn() const { return c_.highResOn_; }
    bool blackoutEnabled() const { return c_.pause_->blackoutEnabled(); }
    // The lock poll, as the housekeeping runs it every second.
    void pollLock() { c_.pause_->pollLock(); }
    void pollDisplaySleep() { c_.pause_->pollDisplaySleep(); }
    void publishLinks() { c_.publishLinks(); }
    void housekeepingTick() { c_.housekeepingTick(); }
    // Control connections and sessions.
    std::shared_ptr<HostController::BusyWaiter>& busyWaiter() {
        return const_cast<std::shared_ptr<HostController::BusyWaiter>&>(c_.sessions_->waiter());
    }
    void acceptControl(UpgradedSocket socket, base::Bytes leftover, ConnectionRoute route) {
        c_.sessions_->accept(std::move(socket), std::move(leftover), route);
    }
    void endSession(std::optional<std::uint16_t> code, std::string_view reason) {
        c_.endSession(c_.session_, code, reason);
    }

    // Control messages and the clipboard channel.
    const std::vector<base::TaskHandle>& timers() { return c_.timers_; }
    std::uint16_t& awaitedPointerGen() { return c_.awaitedPointerGen_; }
    std::optional<std::pair<double, double>>& lastCursorSent() { return c_.lastCursorSent_; }
    void handleControllerText(const std::string& text, const std::shared_ptr<HostController::ControllerSession>& peer) {
        c_.sessions_->handleControllerText(text, peer);
    }

    // Video channel and pipeline.
    void acceptVideo(UpgradedSocket socket, base::Bytes leftover) {
        c_.pipeline_->acceptVideo(std::move(socket), std::move(leftover));
    }
    std::optional<std::uint32_t>& activeAspectCaptureID() { return c_.pipeline_->activeAspectCaptureID_; }
    std::shared_ptr<AspectDisplayApplication>& aspectApplicationSlot() { return c_.aspectApplication_; }
    bool& highResMode() { return c_.highResOn_; }

    // Shared by the pipeline, window fit and display aspect fit.
    std::optional<WindowFit>& windowFit() { return c_.windowFit_; }
    std::optional<PendingFit>& pendingFit() { return c_.pendingFit_; }
    void detachSession() { c_.detachSession(c_.session_); }

    // Display aspect fit and the virtual display, through its interface; the state below is staged
    // by the migration and window fit tests that have not moved to their components yet.
    DisplayAspectFit& aspectFit() { return c_.aspectFit_; }
    bool& clientAspectFit() { return c_.aspectFit_.on_; }
    std::shared_ptr<VirtualDisplay>& virtualDisplay() { return c_.aspectFit_.virtualDisplay_; }

    // Window migration: the sweep, as the housekeeping runs it.
    void migrate() { c_.migrateWindowsToVirtualDisplay(); }

private:
    HostController& c_;
};

}  // namespace orvanta::host
