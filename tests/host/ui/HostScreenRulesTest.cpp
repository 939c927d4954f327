#include <gtest/gtest.h>

#include "host/ui/HostScreenRules.h"

namespace orvanta::host::ui {
namespace {

using namespace std::chrono;

DeviceRecord record(std::string id, std::string name, sys_seconds paired, std::optional<sys_seconds> seen = {},
                    std::optional<std::string> kind = {}) {
    return {.deviceId = std::move(id),
            .name = std::move(name),
            .tokenHash = {},
            .pairedAt = paired,
            .lastSeen = seen,
            .kind = std::move(kind)};
}

constexpr sys_seconds day(int y, unsigned m, unsigned d, int hour = 0, int minute = 0) {
    return sys_seconds(sys_days(year(y) / month(m) / d)) + hours(hour) + minutes(minute);
}

struct StatusCase {
    const char* name;
    std::vector<DeviceRecord> devices;
    Links links;
    std::optional<std::string> connectedName;
    ListenState listen;
    std::string text;
};

TEST(HostStatusTest, TakesTheFirstRuleThatApplies) {
    const auto a = record("a", "Tab A", day(2024, 1, 1));
    const auto b = record("b", "Phone B", day(2024, 1, 2));
    const auto blank = record("z", "\u200B\u200B", day(2024, 1, 3));
    const DeviceLink main{LinkRole::main, ConnectionRoute::local};
    const DeviceLink controller{LinkRole::controller, ConnectionRoute::lan};
    const DeviceLink waiting{LinkRole::waitingReturn, ConnectionRoute::local};
    const std::vector<StatusCase> cases = {
        {"main wins over the connected name", {a, b}, {{"b", main}}, "Other", ListenState::ready, "接続中 · Phone B"},
        {"connected name before a controller",
         {a, b},
         {{"a", controller}},
         "Other",
         ListenState::ready,
         "接続中 · Other"},
        {"empty connected name", {}, {}, "", ListenState::ready, "接続中 · 名前のない端末"},
        {"connected name is not trimmed", {}, {}, "  ", ListenState::ready, "接続中 ·   "},
        {"controller without a connected name",
         {a, b},
         {{"b", controller}},
         std::nullopt,
         ListenState::ready,
         "接続中 · Phone B"},
        {"waiting return never reads connected", {a}, {{"a", waiting}}, std::nullopt, ListenState::ready, "待受中"},
        {"main device while the listener failed",
         {a},
         {{"a", main}},
         std::nullopt,
         ListenState::failed,
         "接続中 · Tab A"},
        {"invisible name", {blank}, {{"z", main}}, std::nullopt, ListenState::ready, "接続中 · 名前のない端末"},
        {"starting", {}, {}, std::nullopt, ListenState::starting, "起動中…"},
        {"failed", {}, {}, std::nullopt, ListenState::failed, "接続できません"},
        {"ready", {}, {}, std::nullopt, ListenState::ready, "待受中"},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(statusText(each.devices, each.links, each.connectedName, each.listen), each.text) << each.name;
    }
    EXPECT_EQ(statusColour(ListenState::failed), ThemeColour::danger);
    EXPECT_EQ(statusColour(ListenState::ready), ThemeColour::stateOK);
    EXPECT_EQ(statusColour(ListenState::starting), ThemeColour::muted);
}

TEST(CodeRowTest, LaysTheTenCellsOutInGroupsOfFourFourAndTwo) {
    const CodeRow row = codeRow("AB3D-EF7H-JK");
    ASSERT_EQ(row.cells.size(), 10u);
    EXPECT_DOUBLE_EQ(row.width, 300);
    EXPECT_DOUBLE_EQ(row.height, 50);
    EXPECT_TRUE(row.showsSeparators);
    EXPECT_EQ(row.accessibilityValue, "A B 3 D E F 7 H J K");
    std::string shown;
    for (const auto& cell : row.cells) shown += cell.character;
    EXPECT_EQ(shown, "AB3DEF7HJK");
    // Separators before the fifth and ninth cells, gaps of 4 elsewhere.
    EXPECT_EQ(row.cells[0].lead, CellLead::none);
    EXPECT_DOUBLE_EQ(row.cells[0].x, 0);
    EXPECT_EQ(row.cells[1].lead, CellLead::gap);
    EXPECT_DOUBLE_EQ(row.cells[1].x, 23.2 + 4);
    EXPECT_EQ(row.cells[4].lead, CellLead::separator);
    EXPECT_DOUBLE_EQ(row.cells[4].leadX, 4 * 23.2 + 3 * 4);
    EXPECT_DOUBLE_EQ(row.cells[4].x, 4 * 23.2 + 3 * 4 + 20);
    EXPECT_EQ(row.cells[8].lead, CellLead::separator);
    EXPECT_DOUBLE_EQ(row.cells[9].x + kCellWidth, 300);
}

TEST(CodeRowTest, WithoutACodeCollapsesToTenBars) {
    const CodeRow row = codeRow(std::nullopt);
    EXPECT_DOUBLE_EQ(row.height, 1);
    EXPECT_DOUBLE_EQ(row.width, 300);
    EXPECT_FALSE(row.showsSeparators);
    EXPECT_EQ(row.accessibilityValue, "未発行");
    for (const auto& cell : row.cells) EXPECT_EQ(cell.character, " ");
}

TEST(DeviceNameTest, DisplayNames) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Tab", "Tab"},
        {"Tab  ", "Tab  "},  // ordinary spaces at the ends stay
        {"\u200BTab\uFEFF", "Tab"},
        {"\u200B\u200C", "名前のない端末"},
        {"   ", "名前のない端末"},
        {"", "名前のない端末"},
    };
    for (const auto& [name, shown] : cases) EXPECT_EQ(displayName(record("x", name, {})), shown) << name;
}

