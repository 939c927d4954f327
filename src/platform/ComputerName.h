// The computer's name as the user gave it, for the names a device shows of itself.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace orvanta::platform {

inline constexpr std::string_view kMachineInfoPath = "/etc/machine-info";

// The machine's pretty name ("PRETTY_HOSTNAME" of the machine-info file, unquoted), else its host
// name; nothing when neither is known.
std::optional<std::string> computerName(const std::filesystem::path& machineInfo);

// The "PRETTY_HOSTNAME" value of machine-info text, with shell-style quotes and escapes removed;
// nothing when absent or empty.
std::optional<std::string> prettyHostname(std::string_view machineInfo);

}  // namespace orvanta::platform
