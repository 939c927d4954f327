#include "host/ui/HostScreenRules.h"

#include <algorithm>
#include <ctime>
#include <unordered_map>

#include "protocol/DeviceNameDisplay.h"

namespace orvanta::host::ui {
namespace {

constexpr std::string_view kConnectedPrefix = "接続中 · ";

// The first record, in stored order, whose link has the role.
const DeviceRecord* linkedWith(const std::vector<DeviceRecord>& devices, const Links& links, LinkRole role) {
    for (const DeviceRecord& record : devices) {
        const auto link = links.find(record.deviceId);
        if (link != links.end() && link->second.role == role) return &record;
    }
    return nullptr;
}

bool isBlank(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); });
}

// The characters of a text as UTF-8 sequences; the code is ASCII, but nothing here assumes it.
std::vector<std::string> characters(std::string_view text) {
    std::vector<std::string> result;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 1;
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead >= 0xF0)
            length = 4;
        else if (lead >= 0xE0)
            length = 3;
        else if (lead >= 0xC0)
            length = 2;
        length = std::min(length, text.size() - i);
        result.emplace_back(text.substr(i, length));
        i += length;
    }
    return result;
}

std::string twoDigits(unsigned value) { return {char('0' + value / 10 % 10), char('0' + value % 10)}; }

}  // namespace

std::string statusText(const std::vector<DeviceRecord>& devices, const Links& links,
                       const std::optional<std::string>& connectedName, ListenState listen) {
    if (const auto* main = linkedWith(devices, links, LinkRole::main))
        return std::string(kConnectedPrefix) + displayName(*main);
    if (connectedName)
        return std::string(kConnectedPrefix) + (connectedName->empty() ? std::string(kUnnamedDevice) : *connectedName);
    if (const auto* controller = linkedWith(devices, links, LinkRole::controller))
        return std::string(kConnectedPrefix) + displayName(*controller);
    switch (listen) {
        case ListenState::starting:
            return "起動中…";
        case ListenState::failed:
            return "接続できません";
        case ListenState::ready:
            break;
    }
    return "待受中";
}

ThemeColour statusColour(ListenState listen) {
    switch (listen) {
        case ListenState::failed:
            return ThemeColour::danger;
        case ListenState::ready:
            return ThemeColour::stateOK;
        case ListenState::starting:
            break;
    }
    return ThemeColour::muted;
}

CodeRow codeRow(const std::optional<std::string>& codeText) {
    std::string plain = codeText.value_or("");
    std::erase(plain, '-');
    const auto chars = characters(plain);
    CodeRow row;
    row.height = chars.empty() ? 1 : kCodeHeight;
    row.showsSeparators = !chars.empty();
    double x = 0;
    for (int i = 0; i < kCodeCells; ++i) {
        CodeCell cell;
        cell.leadX = x;
        if (i == 4 || i == 8) {
            cell.lead = CellLead::separator;
            x += kSeparatorWidth;
        } else if (i != 0) {
            cell.lead = CellLead::gap;
            x += kGapWidth;
        }
        cell.x = x;
        x += kCellWidth;
        const auto index = static_cast<std::size_t>(i);
        cell.character = index < chars.size() ? chars[index] : " ";
        row.cells.push_back(cell);
    }
    row.width = x;
    if (chars.empty()) {
        row.accessibilityValue = "未発行";
    } else {
        for (std::size_t i = 0; i < chars.size(); ++i) row.accessibilityValue += (i ? " " : "") + chars[i];
    }
    return row;
}

std::string displayName(const DeviceRecord& record) {
    std::string name = protocol::trimmedDeviceNameForDisplay(record.name);
    if (isBlank(name)) return std::string(kUnnamedDevice);
    return name;
}

std::chrono::sys_seconds recordDate(const DeviceRecord& record) { return record.lastSeen.value_or(record.pairedAt); }

std::vector<DeviceGroup> orderedGroups(const std::vector<DeviceRecord>& records) {
    std::vector<DeviceRecord> sorted = records;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const DeviceRecord& a, const DeviceRecord& b) { return recordDate(a) > recordDate(b); });
    std::vector<DeviceGroup> groups;
    std::unordered_map<std::string, std::size_t> positions;
    for (DeviceRecord& record : sorted) {
        std::string name = displayName(record);
        const auto known = positions.find(name);
        if (known != positions.end()) {
            groups[known->second].older.push_back(std::move(record));
            continue;
        }
        positions.emplace(name, groups.size());
        groups.push_back({.id = std::move(name), .latest = std::move(record), .older = {}});
    }
    return groups;
}

