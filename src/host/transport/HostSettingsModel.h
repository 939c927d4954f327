// The small values with which the host describes itself and the devices connected to it, and the
// diagnostic report that the settings screen copies for the user.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/transport/DeviceRegistry.h"

namespace orvanta::protocol {
struct Hello;
}

namespace orvanta::host {

// What kind of device a client is; its raw text is what the registry stores as a record's kind.
enum class DeviceKind : std::uint8_t { iPad, iPhone, mac, windows, android, other };

std::string_view rawValue(DeviceKind kind);
// Exact and case-sensitive; any other text gives nothing.
std::optional<DeviceKind> deviceKindFromRaw(std::string_view raw);
// The kind of a connecting client: its program kind when it names one ("macos-desktop",
// "windows-desktop", "android"; any other text is `other`), else its idiom.
DeviceKind deviceKindFrom(const protocol::Hello& hello);
// The kind of a stored paired device: its stored kind, except that a device with no or an "other"
// kind whose name ends in "(Android)" (ASCII or full-width parentheses) is an Android device.
std::optional<DeviceKind> recordedDeviceKind(const DeviceRecord& record);

// How a control connection reached the host.
enum class ConnectionRoute : std::uint8_t { tailscale, local, lan };

std::string_view rawValue(ConnectionRoute route);

// Header names that only the Tailscale proxy in front of the loopback listener adds.
inline constexpr std::array<std::string_view, 5> kProxyHeaderNames = {
    "tailscale-user-login", "tailscale-user-name", "x-forwarded-for", "x-forwarded-proto", "x-forwarded-host"};

// The route of a request from its header map (names lower-cased) and the listener it came to.
template <class HeaderMap>
ConnectionRoute connectionRoute(const HeaderMap& headers, bool isLAN) {
    if (isLAN) return ConnectionRoute::lan;
    for (std::string_view name : kProxyHeaderNames) {
        if (headers.contains(std::string(name))) return ConnectionRoute::tailscale;
    }
    return ConnectionRoute::local;
}

// The part a device's connection plays.
enum class LinkRole : std::uint8_t { main, controller, waitingReturn };

struct DeviceLink {
    LinkRole role = LinkRole::main;
    ConnectionRoute route = ConnectionRoute::local;
    bool operator==(const DeviceLink&) const = default;
};

enum class ListenState : std::uint8_t { starting, ready, failed };

// The system permissions the host needs; its raw text is its identifier.
enum class HostPermission : std::uint8_t { screenRecording, systemAudio, accessibility, localNetwork, pasteboard };

inline constexpr std::array<HostPermission, 5> kAllHostPermissions = {
    HostPermission::screenRecording, HostPermission::systemAudio, HostPermission::accessibility,
    HostPermission::localNetwork, HostPermission::pasteboard};

std::string_view rawValue(HostPermission permission);

// How a permission stands; an undetermined status carries the text shown in place of a label.
struct PermissionStatus {
    enum class Kind : std::uint8_t { undetermined, granted, denied, checking };
    Kind kind = Kind::checking;
    std::string text;  // undetermined only

    static PermissionStatus undetermined(std::string text) { return {Kind::undetermined, std::move(text)}; }
    static PermissionStatus granted() { return {Kind::granted, {}}; }
    static PermissionStatus denied() { return {Kind::denied, {}}; }
    static PermissionStatus checking() { return {Kind::checking, {}}; }

    bool operator==(const PermissionStatus&) const = default;
};

// A snapshot of the host's state, taken when the user asks for the diagnostic report.
struct StatusSummary {
    std::string appVersion;
    std::string appBuild;
    std::string osVersion;
    ListenState listen = ListenState::starting;
    std::vector<DeviceRecord> devices;
    std::map<std::string, DeviceLink> links;  // by device identifier: the devices connected now
    std::vector<std::pair<HostPermission, PermissionStatus>> permissions;  // in the order to print
    std::string loginItem;
    std::string highRes;
    std::chrono::system_clock::time_point generatedAt;
    std::optional<std::string> audio;

    bool operator==(const StatusSummary&) const = default;

    // The report, its date in the system's local time zone.
    std::string text() const;
    // The report with its date shifted by `utcOffset` from UTC.
    std::string text(std::chrono::seconds utcOffset) const;
};

// The local time zone's offset from UTC at `when`.
std::chrono::seconds localUtcOffset(std::chrono::system_clock::time_point when);

}  // namespace orvanta::host
