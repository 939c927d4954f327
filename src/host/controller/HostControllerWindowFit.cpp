// Window fit: one application window centred, captured and followed.
#include "host/controller/HostController.h"

namespace orvanta::host {

// Stand-ins until window fit is built: there is never a window to fit.
bool HostController::fitFrontmostWindow(const protocol::FitWindowRequest&) { return false; }
void HostController::applyWindowFitTarget(const protocol::FitWindowTarget&, std::optional<FitViewport>) {}
void HostController::requestFit(const WindowTarget&, FitViewport, std::optional<platform::ShareableWindow>,
                                std::optional<platform::Point>) {}
void HostController::applyPendingFit() {}
bool HostController::updateWindowVideo(Session&) { return false; }
void HostController::clearWindowFit(bool, bool) {}
void HostController::sendWindowState(bool, std::optional<std::string>) {}
void HostController::resetFollow() {}

}  // namespace orvanta::host
