// Whether this display's session is locked: logind's LockedHint of the session that owns the X
// display (found by display name, else by XDG_SESSION_ID or this process's session), with
// org.freedesktop.ScreenSaver's GetActive on the session bus as the fallback, and unknown when
// neither answers. Callable from any thread; each question waits at most kCallTimeout per bus.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/SessionState.h"

struct sd_bus;

namespace orvanta::platform::logind {

class LogindSessionState final : public SessionState {
public:
    struct Options {
        std::string display;         // the X display whose session counts, ":N"; empty: $DISPLAY
        std::string systemAddress;   // empty: the system bus as sd-bus finds it
        std::string sessionAddress;  // empty: the user's session bus as sd-bus finds it
    };
    explicit LogindSessionState(Options options = {});
    ~LogindSessionState() override;
    LogindSessionState(const LogindSessionState&) = delete;
    LogindSessionState& operator=(const LogindSessionState&) = delete;

    std::optional<bool> screenLocked() override;

    static constexpr std::chrono::milliseconds kCallTimeout{500};

private:
    struct BusDeleter {
        void operator()(sd_bus* bus) const;
    };
    using Bus = std::unique_ptr<sd_bus, BusDeleter>;

    std::optional<bool> lockedHint();
    std::optional<bool> screenSaverActive();
    std::optional<std::string> findSession();
    // The bus, opened on first use and again after it was lost.
    sd_bus* connect(Bus& bus, const std::string& address, bool system);

    std::mutex mutex_;
    Options options_;
    Bus system_;
    Bus session_;
    std::optional<std::string> sessionPath_;
};

}  // namespace orvanta::platform::logind
