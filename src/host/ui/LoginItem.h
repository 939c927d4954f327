// The application's login item: an XDG autostart desktop entry, written and removed atomically. An
// entry that is there and not hidden is on; one that is absent or says Hidden=true is off. It never
// waits for anyone's approval.
#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace orvanta::host::ui {

enum class LoginItemStatus { notRegistered, enabled, requiresApproval, notFound };

// The summary's word for a status.
std::string_view loginItemText(LoginItemStatus status);

class LoginItem {
public:
    // `entry` is the desktop entry's path, `command` the program it starts.
    LoginItem(std::filesystem::path entry, std::string command);
    // "$XDG_CONFIG_HOME/autostart/orvanta.desktop" (~/.config when unset) starting this program.
    static LoginItem standard();

    LoginItemStatus status() const;
    // Why the entry could not be written or removed.
    std::expected<void, std::string> set(bool on) const;
    const std::filesystem::path& entry() const { return entry_; }

    static std::string desktopEntry(std::string_view command);

private:
    std::filesystem::path entry_;
    std::string command_;
};

// The settings page's view of the login item: its status as last read, and the text of the last
// failure. Main thread only.
class LoginItemController {
public:
    static constexpr std::string_view kRegisterFailed = "ログイン項目に登録できませんでした。";
    static constexpr std::string_view kUnregisterFailed = "ログイン項目から外せませんでした。";

    LoginItemController(LoginItem item, std::function<void(std::string_view)> log);

    LoginItemStatus status() const { return status_; }
    const std::optional<std::string>& errorText() const { return errorText_; }
    bool isOn() const { return status_ == LoginItemStatus::enabled || status_ == LoginItemStatus::requiresApproval; }

    void refresh();
    void set(bool on);
    // After every change of status or error text.
    std::function<void()> onChange;

private:
    LoginItem item_;
    std::function<void(std::string_view)> log_;
    LoginItemStatus status_ = LoginItemStatus::notRegistered;
    std::optional<std::string> errorText_;
};

}  // namespace orvanta::host::ui
