// The controller's view of the desktop's applications and windows: the lists a device browses and
// the launch of an installed application. All of it runs on the main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "host/desktop/AppCatalog.h"
#include "host/desktop/WindowManager.h"

namespace orvanta::host {

class HostDesktopApps {
public:
    // A started application: the spawned process, the window class its entry declares, and the
    // windows open before it started.
    struct Launched {
        std::int32_t pid = 0;
        std::string windowClass;
        std::set<std::uint32_t> earlierWindows;
        bool operator==(const Launched&) const = default;
    };

    virtual ~HostDesktopApps() = default;
    // The selectable windows, sorted by application name, then title.
    virtual std::vector<OpenWindowInfo> openWindows() = 0;
    virtual AppCatalog::Entries appEntries(const std::vector<OpenWindowInfo>& windows) = 0;
    virtual std::optional<base::Bytes> appIconPNG(std::int32_t pid) = 0;
    // Resolves the installed application and starts its program without a shell; nothing when it
    // is not installed, its identifier is refused, or the program cannot be started.
    virtual std::optional<Launched> launch(const std::string& bundleId) = 0;
    // The first window of the launched process or its descendants; else, for a launcher that handed
    // over to a running instance, one of its window class that the launch opened, or any once the
    // launcher is gone.
    virtual std::optional<OpenWindowInfo> windowOf(const Launched& app) = 0;
    // None of those processes or windows remain.
    virtual bool terminated(const Launched& app) = 0;
};

}  // namespace orvanta::host
