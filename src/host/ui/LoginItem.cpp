#include "host/ui/LoginItem.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "base/PrivateFile.h"

namespace orvanta::host::ui {
namespace {

// Hidden=true in the main group (any group before the first other header) turns the entry off.
bool hiddenEntry(std::istream& in) {
    std::string line;
    bool mainGroup = true;
    while (std::getline(in, line)) {
        if (line.starts_with("[")) {
            mainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (mainGroup && line == "Hidden=true") return true;
    }
    return false;
}

// Arguments with a space or a quote are quoted as the desktop entry rules ask.
std::string quotedCommand(std::string_view command) {
    if (command.find_first_of(" \t\"'\\$`") == std::string_view::npos) return std::string(command);
    std::string quoted = "\"";
    for (char c : command) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

std::string_view loginItemText(LoginItemStatus status) {
    switch (status) {
        case LoginItemStatus::notRegistered:
            return "切";
        case LoginItemStatus::enabled:
            return "入";
        case LoginItemStatus::requiresApproval:
            return "承認待ち";
        case LoginItemStatus::notFound:
            return "登録できません";
    }
    return "不明";
}

LoginItem::LoginItem(std::filesystem::path entry, std::string command)
    : entry_(std::move(entry)), command_(std::move(command)) {}

LoginItem LoginItem::standard() {
    std::filesystem::path config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        config = std::filesystem::path(home) / ".config";
    }
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return LoginItem(config / "autostart" / "orvanta.desktop", error ? std::string("orvanta") : self.string());
}

std::string LoginItem::desktopEntry(std::string_view command) {
    return "[Desktop Entry]\nType=Application\nName=Orvanta\nExec=" + quotedCommand(command) +
           "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
}

LoginItemStatus LoginItem::status() const {
    std::ifstream in(entry_);
    if (!in) return LoginItemStatus::notRegistered;
    return hiddenEntry(in) ? LoginItemStatus::notRegistered : LoginItemStatus::enabled;
}

std::expected<void, std::string> LoginItem::set(bool on) const {
    if (!on) {
        if (::unlink(entry_.c_str()) != 0 && errno != ENOENT)
            return std::unexpected(entry_.string() + ": " + std::strerror(errno));
        return {};
    }
    std::error_code error;
    std::filesystem::create_directories(entry_.parent_path(), error);
    if (error) return std::unexpected(entry_.parent_path().string() + ": " + error.message());
    if (auto written = base::writePrivateFile(entry_, desktopEntry(command_)); !written)
        return std::unexpected(written.error().description());
    return {};
}

LoginItemController::LoginItemController(LoginItem item, std::function<void(std::string_view)> log)
    : item_(std::move(item)), log_(std::move(log)) {}

void LoginItemController::refresh() {
    status_ = item_.status();
    if (onChange) onChange();
}

void LoginItemController::set(bool on) {
    errorText_.reset();
    if (auto done = item_.set(on); !done) {
        errorText_ = std::string(on ? kRegisterFailed : kUnregisterFailed);
        if (log_) log_(std::string("login item ") + (on ? "register" : "unregister") + " failed: " + done.error());
    }
    refresh();
}

}  // namespace orvanta::host::ui
