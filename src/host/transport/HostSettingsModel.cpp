#include "host/transport/HostSettingsModel.h"

#include <cstdio>
#include <ctime>

#include "protocol/ControlMessages.h"

namespace orvanta::host {
namespace {

template <class Enum>
struct Names {
    Enum value;
    std::string_view raw;
    std::string_view label;  // in the diagnostic report
};

constexpr std::array<Names<DeviceKind>, 6> kDeviceKinds = {{
    {DeviceKind::iPad, "iPad", "iPad"},
    {DeviceKind::iPhone, "iPhone", "iPhone"},
    {DeviceKind::mac, "mac", "Mac"},
    {DeviceKind::windows, "windows", "Windows"},
    {DeviceKind::android, "android", "Android"},
    {DeviceKind::other, "other", "その他"},
}};

constexpr std::array<Names<ConnectionRoute>, 3> kRoutes = {{
    {ConnectionRoute::tailscale, "tailscale", "Tailscale 経由"},
    {ConnectionRoute::local, "local", "ローカル（このMac内）"},
    {ConnectionRoute::lan, "lan", "ローカルネットワーク"},
}};

constexpr std::array<Names<HostPermission>, 5> kPermissions = {{
    {HostPermission::screenRecording, "screenRecording", "画面収録"},
    {HostPermission::systemAudio, "systemAudio", "システムオーディオ録音"},
    {HostPermission::accessibility, "accessibility", "アクセシビリティ"},
    {HostPermission::localNetwork, "localNetwork", "ローカルネットワーク"},
    {HostPermission::pasteboard, "pasteboard", "ペーストボード（コピーした内容）"},
}};

template <class Enum, std::size_t N>
const Names<Enum>& entry(const std::array<Names<Enum>, N>& table, Enum value) {
    for (const auto& names : table) {
        if (names.value == value) return names;
    }
    return table.front();  // unreachable: every table lists every case
}

std::string_view label(LinkRole role) {
    switch (role) {
        case LinkRole::main:
            return "接続中";
        case LinkRole::controller:
            return "接続中（入力専用）";
        case LinkRole::waitingReturn:
            return "復帰待ち";
    }
    return {};
}

std::string_view label(ListenState state) {
    switch (state) {
        case ListenState::starting:
            return "起動中";
        case ListenState::ready:
            return "待受中";
        case ListenState::failed:
            return "待ち受けに失敗";
    }
    return {};
}

std::string label(const PermissionStatus& status) {
    switch (status.kind) {
        case PermissionStatus::Kind::undetermined:
            return status.text;
        case PermissionStatus::Kind::granted:
            return "許可済み";
        case PermissionStatus::Kind::denied:
            return "未許可";
        case PermissionStatus::Kind::checking:
            return "確認中";
    }
    return {};
}

std::string_view kindLabel(const DeviceRecord& record) {
    if (auto kind = recordedDeviceKind(record)) return entry(kDeviceKinds, *kind).label;
    return record.deviceId.starts_with("macos-") ? "Mac" : "種類不明";
}

// "yyyy-MM-dd HH:mm" of the wall-clock time at `utcOffset` from UTC.
std::string formatMinutes(std::chrono::system_clock::time_point when, std::chrono::seconds utcOffset) {
    using namespace std::chrono;
    const auto local = floor<minutes>(when + utcOffset);
    const auto day = floor<days>(local);
    const year_month_day date(day);
    const hh_mm_ss time(local - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()));
    return text;
}

}  // namespace

std::string_view rawValue(DeviceKind kind) { return entry(kDeviceKinds, kind).raw; }

std::optional<DeviceKind> deviceKindFromRaw(std::string_view raw) {
    for (const auto& names : kDeviceKinds) {
        if (names.raw == raw) return names.value;
    }
    return std::nullopt;
}

DeviceKind deviceKindFrom(const protocol::Hello& hello) {
    if (!hello.caps.client) return hello.idiom == protocol::DeviceIdiom::pad ? DeviceKind::iPad : DeviceKind::iPhone;
    const std::string& client = *hello.caps.client;
    if (client == "macos-desktop") return DeviceKind::mac;
    if (client == "android") return DeviceKind::android;
    if (client == "windows-desktop") return DeviceKind::windows;
    return DeviceKind::other;
}

std::optional<DeviceKind> recordedDeviceKind(const DeviceRecord& record) {
    const std::string_view stored = record.kind ? std::string_view(*record.kind) : std::string_view();
    if ((stored.empty() || stored == "other") &&
        (record.name.ends_with("(Android)") || record.name.ends_with("（Android）"))) {
        return DeviceKind::android;
    }
    return deviceKindFromRaw(stored);
}

std::string_view rawValue(ConnectionRoute route) { return entry(kRoutes, route).raw; }

std::string_view rawValue(HostPermission permission) { return entry(kPermissions, permission).raw; }

std::chrono::seconds localUtcOffset(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    if (!localtime_r(&seconds, &local)) return std::chrono::seconds(0);
    return std::chrono::seconds(local.tm_gmtoff);
}

std::string StatusSummary::text() const { return text(localUtcOffset(generatedAt)); }

std::string StatusSummary::text(std::chrono::seconds utcOffset) const {
    std::vector<std::string> lines;
    lines.push_back("Orvanta " + appVersion + "（ビルド " + appBuild + "）");
    lines.push_back("macOS " + osVersion);
    lines.push_back("作成: " + formatMinutes(generatedAt, utcOffset));
    lines.emplace_back();
    lines.push_back("待ち受け: " + std::string(label(listen)));

    std::vector<std::string> connected;
    for (const DeviceRecord& record : devices) {
        auto link = links.find(record.deviceId);
        if (link == links.end()) continue;
        const std::string name = record.name.empty() ? "名前なし" : record.name;
        connected.push_back("- " + name + "（" + std::string(kindLabel(record)) +
                            "）: " + std::string(label(link->second.role)) + "・" +
                            std::string(entry(kRoutes, link->second.route).label));
    }
    if (connected.empty()) {
        lines.emplace_back("接続中の端末: なし");
    } else {
        lines.emplace_back("接続中の端末:");
        lines.insert(lines.end(), connected.begin(), connected.end());
    }
    lines.push_back("ペアリング済みの端末: " + std::to_string(devices.size()) + "台");
    lines.emplace_back();
    lines.emplace_back("許可:");
    for (const auto& [permission, status] : permissions) {
        lines.push_back("- " + std::string(entry(kPermissions, permission).label) + ": " + label(status));
    }
    lines.emplace_back();
    lines.push_back("ログイン時に開く: " + loginItem);
    lines.push_back("高解像度（仮想ディスプレイ）: " + highRes);
    if (audio) lines.push_back("音声: " + *audio);

    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) out.push_back('\n');
        out += lines[i];
    }
    return out;
}

}  // namespace orvanta::host
