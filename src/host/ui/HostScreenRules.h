// The host screens' decisions as pure functions, tested without a display: the status line and its
// dot, the code cells, device names, groups, dates and detail lines, and the texts of a removal.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/ui/Theme.h"
#include "host/transport/DeviceRegistry.h"
#include "host/transport/HostSettingsModel.h"

namespace orvanta::host::ui {

using client::ThemeColour;
using Links = std::map<std::string, DeviceLink>;

inline constexpr std::string_view kUnnamedDevice = "名前のない端末";

// ---- Status bar.
std::string statusText(const std::vector<DeviceRecord>& devices, const Links& links,
                       const std::optional<std::string>& connectedName, ListenState listen);
ThemeColour statusColour(ListenState listen);

// ---- Pairing code.
inline constexpr int kCodeCells = 10;
inline constexpr double kCellWidth = 23.2;
inline constexpr double kSeparatorWidth = 20;
inline constexpr double kGapWidth = 4;
inline constexpr double kCodeHeight = 50;
inline constexpr int kQrPointsPerModule = 3;
inline constexpr int kQrPadding = 12;

// What stands before cell i and where the cell lies along the row.
enum class CellLead { none, separator, gap };
struct CodeCell {
    CellLead lead = CellLead::none;
    double leadX = 0;
    double x = 0;           // the cell's left edge
    std::string character;  // one character, or a space
    bool operator==(const CodeCell&) const = default;
};
struct CodeRow {
    std::vector<CodeCell> cells;
    double width = 0;
    double height = 1;
    bool showsSeparators = false;
    std::string accessibilityValue;  // the characters joined by spaces, or "未発行"
    bool operator==(const CodeRow&) const = default;
};
// The row for the published code (its dashes are dropped); nothing gives ten empty cells.
CodeRow codeRow(const std::optional<std::string>& codeText);

// ---- Paired devices.
std::string displayName(const DeviceRecord& record);
std::chrono::sys_seconds recordDate(const DeviceRecord& record);

struct DeviceGroup {
    std::string id;  // the display name
    DeviceRecord latest;
    std::vector<DeviceRecord> older;  // newest first
    bool operator==(const DeviceGroup&) const = default;
};
// Groups by display name, newest record first within and across groups; equal dates keep the
// stored order.
std::vector<DeviceGroup> orderedGroups(const std::vector<DeviceRecord>& records);
// Every group's latest record, followed by its older ones when the group is expanded.
std::vector<std::string> visibleRecordIds(const std::vector<DeviceGroup>& groups,
                                          const std::vector<std::string>& expanded);

// "2024/03/05" or "2024/03/05 09:07" in the given offset from UTC, ASCII digits.
std::string formatRecordDate(std::chrono::sys_seconds date, bool includeTime, std::chrono::seconds utcOffset);
// The same in the system's current time zone, re-read at every call so a change is followed.
std::string localRecordDate(std::chrono::sys_seconds date, bool includeTime);

// "登録 2024/03/05" or "最終接続 2024/03/05 09:07", with " · " and the kind's label when known.
struct DetailLine {
    std::string label;
    std::string date;
    std::string suffix;
    std::string text() const { return label + " " + date + suffix; }
};
DetailLine detailLine(const DeviceRecord& record, std::chrono::seconds utcOffset);
std::string_view kindLabel(DeviceKind kind);

// The badge of a linked record, and its colour.
std::string_view badgeText(LinkRole role);
ThemeColour badgeColour(LinkRole role);

// ---- Removal.
struct Removal {
    std::string name;
    std::vector<DeviceRecord> records;
    bool bulk = false;
    std::optional<std::string> scope;
    bool operator==(const Removal&) const = default;

    std::string title() const;
    std::string message(const Links& links) const;
    std::string buttonTitle() const { return bulk ? "まとめて削除" : "削除"; }
    std::string accessibilityLabel() const;
};
// The scope line of one record's removal: a child row, a latest row with older records, or none.
std::optional<std::string> singleScope(bool child, std::size_t olderCount, const std::string& date);

inline constexpr std::string_view kStaleRemoval = "記録が更新されました。もう一度確認してください";

}  // namespace orvanta::host::ui