TEST(DeviceGroupsTest, GroupsByNameNewestFirst) {
    const auto now = day(2024, 3, 10, 12);
    const auto aSeen = record("a1", "A", now - weeks(2), now - days(1));
    const auto aOld = record("a2", "A", now - weeks(1));
    const auto b = record("b", "B", now - weeks(3), now);
    const auto groups = orderedGroups({aSeen, aOld, b});
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].id, "B");
    EXPECT_TRUE(groups[0].older.empty());
    EXPECT_EQ(groups[1].id, "A");
    EXPECT_EQ(groups[1].latest.deviceId, "a1");
    ASSERT_EQ(groups[1].older.size(), 1u);
    EXPECT_EQ(groups[1].older[0].deviceId, "a2");
    EXPECT_EQ(visibleRecordIds(groups, {}), (std::vector<std::string>{"b", "a1"}));
    EXPECT_EQ(visibleRecordIds(groups, {"A"}), (std::vector<std::string>{"b", "a1", "a2"}));

    const auto latest = detailLine(groups[1].latest, hours(9));
    EXPECT_EQ(latest.text(), "最終接続 2024/03/09 21:00");
    EXPECT_EQ(detailLine(groups[1].older[0], hours(9)).text(), "登録 2024/03/03");
}

TEST(DeviceGroupsTest, EqualDatesKeepTheStoredOrderAndSimilarNamesStayApart) {
    const auto when = day(2024, 1, 1);
    const auto groups =
        orderedGroups({record("first", "Tab", when), record("second", "Tab", when), record("spaced", "Tab ", when),
                       record("z1", "\u200B", when), record("z2", "\uFEFF", when)});
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups[0].latest.deviceId, "first");
    EXPECT_EQ(groups[0].older[0].deviceId, "second");
    EXPECT_EQ(groups[1].id, "Tab ");
    EXPECT_EQ(groups[2].id, "名前のない端末");
    EXPECT_EQ(groups[2].older.size(), 1u);
}

