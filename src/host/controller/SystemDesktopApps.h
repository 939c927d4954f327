// The desktop's applications and windows as the controller sees them, over the catalogue of
// installed desktop entries and the window manager. Main thread only.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string_view>
#include <vector>

#include "host/controller/DesktopLaunch.h"
#include "host/controller/HostDesktopSeams.h"

namespace orvanta::host {

class SystemDesktopApps final : public HostDesktopApps {
public:
    // Launched programs write their output to `launchOutput`.
    SystemDesktopApps(AppCatalog& catalog, WindowManager& windows, std::vector<std::filesystem::path> directories,
                      std::function<void(std::string_view)> log,
                      std::filesystem::path launchOutput = launchOutputFile());

    std::vector<OpenWindowInfo> openWindows() override { return windows_.openWindows(); }
    AppCatalog::Entries appEntries(const std::vector<OpenWindowInfo>& open) override { return catalog_.entries(open); }
    std::optional<base::Bytes> appIconPNG(std::int32_t pid) override;
    std::optional<Launched> launch(const std::string& bundleId) override;
    std::optional<OpenWindowInfo> windowOf(const Launched& app) override;
    bool terminated(const Launched& app) override;

private:
    std::set<pid_t> livingFamily(pid_t root);

    AppCatalog& catalog_;
    WindowManager& windows_;
    std::vector<std::filesystem::path> directories_;
    std::function<void(std::string_view)> log_;
    std::filesystem::path launchOutput_;
    std::map<pid_t, std::set<pid_t>> families_;  // every process seen in a living launch's family
};

}  // namespace orvanta::host
