#include "platform/logind/LogindSessionState.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>

namespace orvanta::platform::logind {

namespace {

constexpr const char* kLogin = "org.freedesktop.login1";
constexpr const char* kLoginPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";

struct Error {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&error); }
};
struct Message {
    sd_bus_message* message = nullptr;
    ~Message() { sd_bus_message_unref(message); }
};

std::optional<std::string> stringProperty(sd_bus* bus, const std::string& path, const char* name) {
    Error error;
    char* value = nullptr;
    if (sd_bus_get_property_string(bus, kLogin, path.c_str(), kSession, name, &error.error, &value) < 0) {
        return std::nullopt;
    }
    std::string text(value);
    std::free(value);
    return text;
}

std::optional<std::string> sessionById(sd_bus* bus, const char* id) {
    Error error;
    Message reply;
    const char* path = nullptr;
    if (sd_bus_call_method(bus, kLogin, kLoginPath, kManager, "GetSession", &error.error, &reply.message, "s", id) <
            0 ||
        sd_bus_message_read(reply.message, "o", &path) < 0) {
        return std::nullopt;
    }
    return std::string(path);
}

// ":0.0" and ":0" name the same display; logind records the name without the screen.
std::string withoutScreen(const std::string& display) {
    const auto colon = display.rfind(':');
    const auto dot = display.find('.', colon == std::string::npos ? 0 : colon);
    return colon == std::string::npos || dot == std::string::npos ? display : display.substr(0, dot);
}

}  // namespace

void LogindSessionState::BusDeleter::operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }

LogindSessionState::LogindSessionState(Options options) : options_(std::move(options)) {
    if (options_.display.empty()) {
        if (const char* display = std::getenv("DISPLAY")) options_.display = display;
    }
}

LogindSessionState::~LogindSessionState() = default;

sd_bus* LogindSessionState::connect(Bus& bus, const std::string& address, bool system) {
    if (bus && sd_bus_is_open(bus.get()) > 0) return bus.get();
    bus.reset();
    sd_bus* opened = nullptr;
    int result = 0;
    if (address.empty()) {
        result = system ? sd_bus_open_system(&opened) : sd_bus_open_user(&opened);
    } else if ((result = sd_bus_new(&opened)) >= 0) {
        sd_bus_set_address(opened, address.c_str());
        sd_bus_set_bus_client(opened, 1);
        result = sd_bus_start(opened);
    }
    if (result < 0) {
        sd_bus_unref(opened);
        return nullptr;
    }
    sd_bus_set_method_call_timeout(opened, std::chrono::microseconds(kCallTimeout).count());
    bus.reset(opened);
    return opened;
}

std::optional<bool> LogindSessionState::screenLocked() {
    std::lock_guard lock(mutex_);
    if (const auto locked = lockedHint()) return locked;
    return screenSaverActive();
}

std::optional<bool> LogindSessionState::lockedHint() {
    sd_bus* bus = connect(system_, options_.systemAddress, true);
    if (!bus) return std::nullopt;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!sessionPath_) sessionPath_ = findSession();
        if (!sessionPath_) return std::nullopt;
        Error error;
        int locked = 0;
        if (sd_bus_get_property_trivial(bus, kLogin, sessionPath_->c_str(), kSession, "LockedHint", &error.error, 'b',
                                        &locked) >= 0) {
            return locked != 0;
        }
        sessionPath_.reset();  // the session may have ended: look it up once more
    }
    return std::nullopt;
}

std::optional<std::string> LogindSessionState::findSession() {
    sd_bus* bus = system_.get();
    // The session that shows this X display, among our own.
    Error error;
    Message reply;
    if (!options_.display.empty() &&
        sd_bus_call_method(bus, kLogin, kLoginPath, kManager, "ListSessions", &error.error, &reply.message, "") >= 0 &&
        sd_bus_message_enter_container(reply.message, 'a', "(susso)") >= 0) {
        const char *id = nullptr, *user = nullptr, *seat = nullptr, *path = nullptr;
        std::uint32_t uid = 0;
        while (sd_bus_message_read(reply.message, "(susso)", &id, &uid, &user, &seat, &path) > 0) {
            const auto display = stringProperty(bus, path, "Display");
            if (uid == ::geteuid() && display && withoutScreen(*display) == withoutScreen(options_.display)) {
                return std::string(path);
            }
        }
    }
    if (const char* id = std::getenv("XDG_SESSION_ID"); id && *id) return sessionById(bus, id);
    char* own = nullptr;
    if (sd_pid_get_session(0, &own) < 0) return std::nullopt;
    auto path = sessionById(bus, own);
    std::free(own);
    return path;
}

std::optional<bool> LogindSessionState::screenSaverActive() {
    sd_bus* bus = connect(session_, options_.sessionAddress, false);
    if (!bus) return std::nullopt;
    Error error;
    Message reply;
    int active = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                           "org.freedesktop.ScreenSaver", "GetActive", &error.error, &reply.message, "") < 0 ||
        sd_bus_message_read(reply.message, "b", &active) < 0) {
        return std::nullopt;
    }
    return active != 0;
}

}  // namespace orvanta::platform::logind
