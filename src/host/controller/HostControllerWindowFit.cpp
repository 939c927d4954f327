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
void HostController::resetFollow() {}

// To the main session once it is authenticated, and to the controller peer.
void HostController::sendWindowState(bool active, std::optional<std::string> appName) {
    const protocol::WindowState state{active, std::move(appName)};
    if (session_ && session_->authenticated) sendMessage(*session_->control, state);
    if (controllerSession_) sendMessage(*controllerSession_->control, state);
}

}  // namespace orvanta::host
