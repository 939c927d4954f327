// System audio: whether it runs, the welcome's offer, its start with back-off.
#include "host/controller/HostController.h"

namespace orvanta::host {

// Stand-ins until audio is wired to the controller.
void HostController::refreshAudio() {}
std::optional<protocol::AudioFormat> HostController::audioOffer(const Session&) { return std::nullopt; }

}  // namespace orvanta::host