std::vector<std::string> visibleRecordIds(const std::vector<DeviceGroup>& groups,
                                          const std::vector<std::string>& expanded) {
    std::vector<std::string> ids;
    for (const DeviceGroup& group : groups) {
        ids.push_back(group.latest.deviceId);
        if (std::find(expanded.begin(), expanded.end(), group.id) == expanded.end()) continue;
        for (const DeviceRecord& record : group.older) ids.push_back(record.deviceId);
    }
    return ids;
}

std::string formatRecordDate(std::chrono::sys_seconds date, bool includeTime, std::chrono::seconds utcOffset) {
    using namespace std::chrono;
    const auto local = date + utcOffset;
    const auto day = floor<days>(local);
    const year_month_day ymd{day};
    std::string text =
        std::to_string(int(ymd.year())) + "/" + twoDigits(unsigned(ymd.month())) + "/" + twoDigits(unsigned(ymd.day()));
    if (includeTime) {
        const hh_mm_ss time{local - day};
        text += " " + twoDigits(unsigned(time.hours().count())) + ":" + twoDigits(unsigned(time.minutes().count()));
    }
    return text;
}

std::string localRecordDate(std::chrono::sys_seconds date, bool includeTime) {
    // The time zone is read anew each time, so a change of the system's zone is followed.
    tzset();
    const std::time_t seconds = date.time_since_epoch().count();
    std::tm local{};
    const std::chrono::seconds offset(localtime_r(&seconds, &local) ? local.tm_gmtoff : 0);
    return formatRecordDate(date, includeTime, offset);
}

std::string_view kindLabel(DeviceKind kind) {
    switch (kind) {
        case DeviceKind::iPad:
            return "iPad";
        case DeviceKind::iPhone:
            return "iPhone";
        case DeviceKind::mac:
            return "Mac";
        case DeviceKind::windows:
            return "Windows";
        case DeviceKind::android:
            return "Android";
        case DeviceKind::other:
            break;
    }
    return "その他";
}

DetailLine detailLine(const DeviceRecord& record, std::chrono::seconds utcOffset) {
    const bool seen = record.lastSeen.has_value();
    DetailLine line{.label = seen ? "最終接続" : "登録",
                    .date = formatRecordDate(recordDate(record), seen, utcOffset),
                    .suffix = {}};
    if (const auto kind = recordedDeviceKind(record)) line.suffix = " · " + std::string(kindLabel(*kind));
    return line;
}

std::string_view badgeText(LinkRole role) {
    switch (role) {
        case LinkRole::main:
            return "接続中";
        case LinkRole::controller:
            return "入力専用で参加中";
        case LinkRole::waitingReturn:
            break;
    }
    return "復帰中…";
}

ThemeColour badgeColour(LinkRole role) {
    return role == LinkRole::waitingReturn ? ThemeColour::stateWarn : ThemeColour::stateOK;
}

std::string Removal::title() const {
    if (bulk) return "「" + name + "」の以前の記録 " + std::to_string(records.size()) + "件を削除しますか？";
    return name + "のペアリングを解除しますか？";
}

std::string Removal::message(const Links& links) const {
    std::string text;
    if (scope) text += *scope + "\n";
    text += "次に接続するには、もう一度ペアリングが必要です。\n";
    const bool cuts = std::any_of(records.begin(), records.end(), [&](const DeviceRecord& record) {
        const auto link = links.find(record.deviceId);
        return link != links.end() && link->second.role != LinkRole::waitingReturn;
    });
    text += cuts ? "接続が切断されます。" : "接続中の場合は切断されます。";
    return text;
}

std::string Removal::accessibilityLabel() const { return bulk ? name + "の以前の記録をまとめて削除" : name + "を削除"; }

std::optional<std::string> singleScope(bool child, std::size_t olderCount, const std::string& date) {
    if (child) return "この記録（" + date + "）を削除します。";
    if (olderCount == 0) return std::nullopt;
    return "最新の記録（" + date + "）を削除します。以前の記録" + std::to_string(olderCount) + "件は残ります。";
}

}  // namespace orvanta::host::ui
