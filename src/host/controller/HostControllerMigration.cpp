// Windows moved onto the aspect display, evacuated from it and put back.
#include "host/controller/HostController.h"

namespace orvanta::host {

// Stand-ins until window migration is built: no window is ever moved.
void HostController::migrateWindowsToVirtualDisplay() {}
void HostController::rememberAspectFrames() {}
void HostController::restoreAspectMigratedWindows(bool) {}
std::optional<Rect> HostController::visibleBounds(std::uint32_t, bool) { return std::nullopt; }

}  // namespace orvanta::host
