#include "host/controller/SystemDesktopApps.h"

#include <algorithm>
#include <cctype>

namespace orvanta::host {

namespace {

bool sameClass(std::string_view a, std::string_view b) {
    return !a.empty() && std::ranges::equal(
                             a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

}  // namespace

SystemDesktopApps::SystemDesktopApps(AppCatalog& catalog, WindowManager& windows, platform::AppDirectory& applications,
                                     std::vector<std::filesystem::path> directories,
                                     std::function<void(std::string_view)> log)
    : catalog_(catalog),
      windows_(windows),
      applications_(applications),
      directories_(std::move(directories)),
      log_(std::move(log)) {}

std::optional<base::Bytes> SystemDesktopApps::appIconPNG(std::int32_t pid) {
    if (auto icon = windows_.appIconPNG(pid)) return icon;
    // Plain X clients offer no icon pixels; the entry they were installed with names one.
    return catalog_.runningAppIconPNG(pid, WindowManager::kAppIconPixels);
}

std::optional<HostDesktopApps::Launched> SystemDesktopApps::launch(const std::string& bundleId) {
    const auto url = catalog_.launchURL(bundleId, directories_);  // refuses "/", "\", ":" and the host
    if (!url) return std::nullopt;
    launched_.forgetEnded();
    std::set<std::uint32_t> earlier;
    for (const auto& window : windows_.openWindows()) earlier.insert(window.windowId);
    const auto child = applications_.launch(url->string());
    if (!child) {
        log_("launch failed: " + child.error());
        return std::nullopt;
    }
    const auto installed = catalog_.installedApps(directories_);
    const auto found = installed.find(bundleId);
    return Launched{*child, found == installed.end() ? std::string() : found->second.windowClass, std::move(earlier)};
}

std::optional<OpenWindowInfo> SystemDesktopApps::windowOf(const Launched& app) {
    const auto family = launched_.living(app.pid);
    const auto windows = windows_.openWindows();
    // The new process first: an older instance of the application may show windows of its class.
    for (const auto& window : windows) {
        if (family.contains(window.pid)) return window;
    }
    for (const auto& window : windows) {
        if (sameClass(window.appName, app.windowClass) &&
            (family.empty() || !app.earlierWindows.contains(window.windowId))) {
            return window;
        }
    }
    return std::nullopt;
}

bool SystemDesktopApps::terminated(const Launched& app) { return launched_.living(app.pid).empty() && !windowOf(app); }

}  // namespace orvanta::host
