// What the host's screens read and call of the host: the controller's published state as an
// observable value, its operations, and the pasteboard the copy buttons write to. The application
// fills it from the real controller; tests fill it by hand.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "client/viewer/Published.h"
#include "host/controller/HostPublishedState.h"
#include "host/ui/DeviceRemoval.h"

namespace orvanta::host::ui {

using HostState = client::Published<HostPublishedState>;

struct HostScreenSource {
    std::shared_ptr<HostState> state;
    std::function<void()> issueCode;
    DeviceRemoval::Revoke revoke;
    std::function<void(bool)> setHighRes;
    std::function<void(bool)> setBlackout;
    // Puts plain text on the pasteboard; false when it was refused.
    std::function<bool(const std::string&)> copy;
};

}  // namespace orvanta::host::ui
