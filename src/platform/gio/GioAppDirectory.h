// Desktop entries read through GIO, which applies the freedesktop rules: localised names, Hidden,
// NoDisplay, TryExec and the window class the application's windows carry.
#pragma once

#include "platform/AppDirectory.h"

namespace orvanta::platform::gio {

class GioAppDirectory final : public AppDirectory {
public:
    std::expected<DesktopEntry, DesktopEntryRefusal> readEntry(const std::string& path) override;
};

}  // namespace orvanta::platform::gio
