// Display aspect fit and the virtual display it and the other purposes use.
#include "host/controller/HostController.h"

namespace orvanta::host {

// Stand-ins until display aspect fit is built: the physical display is always used.
void HostController::applyClientAspectFit(const protocol::DisplayAspectFitRequest&, Session&) {}
void HostController::applyViewportUpdate(const protocol::ViewportUpdate&, Session&) {}
void HostController::scheduleAspectUpdate(Session&) {}
void HostController::cancelAspectUpdate() {}
bool HostController::ensureVirtualDisplay(VirtualDisplayPurpose, int, int) { return false; }
std::uint32_t HostController::physicalCaptureDisplayID() const { return 0; }
void HostController::destroyVirtualDisplay(std::string_view, bool) {}
void HostController::restoreDisplayOnDisconnect(std::string_view) {}

}  // namespace orvanta::host
