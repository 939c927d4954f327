#include "host/transport/DeviceRegistry.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/Base64.h"
#include "base/Crypto.h"
#include "base/Utf8.h"
#include "base/Uuid.h"
#include "host/transport/HostSettingsModel.h"
#include "host/transport/Support.h"

namespace orvanta::host {
namespace {

using namespace std::chrono;

constexpr std::size_t kTokenBytes = 32;
constexpr std::string_view kDatePattern = "0000-00-00T00:00:00";  // '0' marks a digit

std::optional<int> digits(std::string_view text) {
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// A date field; a text that is no date fails the record like a value of the wrong type.
std::optional<sys_seconds> readDate(base::JsonObjectReader& reader, std::string_view key, bool required) {
    std::optional<std::string> text;
    if (required) {
        text = reader.required<std::string>(key);
    } else {
        text = reader.optional<std::string>(key);
    }
    if (reader.failed() || !text) return std::nullopt;
    auto date = parseStoredDate(*text);
    if (!date) reader.setError({base::JsonError::Kind::dataCorrupted, std::string(key), "not a date: " + *text});
    return date;
}

}  // namespace

std::string formatStoredDate(sys_seconds date) {
    const auto day = floor<days>(date);
    const year_month_day ymd(day);
    const hh_mm_ss time(date - day);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

std::optional<sys_seconds> parseStoredDate(std::string_view text) {
    if (text.size() < kDatePattern.size()) return std::nullopt;
    for (std::size_t i = 0; i < kDatePattern.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kDatePattern[i] == '0' ? !digit : text[i] != kDatePattern[i]) return std::nullopt;
    }
    const year_month_day date{year(*digits(text.substr(0, 4))),
                              month(static_cast<unsigned>(*digits(text.substr(5, 2)))),
                              day(static_cast<unsigned>(*digits(text.substr(8, 2))))};
    const int hour = *digits(text.substr(11, 2));
    const int minute = *digits(text.substr(14, 2));
    const int second = *digits(text.substr(17, 2));
    if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;

    const std::string_view zone = text.substr(kDatePattern.size());
    seconds offset{0};
    if (zone != "Z") {
        if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') return std::nullopt;
        auto zoneHours = digits(zone.substr(1, 2));
        auto zoneMinutes = digits(zone.substr(4, 2));
        if (!zoneHours || !zoneMinutes || *zoneHours > 23 || *zoneMinutes > 59) return std::nullopt;
        offset = hours(*zoneHours) + minutes(*zoneMinutes);
        if (zone[0] == '-') offset = -offset;
    }
    return sys_days(date) + hours(hour) + minutes(minute) + seconds(second) - offset;
}

base::JsonResult<DeviceRecord> DeviceRecord::readJson(base::JsonObjectReader& reader) {
    DeviceRecord record;
    record.deviceId = reader.required<std::string>("deviceId");
    record.name = reader.required<std::string>("name");
    record.tokenHash = reader.required<std::string>("tokenHash");
    record.pairedAt = readDate(reader, "pairedAt", true).value_or(sys_seconds{});
    record.lastSeen = readDate(reader, "lastSeen", false);
    record.kind = reader.optional<std::string>("kind");
    return reader.finish(std::move(record));
}

void DeviceRecord::writeJson(base::JsonObjectWriter& writer) const {
    writer.required("deviceId", deviceId);
    writer.required("name", name);
    writer.required("tokenHash", tokenHash);
    writer.required("pairedAt", formatStoredDate(pairedAt));
    if (lastSeen) writer.required("lastSeen", formatStoredDate(*lastSeen));
    writer.optional("kind", kind);
}

std::string describe(const DeviceRegistryError& error) {
    return std::visit(
        [](const auto& e) -> std::string {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, base::SecretStoreError>) {
                return e.description();
            } else if constexpr (std::is_same_v<E, base::JsonError>) {
                return "stored device list is unreadable: " + base::describe(e);
            } else {
                return "device list cannot be encoded: " + e.detail + (e.path.empty() ? "" : " at " + e.path);
            }
        },
        error);
}

DeviceRegistry::DeviceRegistry(std::shared_ptr<base::SecretStore> store, WallClock now)
    : store_(std::move(store)), now_(now ? std::move(now) : WallClock([] { return system_clock::now(); })) {
    load();
}

void DeviceRegistry::load() {
    if (auto loaded = loadItems(); loaded) {
        lastError_.reset();
    } else {
        lastError_ = describe(loaded.error());
        if (hostId_.empty()) hostId_ = base::makeUuidString();
    }
}

std::expected<void, DeviceRegistryError> DeviceRegistry::loadItems() {
    // The first failure ends the load; after a failed list the identifier is not read either.
    if (auto devices = loadDevices(); !devices) return devices;
    return loadHostId();
}

std::expected<void, DeviceRegistryError> DeviceRegistry::loadDevices() {
    auto decoded = [&]() -> std::expected<std::optional<std::vector<DeviceRecord>>, DeviceRegistryError> {
        auto data = store_.load(std::string(kDevicesAccount));
        if (!data) return std::unexpected(data.error());
        if (!*data) return std::nullopt;
        auto json = base::parseJson(base::asText(**data));
        if (!json) return std::unexpected(json.error());
        auto list = base::readJsonValue<std::vector<DeviceRecord>>(*json);
        if (!list) return std::unexpected(list.error());
        return std::move(*list);
    }();
    if (!decoded) {
        devicesUnreadable_ = decoded.error();
        return std::unexpected(decoded.error());
    }
    devicesUnreadable_.reset();
    if (*decoded) devices_ = std::move(**decoded);
    return {};
}

std::expected<void, DeviceRegistryError> DeviceRegistry::loadHostId() {
    auto data = store_.load(std::string(kHostIdAccount));
    if (!data) return std::unexpected(data.error());
    if (*data && !(*data)->empty() && base::isValidUtf8(**data)) {
        hostId_ = std::string(base::asText(**data));
        return {};
    }
    hostId_ = base::makeUuidString();
    if (auto saved = store_.save(base::asBytes(hostId_), std::string(kHostIdAccount)); !saved) {
        return std::unexpected(saved.error());
    }
    return {};
}

std::expected<void, DeviceRegistryError> DeviceRegistry::saveDevices(const std::vector<DeviceRecord>& devices) {
    if (devicesUnreadable_) return std::unexpected(*devicesUnreadable_);
    auto text = base::writeJsonText(base::writeJsonValue(devices));
    if (!text) return std::unexpected(text.error());
    if (auto saved = store_.save(base::asBytes(*text), std::string(kDevicesAccount)); !saved) {
        return std::unexpected(saved.error());
    }
    return {};
}

sys_seconds DeviceRegistry::now() const { return floor<seconds>(now_()); }

std::expected<std::string, DeviceRegistryError> DeviceRegistry::registerDevice(const std::string& deviceId,
                                                                               const std::string& name) {
    std::string token = base::base64UrlEncode(Secret::randomBytes(kTokenBytes));
    std::vector<DeviceRecord> updated;
    std::copy_if(devices_.begin(), devices_.end(), std::back_inserter(updated),
                 [&](const DeviceRecord& record) { return record.deviceId != deviceId; });
    updated.push_back({deviceId, name, hash(token), now(), std::nullopt, std::nullopt});
    if (auto saved = saveDevices(updated); !saved) return std::unexpected(saved.error());
    devices_ = std::move(updated);
    return token;
}

std::optional<DeviceRecord> DeviceRegistry::authenticate(std::string_view token, std::string_view deviceId) const {
    const std::string presented = hash(token);
    const DeviceRecord* candidate = nullptr;
    // Every record is visited, so the time taken does not tell which one matched.
    for (const DeviceRecord& record : devices_) {
        if (Secret::constantTimeEqual(base::asBytes(presented), base::asBytes(record.tokenHash))) candidate = &record;
    }
    if (!candidate || candidate->deviceId != deviceId) return std::nullopt;
    return *candidate;
}

void DeviceRegistry::touch(const std::string& deviceId, std::optional<DeviceKind> kind) {
    auto found = std::find_if(devices_.begin(), devices_.end(),
                              [&](const DeviceRecord& record) { return record.deviceId == deviceId; });
    if (found == devices_.end()) return;
    std::vector<DeviceRecord> updated = devices_;
    DeviceRecord& record = updated[static_cast<std::size_t>(found - devices_.begin())];
    record.lastSeen = now();
    if (kind) record.kind = std::string(rawValue(*kind));
    if (saveDevices(updated)) devices_ = std::move(updated);
}

std::expected<void, DeviceRegistryError> DeviceRegistry::revoke(const std::string& deviceId) {
    std::vector<DeviceRecord> updated;
    std::copy_if(devices_.begin(), devices_.end(), std::back_inserter(updated),
                 [&](const DeviceRecord& record) { return record.deviceId != deviceId; });
    if (auto saved = saveDevices(updated); !saved) return saved;
    devices_ = std::move(updated);
    return {};
}

std::string DeviceRegistry::hash(std::string_view token) { return base::hexLower(base::sha256(base::asBytes(token))); }

}  // namespace orvanta::host
