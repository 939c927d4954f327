// The desktop's applications and windows as the controller sees them, over the catalogue of
// installed desktop entries, the application directory that starts them and the window manager.
// Main thread only.
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

#include "host/controller/HostDesktopSeams.h"
#include "platform/AppDirectory.h"
#include "platform/ProcessFamily.h"

namespace orvanta::host {

class SystemDesktopApps final : public HostDesktopApps {
public:
    SystemDesktopApps(AppCatalog& catalog, WindowManager& windows, platform::AppDirectory& applications,
                      std::vector<std::filesystem::path> directories, std::function<void(std::string_view)> log);

    std::vector<OpenWindowInfo> openWindows() override { return windows_.openWindows(); }
    AppCatalog::Entries appEntries(const std::vector<OpenWindowInfo>& open) override { return catalog_.entries(open); }
    std::optional<base::Bytes> appIconPNG(std::int32_t pid) override;
    std::optional<Launched> launch(const std::string& bundleId) override;
    std::optional<OpenWindowInfo> windowOf(const Launched& app) override;
    bool terminated(const Launched& app) override;

private:
    AppCatalog& catalog_;
    WindowManager& windows_;
    platform::AppDirectory& applications_;
    std::vector<std::filesystem::path> directories_;
    std::function<void(std::string_view)> log_;
    platform::LaunchedProcesses launched_;
};

}  // namespace orvanta::host
