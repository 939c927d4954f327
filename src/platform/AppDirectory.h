// Installed applications' desktop entries: reading them, and starting the application one describes.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace orvanta::platform {

struct DesktopEntry {
    std::string name;            // localised for the current language
    std::string icon;            // an icon-theme name or an absolute path; empty when none
    std::string startupWMClass;  // the window class its windows carry; empty when not declared
    bool operator==(const DesktopEntry&) const = default;
};

// Why an entry is not offered; `malformed` marks a file that is broken rather than deliberately hidden.
struct DesktopEntryRefusal {
    bool malformed = false;
    std::string reason;
    bool operator==(const DesktopEntryRefusal&) const = default;
};

class AppDirectory {
public:
    virtual ~AppDirectory() = default;
    // The entry at `path` when it describes an application to offer; otherwise why not (malformed,
    // not an application, hidden, not shown in menus, its program missing).
    virtual std::expected<DesktopEntry, DesktopEntryRefusal> readEntry(const std::string& path) = 0;
    // Starts the application the entry at `path` describes, with no files to open: its command line
    // as the entry writes it, field codes resolved, no shell in between. The started process, or
    // why it could not start.
    virtual std::expected<std::int32_t, std::string> launch(const std::string& path) = 0;
};

}  // namespace orvanta::platform
