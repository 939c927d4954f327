// Whether the user's session is locked, and whether the display sleeps. Each answer may be
// unknown where the desktop offers no way to ask; callers treat unknown as they see fit.
#pragma once

#include <optional>

namespace orvanta::platform {

class SessionState {
public:
    virtual ~SessionState() = default;
    // True while the session shows its lock screen; nothing when no service answers.
    virtual std::optional<bool> screenLocked() = 0;
};

class DisplaySleep {
public:
    virtual ~DisplaySleep() = default;
    // True while the display is blanked or powered down; nothing when it cannot be told.
    virtual std::optional<bool> displayAsleep() = 0;
    // Declares user activity so that the display wakes and stays on for a while; returns whether it
    // was asleep before.
    virtual bool wakeDisplay() = 0;
};

}  // namespace orvanta::platform
