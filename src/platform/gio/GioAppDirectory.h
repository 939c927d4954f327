// Desktop entries read and launched through GIO, which applies the freedesktop rules: localised
// names, Hidden, NoDisplay, TryExec, the window class the application's windows carry, and the
// command line with its quoting and field codes.
#pragma once

#include <filesystem>

#include "platform/AppDirectory.h"

namespace orvanta::platform::gio {

// Where launched programs write: $XDG_STATE_HOME/orvanta/applications.log (~/.local/state when
// unset), not the host's own log.
std::filesystem::path launchOutputFile();

class GioAppDirectory final : public AppDirectory {
public:
    explicit GioAppDirectory(std::filesystem::path launchOutput = launchOutputFile())
        : launchOutput_(std::move(launchOutput)) {}

    std::expected<DesktopEntry, DesktopEntryRefusal> readEntry(const std::string& path) override;
    // The program runs in a session of its own with its signals at their defaults, its output
    // appended to the launch output file (or discarded when that cannot be opened), holding none of
    // the host's descriptors; its end is collected in the background, so it never lingers as a
    // zombie. An entry that asks to be started over D-Bus is started from its command line all the
    // same: an activated application would leave no process to follow.
    std::expected<std::int32_t, std::string> launch(const std::string& path) override;

private:
    std::filesystem::path launchOutput_;
};

}  // namespace orvanta::platform::gio
