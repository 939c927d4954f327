// Settings kept in one JSON file per suite under the user's configuration directory, rewritten
// atomically on every change. Thread-safe; one instance per file and process.
#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/Settings.h"

namespace orvanta::base {

// A suite name that cannot name a settings file of its own.
struct InvalidSuiteName {
    std::string suite;
    bool operator==(const InvalidSuiteName&) const = default;
};

class JsonFileSettings final : public Settings {
public:
    // Receives one English line per problem with the file (unreadable, not writable).
    using LogLine = std::function<void(const std::string&)>;

    // The standard settings live in "settings.json"; a suite in "<suite>.json".
    static constexpr std::string_view kStandardName = "settings";

    // $XDG_CONFIG_HOME/orvanta, else ~/.config/orvanta.
    static std::filesystem::path defaultDirectory();

    // Reads the file now; a missing file is empty settings. A file that cannot be read is reported
    // once to `log` (standard error when none is given), moved aside to "<name>.corrupt" and read as
    // empty. The directory is created on the first write.
    static std::shared_ptr<JsonFileSettings> openStandard(const std::filesystem::path& directory, LogLine log = {});
    static std::expected<std::shared_ptr<JsonFileSettings>, InvalidSuiteName> openSuite(
        const std::filesystem::path& directory, std::string_view suite, LogLine log = {});

    const std::filesystem::path& path() const { return path_; }

    std::optional<SettingsValue> value(std::string_view key) const override;
    // A value holding text that is not UTF-8 or a number that is not finite cannot be written to
    // the file; it is refused and logged.
    void set(std::string_view key, SettingsValue value) override;
    void remove(std::string_view key) override;
    void registerDefaults(const SettingsDictionary& defaults) override;
    ObserverId observe(std::string_view key, Observer observer) override;
    void removeObserver(ObserverId id) override;

    // The settings kept in the file at `path`, read now as the factories above describe.
    JsonFileSettings(std::filesystem::path path, LogLine log);

private:
    struct Registration {
        std::string key;
        std::shared_ptr<const Observer> observer;
    };
    using Notification = std::pair<std::shared_ptr<const Observer>, std::optional<SettingsValue>>;

    std::optional<SettingsValue> effectiveLocked(std::string_view key) const;
    // Changes the stored value (nothing removes it); returns the notifications to deliver.
    std::vector<Notification> storeLocked(std::string_view key, std::optional<SettingsValue> value);
    void notificationsLocked(std::string_view key, std::optional<SettingsValue> value,
                             std::vector<Notification>& out) const;
    void update(std::string_view key, std::optional<SettingsValue> value);
    void loadLocked();
    void writeLocked();

    const std::filesystem::path path_;
    const LogLine log_;
    mutable std::mutex mutex_;
    SettingsDictionary stored_;
    SettingsDictionary defaults_;
    std::map<ObserverId, Registration> observers_;
    ObserverId nextObserverId_ = 1;
};

}  // namespace orvanta::base
