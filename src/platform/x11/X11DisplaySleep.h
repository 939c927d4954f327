// Display sleep on an X server: DPMS power level where the server has DPMS switched on, else the
// MIT-SCREEN-SAVER state (blanked counts as asleep); unknown where neither answers.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "platform/SessionState.h"
#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {

class X11DisplaySleep final : public DisplaySleep {
public:
    static std::expected<std::unique_ptr<X11DisplaySleep>, std::string> open(const std::string& display = {});

    std::optional<bool> displayAsleep() override;
    // Forces DPMS on (where enabled) and resets the screen saver, as user activity would.
    bool wakeDisplay() override;

private:
    explicit X11DisplaySleep(std::unique_ptr<XConnection> connection) : connection_(std::move(connection)) {}
    bool dpmsEnabled();

    std::unique_ptr<XConnection> connection_;
};

}  // namespace orvanta::platform::x11
