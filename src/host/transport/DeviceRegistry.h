// The devices paired with this host and the host's own identifier, kept in the secret store. Only
// the SHA-256 of each device token is stored; the token itself is handed out once, at pairing.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/Json.h"
#include "base/SecretStore.h"
#include "host/transport/CredentialStore.h"

namespace orvanta::host {

enum class DeviceKind : std::uint8_t;  // HostSettingsModel.h

// One paired device, as stored in the "devices" item.
struct DeviceRecord {
    std::string deviceId;
    std::string name;
    std::string tokenHash;  // 64 lower-case hexadecimal digits
    std::chrono::sys_seconds pairedAt{};
    std::optional<std::chrono::sys_seconds> lastSeen;  // last authenticated session
    std::optional<std::string> kind;                   // raw DeviceKind text at that session

    bool operator==(const DeviceRecord&) const = default;

    static base::JsonResult<DeviceRecord> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
};

// Stored dates: UTC with whole seconds, "2026-12-09T09:01:15Z".
std::string formatStoredDate(std::chrono::sys_seconds date);
// Also takes a numeric offset ("+09:00") in place of "Z"; nothing for any other text.
std::optional<std::chrono::sys_seconds> parseStoredDate(std::string_view text);

// Why the stored device list could not be read or written.
using DeviceRegistryError = std::variant<base::SecretStoreError, base::JsonError, base::JsonEncodeError>;
std::string describe(const DeviceRegistryError& error);

class DeviceRegistry {
public:
    using WallClock = std::function<std::chrono::system_clock::time_point()>;

    static constexpr std::string_view kDevicesAccount = "devices";
    static constexpr std::string_view kHostIdAccount = "host-id";

    // Loads at once. Dates come from `now`, the system's wall clock when none is given.
    explicit DeviceRegistry(std::shared_ptr<base::SecretStore> store, WallClock now = {});

    // Reads the device list and the host identifier, making and storing the identifier when there
    // is none. Failures land in lastError(); hostId() is never empty afterwards.
    void load();

    // Pairs a device, replacing an earlier record with the same identifier, and returns its new
    // token (32 random bytes, base64url without padding). Refused while the stored list could not
    // be read, so that a save cannot erase the devices that failed to load.
    std::expected<std::string, DeviceRegistryError> registerDevice(const std::string& deviceId,
                                                                   const std::string& name);
    // The record whose hash matches the token's (compared in constant time over every record),
    // when it also carries this device identifier.
    std::optional<DeviceRecord> authenticate(std::string_view token, std::string_view deviceId) const;
    // Records that the device was seen now, and its kind when one is given. A failed save is
    // dropped: the device still authenticates.
    void touch(const std::string& deviceId, std::optional<DeviceKind> kind);
    // Forgets the device; the list is rewritten even when it held no such device.
    std::expected<void, DeviceRegistryError> revoke(const std::string& deviceId);

    // Lower-case hexadecimal SHA-256 of the token's UTF-8 bytes.
    static std::string hash(std::string_view token);

    const std::vector<DeviceRecord>& devices() const { return devices_; }
    const std::string& hostId() const { return hostId_; }
    // The description of the last load's failure; nothing after a load without one.
    const std::optional<std::string>& lastError() const { return lastError_; }

private:
    std::expected<void, DeviceRegistryError> loadItems();
    std::expected<void, DeviceRegistryError> loadDevices();
    std::expected<void, DeviceRegistryError> loadHostId();
    std::expected<void, DeviceRegistryError> saveDevices(const std::vector<DeviceRecord>& devices);
    std::chrono::sys_seconds now() const;

    CredentialStore store_;
    WallClock now_;
    std::vector<DeviceRecord> devices_;
    std::string hostId_;
    std::optional<std::string> lastError_;
    // Set while the last attempt to read the stored list failed.
    std::optional<DeviceRegistryError> devicesUnreadable_;
};

}  // namespace orvanta::host
