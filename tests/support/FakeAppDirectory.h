// Desktop entries by path, for the catalogue's logic; files on disk still decide what is found.
// Launches go to `launcher`, a real directory, when a test starts programs.
#pragma once

#include <map>
#include <string>

#include "platform/AppDirectory.h"

namespace orvanta::testing {

class FakeAppDirectory final : public platform::AppDirectory {
public:
    // Entries by file name (last path component); a file without one is malformed.
    std::map<std::string, platform::DesktopEntry> entries;
    std::map<std::string, platform::DesktopEntryRefusal> refusals;
    std::vector<std::string> reads;
    platform::AppDirectory* launcher = nullptr;

    std::expected<platform::DesktopEntry, platform::DesktopEntryRefusal> readEntry(const std::string& path) override {
        reads.push_back(path);
        auto name = path.substr(path.rfind('/') + 1);
        if (auto refused = refusals.find(name); refused != refusals.end()) return std::unexpected(refused->second);
        auto found = entries.find(name);
        if (found == entries.end()) return std::unexpected(platform::DesktopEntryRefusal{true, "no [Desktop Entry]"});
        return found->second;
    }
    std::expected<std::int32_t, std::string> launch(const std::string& path) override {
        if (!launcher) return std::unexpected("no launcher in this test");
        return launcher->launch(path);
    }
};

}  // namespace orvanta::testing
