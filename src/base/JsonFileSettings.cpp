#include "base/JsonFileSettings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "base/Base64.h"
#include "base/Json.h"
#include "base/PrivateFile.h"
#include "base/Utf8.h"

namespace orvanta::base {
namespace {

// Each value is an object with one member that names its type, so data and text, integers and
// real numbers, and dictionaries stay apart: {"bool": true}, {"data": "<base64>"}, {"dict": {...}}.
constexpr std::string_view kBoolTag = "bool";
constexpr std::string_view kIntegerTag = "int";
constexpr std::string_view kRealTag = "double";
constexpr std::string_view kStringTag = "string";
constexpr std::string_view kDataTag = "data";
constexpr std::string_view kArrayTag = "array";
constexpr std::string_view kDictionaryTag = "dict";

// Deeper nesting than any of our settings holds; it bounds the recursion on a damaged file.
constexpr int kMaxNestingDepth = 64;

constexpr int kFileIndent = 2;

Json encode(const SettingsValue& value) {
    return std::visit(
        [](const auto& v) -> Json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>) {
                return {{kBoolTag, v}};
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return {{kIntegerTag, v}};
            } else if constexpr (std::is_same_v<T, double>) {
                return {{kRealTag, v}};
            } else if constexpr (std::is_same_v<T, std::string>) {
                return {{kStringTag, v}};
            } else if constexpr (std::is_same_v<T, Bytes>) {
                return {{kDataTag, base64Encode(v)}};
            } else if constexpr (std::is_same_v<T, SettingsArray>) {
                Json items = Json::array();
                for (const auto& item : v) items.push_back(encode(item));
                return {{kArrayTag, std::move(items)}};
            } else {
                Json members = Json::object();
                for (const auto& [key, item] : v) members[key] = encode(item);
                return {{kDictionaryTag, std::move(members)}};
            }
        },
        value.storage);
}

std::expected<SettingsValue, std::string> decode(const Json& json, int depth);

std::expected<SettingsDictionary, std::string> decodeMembers(const Json& object, int depth) {
    SettingsDictionary out;
    for (const auto& [key, member] : object.items()) {
        auto value = decode(member, depth);
        if (!value) return std::unexpected("\"" + key + "\": " + value.error());
        out.emplace(key, std::move(*value));
    }
    return out;
}

std::expected<SettingsValue, std::string> decode(const Json& json, int depth) {
    if (depth > kMaxNestingDepth) return std::unexpected("nested too deeply");
    if (!json.is_object() || json.size() != 1) return std::unexpected("not a typed value");
    const std::string& tag = json.begin().key();
    const Json& v = json.begin().value();
    if (tag == kBoolTag && v.is_boolean()) return SettingsValue(v.get<bool>());
    if (tag == kIntegerTag && v.is_number_integer()) {
        if (v.is_number_unsigned() && v.get<std::uint64_t>() > std::uint64_t(INT64_MAX)) {
            return std::unexpected("integer out of range");
        }
        return SettingsValue(v.get<std::int64_t>());
    }
    if (tag == kRealTag && v.is_number()) return SettingsValue(v.get<double>());
    if (tag == kStringTag && v.is_string()) return SettingsValue(v.get<std::string>());
    if (tag == kDataTag && v.is_string()) {
        auto bytes = base64Decode(v.get_ref<const std::string&>());
        if (!bytes) return std::unexpected("invalid base64 data");
        return SettingsValue(std::move(*bytes));
    }
    if (tag == kArrayTag && v.is_array()) {
        SettingsArray items;
        for (const auto& item : v) {
            auto decoded = decode(item, depth + 1);
            if (!decoded) return std::unexpected(decoded.error());
            items.push_back(std::move(*decoded));
        }
        return SettingsValue(std::move(items));
    }
    if (tag == kDictionaryTag && v.is_object()) {
        auto members = decodeMembers(v, depth + 1);
        if (!members) return std::unexpected(members.error());
        return SettingsValue(std::move(*members));
    }
    return std::unexpected("unknown value type \"" + tag + "\"");
}

