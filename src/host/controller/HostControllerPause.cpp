// Pause on lock or display sleep, the blackout, the typed unlock and revocation.
#include "host/controller/HostController.h"

namespace orvanta::host {

void HostController::handleUnlock(const std::string&) {}

// The session road completes an authenticated hello.
void HostController::helloAuthenticated(const std::shared_ptr<Session>&, const protocol::Hello&,
                                        const DeviceRecord&) {}

}  // namespace orvanta::host
