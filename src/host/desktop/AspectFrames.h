// The frames of windows display aspect fit moved, kept on disk until they are back where they
// were: a file beside the saved display arrangement, one per X display like it, so that a start
// after a crash puts the windows back.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "host/desktop/WindowManager.h"

namespace orvanta::host {

// One window's frame to put it back at, as kept on disk.
struct SavedAspectFrame {
    AspectWindow window;
    bool positionOnly = false;
    bool operator==(const SavedAspectFrame&) const = default;
};

// The recorded-frames file kept beside a saved display arrangement file.
std::filesystem::path aspectFramesFile(const std::filesystem::path& arrangementFile);

// Replaces the file atomically, readable by the user only; why not, on failure.
std::expected<void, std::string> writeAspectFrames(const std::filesystem::path& file,
                                                   const std::vector<SavedAspectFrame>& frames);
// Why the file is not a frames file of ours, when it is not.
std::expected<std::vector<SavedAspectFrame>, std::string> readAspectFrames(const std::filesystem::path& file);
// Nothing kept any more.
void removeAspectFrames(const std::filesystem::path& file);

// At start, after the display arrangement has been recovered: puts the windows a run that ended
// without restoring them left recorded back at their frames, and removes the file. A file that
// cannot be read is logged and set aside. Returns how many windows are back.
std::size_t recoverAspectWindowsAfterCrash(WindowManager& manager, const std::filesystem::path& file,
                                           const LogFunction& log);

}  // namespace orvanta::host
