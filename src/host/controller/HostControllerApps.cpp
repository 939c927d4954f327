// The application list, launching and the window list.
#include "host/controller/HostController.h"

namespace orvanta::host {

void HostController::launchApp(const std::string&, const std::shared_ptr<WebSocketConnection>&) {}
void HostController::sendAppList(const std::shared_ptr<WebSocketConnection>&) {}

// Off the controller's queue; clears the in-flight mark back on it.
void HostController::sendWindowList(const std::shared_ptr<WebSocketConnection>&) {
    queue_.async([weakSelf = weak_from_this()] {
        if (auto self = weakSelf.lock()) self->windowListInFlight_ = false;
    });
}

}  // namespace orvanta::host