// Why the value cannot go into the file, or nothing when it can.
std::optional<std::string> unwritable(const SettingsValue& value) {
    return std::visit(
        [](const auto& v) -> std::optional<std::string> {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, double>) {
                if (!std::isfinite(v)) return "a number that is not finite";
            } else if constexpr (std::is_same_v<T, std::string>) {
                if (!isValidUtf8(v)) return "text that is not UTF-8";
            } else if constexpr (std::is_same_v<T, SettingsArray>) {
                for (const auto& item : v) {
                    if (auto why = unwritable(item)) return why;
                }
            } else if constexpr (std::is_same_v<T, SettingsDictionary>) {
                for (const auto& [key, item] : v) {
                    if (!isValidUtf8(key)) return "a key that is not UTF-8";
                    if (auto why = unwritable(item)) return why;
                }
            }
            return std::nullopt;
        },
        value.storage);
}

std::string errnoText(int error) { return std::strerror(error); }

// Writes `text` over `path` through the private-file writer, creating the folder (0700) first.
std::optional<std::string> replaceFileAtomically(const std::filesystem::path& path, std::string_view text) {
    std::error_code ec;
    const auto directory = path.parent_path();
    if (std::filesystem::create_directories(directory, ec)) {
        std::filesystem::permissions(directory, std::filesystem::perms::owner_all, ec);
    }
    if (ec) return "cannot create " + directory.string() + ": " + ec.message();
    if (auto written = writePrivateFile(path, text); !written) return errnoText(written.error().error);
    return std::nullopt;
}

// The whole file, or the errno of the failure.
std::expected<std::string, int> readFile(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(errno);
    std::string contents;
    char buffer[16384];
    while (true) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            int error = count < 0 ? errno : 0;
            ::close(fd);
            if (error != 0) return std::unexpected(error);
            return contents;
        }
        contents.append(buffer, static_cast<std::size_t>(count));
    }
}

bool isUsableSuiteName(std::string_view suite) {
    constexpr std::size_t kMaxSuiteNameBytes = 200;
    return !suite.empty() && suite.size() <= kMaxSuiteNameBytes && !suite.starts_with('.') &&
           suite.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos && isValidUtf8(suite) &&
           suite != JsonFileSettings::kStandardName;
}

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result) {
        return result->pw_dir;
    }
    return ".";
}

}  // namespace

std::filesystem::path JsonFileSettings::defaultDirectory() {
    // XDG rules: a relative XDG_CONFIG_HOME is ignored.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
        return std::filesystem::path(config) / "orvanta";
    }
    return homeDirectory() / ".config" / "orvanta";
}

std::shared_ptr<JsonFileSettings> JsonFileSettings::openStandard(const std::filesystem::path& directory, LogLine log) {
    return std::make_shared<JsonFileSettings>(directory / (std::string(kStandardName) + ".json"), std::move(log));
}

std::expected<std::shared_ptr<JsonFileSettings>, InvalidSuiteName> JsonFileSettings::openSuite(
    const std::filesystem::path& directory, std::string_view suite, LogLine log) {
    if (!isUsableSuiteName(suite)) return std::unexpected(InvalidSuiteName{std::string(suite)});
    return std::make_shared<JsonFileSettings>(directory / (std::string(suite) + ".json"), std::move(log));
}

JsonFileSettings::JsonFileSettings(std::filesystem::path path, LogLine log)
    : path_(std::move(path)),
      log_(log ? std::move(log) : LogLine([](const std::string& line) { std::cerr << line << '\n'; })) {
    removeStalePrivateTemporaries(path_.parent_path());
    std::lock_guard lock(mutex_);
    loadLocked();
}

