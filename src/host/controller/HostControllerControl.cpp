// The coordinator's side of the control components: their construction and wiring, and what
// their callbacks read of the sessions. The components run on the host queue and are owned here
// alone, so their callbacks reach the controller directly.
#include "host/controller/HostController.h"

namespace orvanta::host {

namespace {

// The host log for components that may log after the controller is gone, or off its queue.
std::function<void(std::string_view)> logSink(const std::function<void(std::string_view)>& log) {
    return [log](std::string_view line) { log ? log(line) : Log::info(line); };
}

}  // namespace

bool HostController::servesControl(const WebSocketConnection& socket) const {
    return (session_ && session_->control.get() == &socket) ||
           (controllerSession_ && controllerSession_->control.get() == &socket);
}

bool HostController::canUseAppCatalog(const WebSocketConnection& socket) const {
    return session_ && session_->authenticated && !session_->detachedAt && !paused_ && servesControl(socket);
}

void HostController::wireApps() {
    appsAndWindows_ = std::make_shared<AppsAndWindows>(queue_, main_, utility_, clock_, dependencies_.control.apps);
    appsAndWindows_->setCallbacks(
        {.mayUseCatalog = [this](const WebSocketConnection& socket) { return canUseAppCatalog(socket); },
         .servesControl = [this](const WebSocketConnection& socket) { return servesControl(socket); },
         .viewport = [this]() -> std::optional<std::pair<int, int>> {
             if (!session_) return std::nullopt;
             return std::pair{session_->viewportWidth, session_->viewportHeight};
         },
         .beginSelection = [this] { return ++selectionGeneration_; },
         .selection = [this] { return selectionGeneration_; },
         .fitWindow =
             [this](std::uint32_t windowId) {
                 applyWindowFitTarget({windowId, session_->viewportWidth, session_->viewportHeight});
             },
         .send = [this](WebSocketConnection& connection,
                        const protocol::ControlMessage& message) { sendMessage(connection, message); }});
}

void HostController::wireClipboard() {
    clipboardChannel_ =
        std::make_shared<ClipboardChannel>(queue_, main_, dependencies_.control.clipboard, logSink(dependencies_.log));
    clipboardChannel_->setCallbacks(
        {.authenticate =
             [this](const std::string& token, const std::string& deviceId) {
                 return registry_->authenticate(token, deviceId).has_value();
             }});
}

void HostController::acceptClipboard(const std::shared_ptr<WebSocketConnection>& socket, const base::Json& hello,
                                     ConnectionRoute route) {
    clipboardChannel_->accept(socket, hello, route);
}

}  // namespace orvanta::host
