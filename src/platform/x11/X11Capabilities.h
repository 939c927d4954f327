// What the X server offers the host: the extensions screen capture stands on (MIT-SHM, Damage,
// XFixes) and XTest for input. Asked afresh at each call over a connection of its own.
#pragma once

#include <expected>
#include <string>

namespace orvanta::platform::x11 {

struct X11Capabilities {
    bool capture = false;
    bool input = false;
    bool operator==(const X11Capabilities&) const = default;
};

// Why the server could not be reached, or what it offers.
std::expected<X11Capabilities, std::string> queryCapabilities(const std::string& display = {});

}  // namespace orvanta::platform::x11