void JsonFileSettings::loadLocked() {
    auto contents = readFile(path_);
    if (!contents && contents.error() == ENOENT) return;
    std::string problem;
    if (!contents) {
        problem = "cannot be read: " + errnoText(contents.error());
    } else if (auto json = parseJsonObject(*contents); !json) {
        problem = describe(json.error());
    } else if (auto values = decodeMembers(*json, 0); !values) {
        problem = values.error();
    } else {
        stored_ = std::move(*values);
        return;
    }

    auto aside = path_;
    aside.replace_extension(".corrupt");
    std::error_code ec;
    std::filesystem::rename(path_, aside, ec);
    if (ec) {
        log_("Settings file " + path_.string() + " is unreadable (" + problem +
             ") and could not be moved aside: " + ec.message() + "; reading it as empty");
    } else {
        log_("Settings file " + path_.string() + " is unreadable (" + problem + "); moved it to " + aside.string() +
             " and reading it as empty");
    }
}

void JsonFileSettings::writeLocked() {
    Json document = Json::object();
    for (const auto& [key, value] : stored_) document[key] = encode(value);
    std::string text = document.dump(kFileIndent, ' ', false, Json::error_handler_t::replace) + "\n";
    if (auto problem = replaceFileAtomically(path_, text)) {
        log_("Settings file " + path_.string() + " could not be written: " + *problem);
    }
}

std::optional<SettingsValue> JsonFileSettings::effectiveLocked(std::string_view key) const {
    if (auto it = stored_.find(key); it != stored_.end()) return it->second;
    if (auto it = defaults_.find(key); it != defaults_.end()) return it->second;
    return std::nullopt;
}

void JsonFileSettings::notificationsLocked(std::string_view key, std::optional<SettingsValue> value,
                                           std::vector<Notification>& out) const {
    for (const auto& [id, registration] : observers_) {
        if (registration.key == key) out.emplace_back(registration.observer, value);
    }
}

std::vector<JsonFileSettings::Notification> JsonFileSettings::storeLocked(std::string_view key,
                                                                          std::optional<SettingsValue> value) {
    std::vector<Notification> notifications;
    auto it = stored_.find(key);
    if (it == stored_.end() ? !value : value && it->second == *value) return notifications;
    auto before = effectiveLocked(key);
    if (value) {
        stored_.insert_or_assign(std::string(key), std::move(*value));
    } else {
        stored_.erase(it);
    }
    writeLocked();
    auto after = effectiveLocked(key);
    if (before != after) notificationsLocked(key, std::move(after), notifications);
    return notifications;
}

void JsonFileSettings::update(std::string_view key, std::optional<SettingsValue> value) {
    std::vector<Notification> notifications;
    {
        std::lock_guard lock(mutex_);
        notifications = storeLocked(key, std::move(value));
    }
    for (const auto& [observer, newValue] : notifications) (*observer)(newValue);
}

std::optional<SettingsValue> JsonFileSettings::value(std::string_view key) const {
    std::lock_guard lock(mutex_);
    return effectiveLocked(key);
}

void JsonFileSettings::set(std::string_view key, SettingsValue value) {
    if (auto why = isValidUtf8(key) ? unwritable(value) : std::optional<std::string>("a key that is not UTF-8")) {
        log_("Settings: refused a value for \"" + encodeUtf8(decodeUtf8Lossy(key)) + "\" holding " + *why);
        return;
    }
    update(key, std::move(value));
}

void JsonFileSettings::remove(std::string_view key) { update(key, std::nullopt); }

void JsonFileSettings::registerDefaults(const SettingsDictionary& defaults) {
    std::vector<Notification> notifications;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, value] : defaults) {
            auto before = effectiveLocked(key);
            defaults_.insert_or_assign(key, value);
            auto after = effectiveLocked(key);
            if (before != after) notificationsLocked(key, std::move(after), notifications);
        }
    }
    for (const auto& [observer, newValue] : notifications) (*observer)(newValue);
}

Settings::ObserverId JsonFileSettings::observe(std::string_view key, Observer observer) {
    std::lock_guard lock(mutex_);
    ObserverId id = nextObserverId_++;
    observers_.emplace(id, Registration{std::string(key), std::make_shared<const Observer>(std::move(observer))});
    return id;
}

void JsonFileSettings::removeObserver(ObserverId id) {
    std::lock_guard lock(mutex_);
    observers_.erase(id);
}

}  // namespace orvanta::base
