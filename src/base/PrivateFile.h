// Files only this user may read, replaced atomically and durably: a crash or a kill leaves the old
// contents or the new ones, never a part of either, and never a readable copy for anyone else.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/Bytes.h"

namespace orvanta::base {

// A write that failed: the file meant and the errno of the step that failed.
struct PrivateFileError {
    std::filesystem::path path;
    int error = 0;
    std::string description() const;
    bool operator==(const PrivateFileError&) const = default;
};

// Replaces the file `name` in the open directory `directoryFd` with `contents`, mode 0600. The
// data goes to a temporary file beside it that is flushed, renamed over the file, and the
// directory flushed after. A symbolic link in the file's place is replaced, never followed.
std::expected<void, int> writePrivateFileAt(int directoryFd, const std::string& name, ByteView contents);

// The same for a path; the folder must exist.
std::expected<void, PrivateFileError> writePrivateFile(const std::filesystem::path& path, ByteView contents);
std::expected<void, PrivateFileError> writePrivateFile(const std::filesystem::path& path, std::string_view contents);

// Removes the temporary files of writes that ended without their rename (a killed process). The
// temporary file of a write still under way, in this process or another, is left alone.
void removeStalePrivateTemporariesAt(int directoryFd);
void removeStalePrivateTemporaries(const std::filesystem::path& directory);

// Whether `name` is one of this writer's temporary files: listings of a folder skip them.
bool isPrivateTemporaryName(std::string_view name);

}  // namespace orvanta::base