TEST(RecordDateTest, AsciiDigitsInTheGivenZone) {
    struct Case {
        sys_seconds date;
        bool time;
        seconds offset;
        const char* text;
    };
    const Case cases[] = {
        {day(2024, 3, 5, 0, 7), true, hours(9), "2024/03/05 09:07"},
        {day(2024, 3, 4, 15), true, hours(9), "2024/03/05 00:00"},  // midnight is 00
        {day(2024, 3, 5, 0, 7), false, hours(9), "2024/03/05"},
        {day(2024, 1, 1, 2), false, -hours(5), "2023/12/31"},
        {day(987, 6, 1), false, seconds(0), "987/06/01"},  // the year in its own number of digits
    };
    for (const auto& each : cases) EXPECT_EQ(formatRecordDate(each.date, each.time, each.offset), each.text);
}

TEST(RecordDateTest, FollowsAChangeOfTheSystemTimeZone) {
    const char* saved = std::getenv("TZ");
    const std::string restore = saved ? saved : "";
    ::setenv("TZ", "Asia/Tokyo", 1);
    EXPECT_EQ(localRecordDate(day(2024, 3, 4, 15), true), "2024/03/05 00:00");
    ::setenv("TZ", "UTC", 1);
    EXPECT_EQ(localRecordDate(day(2024, 3, 4, 15), true), "2024/03/04 15:00");
    if (saved)
        ::setenv("TZ", restore.c_str(), 1);
    else
        ::unsetenv("TZ");
    tzset();
}

TEST(DetailLineTest, KindSuffixes) {
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
        {"iPad", " · iPad"},       {"iPhone", " · iPhone"}, {"mac", " · Mac"},  {"windows", " · Windows"},
        {"android", " · Android"}, {"other", " · その他"},  {std::nullopt, ""}, {"toaster", ""}};
    for (const auto& [kind, suffix] : cases) {
        EXPECT_EQ(detailLine(record("x", "Tab", day(2024, 1, 1), {}, kind), seconds(0)).suffix, suffix);
    }
    EXPECT_EQ(detailLine(record("x", "Pixel (Android)", day(2024, 1, 1)), seconds(0)).suffix, " · Android");
}

TEST(RemovalTextTest, TitlesMessagesAndScopes) {
    const auto a = record("a", "Tab", day(2024, 1, 1));
    const auto b = record("b", "Tab", day(2024, 1, 2));
    const Removal bulk{.name = "Tab", .records = {a, b}, .bulk = true, .scope = std::nullopt};
    EXPECT_EQ(bulk.title(), "「Tab」の以前の記録 2件を削除しますか？");
    EXPECT_EQ(bulk.buttonTitle(), "まとめて削除");
    EXPECT_EQ(bulk.accessibilityLabel(), "Tabの以前の記録をまとめて削除");
    const Removal single{
        .name = "Tab", .records = {a}, .bulk = false, .scope = singleScope(false, 2, "2024/01/01 00:00")};
    EXPECT_EQ(single.title(), "Tabのペアリングを解除しますか？");
    EXPECT_EQ(single.accessibilityLabel(), "Tabを削除");
    EXPECT_EQ(single.message({{"a", {LinkRole::main, ConnectionRoute::local}}}),
              "最新の記録（2024/01/01 00:00）を削除します。以前の記録2件は残ります。\n"
              "次に接続するには、もう一度ペアリングが必要です。\n接続が切断されます。");
    EXPECT_EQ(bulk.message({{"b", {LinkRole::waitingReturn, ConnectionRoute::local}}}),
              "次に接続するには、もう一度ペアリングが必要です。\n接続中の場合は切断されます。");
    EXPECT_EQ(bulk.message({{"b", {LinkRole::controller, ConnectionRoute::lan}}}).ends_with("接続が切断されます。"),
              true);
    EXPECT_EQ(singleScope(true, 1, "D"), "この記録（D）を削除します。");
    EXPECT_EQ(singleScope(false, 0, "D"), std::nullopt);
    EXPECT_EQ(badgeText(LinkRole::waitingReturn), "復帰中…");
    EXPECT_EQ(badgeColour(LinkRole::waitingReturn), ThemeColour::stateWarn);
    EXPECT_EQ(badgeText(LinkRole::controller), "入力専用で参加中");
}

}  // namespace
}  // namespace orvanta::host::ui
