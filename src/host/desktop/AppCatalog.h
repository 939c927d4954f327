// The applications a device may ask the host to show or start: installed desktop entries merged
// with the running applications, sorted, with small PNG icons under a size budget.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Bytes.h"
#include "host/desktop/WindowManager.h"
#include "platform/AppDirectory.h"
#include "platform/IconRenderer.h"
#include "platform/WindowSystem.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

class AppCatalog {
public:
    // An installed application; the desktop-file id is its bundle identifier.
    struct InstalledApp {
        std::filesystem::path url;  // the entry's path as found
        std::string name;
        std::string windowClass;  // the window class it declares, empty when none
        bool operator==(const InstalledApp&) const = default;
    };

    struct Entries {
        std::vector<protocol::AppListEntry> entries;
        protocol::AppIcons icons;  // by bundle identifier
        bool operator==(const Entries&) const = default;
    };

    static constexpr std::string_view kHostBundleId = "orvanta.desktop";
    static constexpr std::size_t kMaxBundleIdBytes = 255;
    static constexpr std::size_t kMaxIconBytes = 8192;
    static constexpr std::size_t kIconBudgetBytes = 524288;

    // The system folders of $XDG_DATA_DIRS, in order, then the user's of $XDG_DATA_HOME, read once
    // for the process: the first find wins, so the system's copy of an application beats the user's.
    static const std::vector<std::filesystem::path>& applicationDirectories();
    // The same folders as the environment names them now.
    static std::vector<std::filesystem::path> searchDirectories();

    AppCatalog(platform::AppDirectory& directory, platform::WindowSystem& windows, platform::IconRenderer& icons,
               LogFunction log, std::vector<std::filesystem::path> directories = applicationDirectories(),
               std::string hostBundleId = std::string(kHostBundleId));

    std::map<std::string, InstalledApp> installedApps(const std::vector<std::filesystem::path>& directories);
    std::optional<std::filesystem::path> launchURL(std::string_view bundleId,
                                                   const std::vector<std::filesystem::path>& directories);
    // 48 or else 32 pixels square, at most 8192 bytes; kept for the process, failures are not.
    std::optional<base::Bytes> iconPNG(const std::filesystem::path& url);
    // The icon of the installed application whose windows the process shows, `pixels` square: for
    // windows that offer no icon of their own.
    std::optional<base::Bytes> runningAppIconPNG(std::int32_t pid, int pixels);
    Entries entries(const std::vector<OpenWindowInfo>& windows);

private:
    platform::AppDirectory& directory_;
    platform::WindowSystem& windows_;
    platform::IconRenderer& icons_;
    LogFunction log_;
    std::vector<std::filesystem::path> directories_;
    std::string hostBundleId_;
};

}  // namespace orvanta::host
