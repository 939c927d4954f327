#include "host/desktop/AppCatalog.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>

#include <unicode/coll.h>
#include <unicode/locid.h>

namespace orvanta::host {

namespace fs = std::filesystem;

namespace {

constexpr int kIconPixels[] = {48, 32};

std::string lowered(std::string_view text) {
    std::string out(text);
    std::ranges::transform(out, out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool hidden(const fs::path& path) { return path.filename().string().starts_with('.'); }

// Names compare as people read them: case and width ignored, digits by value.
class NameOrder {
public:
    NameOrder() {
        UErrorCode status = U_ZERO_ERROR;
        // ICU reads the C locale as en_US_POSIX, whose order is by code point; people read root's.
        auto locale = icu::Locale::getDefault();
        if (std::string_view(locale.getName()) == "en_US_POSIX") locale = icu::Locale::getRoot();
        collator_.reset(icu::Collator::createInstance(locale, status));
        if (U_FAILURE(status)) {
            collator_.reset();
            return;
        }
        collator_->setStrength(icu::Collator::SECONDARY);
        collator_->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    }
    int compare(const std::string& a, const std::string& b) const {
        if (!collator_) return a.compare(b);
        UErrorCode status = U_ZERO_ERROR;
        auto result = collator_->compareUTF8(a, b, status);
        return U_FAILURE(status) ? a.compare(b) : static_cast<int>(result);
    }

private:
    std::unique_ptr<icu::Collator> collator_;
};

// The process-wide icon cache; callers use the catalogue from one queue at a time.
std::map<fs::path, base::Bytes>& iconCache() {
    static std::map<fs::path, base::Bytes> cache;
    return cache;
}

// The installed entry that a running application's windows belong to: the one declaring their
// window class, else the one named after it.
const std::pair<const std::string, AppCatalog::InstalledApp>* installedFor(
    const platform::RunningApplication& app, const std::map<std::string, AppCatalog::InstalledApp>& installed) {
    for (const auto& item : installed) {
        const auto& declared = item.second.windowClass;
        if (!declared.empty() && (declared == app.windowClass || declared == app.windowInstance)) return &item;
    }
    for (const auto& name : {app.windowClass, app.windowInstance}) {
        if (name.empty()) continue;
        for (const auto& id : {name + ".desktop", lowered(name) + ".desktop"}) {
            if (auto found = installed.find(id); found != installed.end()) return &*found;
        }
    }
    return nullptr;
}

}  // namespace

std::vector<fs::path> AppCatalog::searchDirectories() {
    std::vector<fs::path> out;
    auto absolute = [](std::string_view path) { return !path.empty() && path.front() == '/'; };
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    std::string_view list = dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share";
    while (!list.empty()) {
        auto colon = list.find(':');
        auto dir = list.substr(0, colon);
        if (absolute(dir)) out.push_back(fs::path(dir) / "applications");
        list = colon == std::string_view::npos ? std::string_view{} : list.substr(colon + 1);
    }
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (dataHome && absolute(dataHome)) {
        out.push_back(fs::path(dataHome) / "applications");
    } else if (home && absolute(home)) {
        out.push_back(fs::path(home) / ".local/share/applications");
    }
    return out;
}

const std::vector<fs::path>& AppCatalog::applicationDirectories() {
    static const std::vector<fs::path> directories = searchDirectories();
    return directories;
}

AppCatalog::AppCatalog(platform::AppDirectory& directory, platform::WindowSystem& windows,
                       platform::IconRenderer& icons, LogFunction log, std::vector<fs::path> directories,
                       std::string hostBundleId)
    : directory_(directory),
      windows_(windows),
      icons_(icons),
      log_(std::move(log)),
      directories_(std::move(directories)),
      hostBundleId_(std::move(hostBundleId)) {}

std::map<std::string, AppCatalog::InstalledApp> AppCatalog::installedApps(const std::vector<fs::path>& directories) {
    std::map<std::string, InstalledApp> apps;
    for (const auto& directory : directories) {
        std::error_code error;
        const auto root = fs::canonical(directory, error);
        if (error) continue;
        const auto rootPrefix = root.string() + "/";
        fs::recursive_directory_iterator items(root, fs::directory_options::skip_permission_denied, error);
        for (; !error && items != fs::recursive_directory_iterator(); items.increment(error)) {
            const auto& path = items->path();
            if (hidden(path)) {
                if (items->is_directory(error)) items.disable_recursion_pending();
                continue;
            }
            if (lowered(path.extension().string()) != ".desktop") continue;
            std::error_code statusError;
            const auto status = fs::symlink_status(path, statusError);
            if (statusError || status.type() != fs::file_type::regular) continue;
            const auto resolved = fs::canonical(path, statusError);
            if (statusError || !resolved.string().starts_with(rootPrefix)) continue;
            auto id = fs::relative(path, root, statusError).string();
            std::ranges::replace(id, '/', '-');
            if (statusError || apps.contains(id)) continue;
            auto entry = directory_.readEntry(path.string());
            if (!entry) {
                if (entry.error().malformed)
                    log_("app catalogue: skipped " + path.string() + ": " + entry.error().reason);
                continue;
            }
            auto name = entry->name.empty() ? path.filename().string() : entry->name;
            apps.emplace(std::move(id), InstalledApp{path, std::move(name), entry->startupWMClass});
        }
    }
    return apps;
}

std::optional<fs::path> AppCatalog::launchURL(std::string_view bundleId, const std::vector<fs::path>& directories) {
    if (bundleId.empty() || bundleId.size() > kMaxBundleIdBytes ||
        bundleId.find_first_of("/\\:") != std::string_view::npos || bundleId == hostBundleId_) {
        return std::nullopt;
    }
    auto apps = installedApps(directories);
    auto found = apps.find(std::string(bundleId));
    if (found == apps.end()) return std::nullopt;
    return found->second.url;
}

std::optional<base::Bytes> AppCatalog::iconPNG(const fs::path& url) {
    auto& cache = iconCache();
    if (auto cached = cache.find(url); cached != cache.end()) return cached->second;
    auto entry = directory_.readEntry(url.string());
    if (!entry || entry->icon.empty()) return std::nullopt;
    for (int pixels : kIconPixels) {
        auto png = icons_.renderPNG(entry->icon, pixels);
        if (png && png->size() <= kMaxIconBytes) return cache.emplace(url, std::move(*png)).first->second;
    }
    return std::nullopt;
}

std::optional<base::Bytes> AppCatalog::runningAppIconPNG(std::int32_t pid, int pixels) {
    const auto apps = windows_.runningApplications();
    const auto running = std::ranges::find(apps, pid, &platform::RunningApplication::pid);
    if (running == apps.end()) return std::nullopt;
    const auto installed = installedApps(directories_);
    const auto* match = installedFor(*running, installed);
    if (!match) return std::nullopt;
    const auto entry = directory_.readEntry(match->second.url.string());
    if (!entry || entry->icon.empty()) return std::nullopt;
    return icons_.renderPNG(entry->icon, pixels);
}

AppCatalog::Entries AppCatalog::entries(const std::vector<OpenWindowInfo>& windows) {
    std::set<std::int32_t> windowPids;
    for (const auto& window : windows) windowPids.insert(window.pid);
    const auto installed = installedApps(directories_);
    std::map<std::string, fs::path> urls;
    std::map<std::string, protocol::AppListEntry> listed;
    for (const auto& [id, app] : installed) {
        urls[id] = app.url;
        if (id != hostBundleId_) listed[id] = {id, app.name, false, false};
    }
    const auto hostPid = getpid();
    for (const auto& running : windows_.runningApplications()) {
        if (running.pid == hostPid) continue;
        const auto* match = installedFor(running, installed);
        if (!match) continue;
        const auto& [id, app] = *match;
        const bool ownsWindow = windowPids.contains(running.pid);
        auto held = listed.find(id);
        if (!running.regular && !ownsWindow && held == listed.end()) continue;
        auto name = !app.name.empty() ? app.name : !running.name.empty() ? running.name : app.url.stem().string();
        const bool hasWindow = ownsWindow || (held != listed.end() && held->second.hasWindow);
        urls[id] = app.url;
        listed[id] = {id, std::move(name), true, hasWindow};
    }

    Entries result;
    for (auto& [id, entry] : listed) result.entries.push_back(std::move(entry));
    static const NameOrder order;
    std::ranges::stable_sort(result.entries, [](const protocol::AppListEntry& a, const protocol::AppListEntry& b) {
        const int byName = order.compare(a.name, b.name);
        return byName != 0 ? byName < 0 : a.bundleId < b.bundleId;
    });
    std::size_t budget = kIconBudgetBytes;
    for (const auto& entry : result.entries) {
        if (budget == 0) break;
        auto url = urls.find(entry.bundleId);
        if (url == urls.end()) continue;
        auto png = iconPNG(url->second);
        if (png && png->size() <= budget) {
            budget -= png->size();
            result.icons.emplace(entry.bundleId, std::move(*png));
        }
    }
    return result;
}

}  // namespace orvanta::host
