// File operations of the host machine that the controller needs at start-up.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace orvanta::host {

struct PrivateFileError {
    std::filesystem::path path;
    std::string description;
    bool operator==(const PrivateFileError&) const = default;
};

// Replaces the file with `contents`, readable by its owner only (mode 0600) from the first byte:
// written to a private temporary beside it, flushed, then renamed over it.
std::expected<void, PrivateFileError> writePrivateFile(const std::filesystem::path& path, std::string_view contents);

}  // namespace orvanta::host
