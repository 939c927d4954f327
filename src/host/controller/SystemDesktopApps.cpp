#include "host/controller/SystemDesktopApps.h"

#include <algorithm>
#include <cctype>

#include "host/controller/DesktopLaunch.h"

namespace orvanta::host {

namespace {

bool sameClass(std::string_view a, std::string_view b) {
    return !a.empty() && std::ranges::equal(
                             a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

}  // namespace

SystemDesktopApps::SystemDesktopApps(AppCatalog& catalog, WindowManager& windows,
                                     std::vector<std::filesystem::path> directories,
                                     std::function<void(std::string_view)> log)
    : catalog_(catalog), windows_(windows), directories_(std::move(directories)), log_(std::move(log)) {}

std::optional<HostDesktopApps::Launched> SystemDesktopApps::launch(const std::string& bundleId) {
    const auto url = catalog_.launchURL(bundleId, directories_);  // refuses "/", "\", ":" and the host
    if (!url) return std::nullopt;
    const auto child = [&]() -> std::expected<pid_t, std::string> {
        const auto exec = desktopExec(*url);
        if (!exec) return std::unexpected(exec.error());
        const auto arguments = execArguments(*exec);
        if (!arguments) return std::unexpected(arguments.error());
        return spawnProgram(*arguments);
    }();
    if (!child) {
        log_("launch failed: " + child.error());
        return std::nullopt;
    }
    const auto installed = catalog_.installedApps(directories_);
    const auto found = installed.find(bundleId);
    return Launched{*child, found == installed.end() ? std::string() : found->second.windowClass};
}

// Descendants are remembered across looks: a launcher's child outlives it, reparented elsewhere.
std::set<pid_t> SystemDesktopApps::livingFamily(pid_t root) {
    auto& known = families_[root];
    known.insert(root);
    std::set<pid_t> living;
    for (const pid_t member : known) living.merge(processFamily(member));
    known.insert(living.begin(), living.end());
    return living;
}

std::optional<OpenWindowInfo> SystemDesktopApps::windowOf(const Launched& app) {
    const auto family = livingFamily(app.pid);
    for (const auto& window : windows_.openWindows()) {
        if (family.contains(window.pid) || sameClass(window.appName, app.windowClass)) return window;
    }
    return std::nullopt;
}

bool SystemDesktopApps::terminated(const Launched& app) {
    exited(app.pid);  // reaps a launcher that handed over and left
    return livingFamily(app.pid).empty() && !windowOf(app);
}

}  // namespace orvanta::host
