#include "host/transport/HostSettingsModel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <unordered_map>

#include "protocol/ControlMessages.h"

namespace orvanta::host {
namespace {

using namespace std::chrono;

DeviceRecord record(std::string deviceId, std::string name, std::optional<std::string> kind) {
    return {std::move(deviceId),           std::move(name), std::string(64, '0'),
            sys_days(2026y / January / 1), std::nullopt,    std::move(kind)};
}

TEST(DeviceKindText, RoundTripsExactlyAndCaseSensitively) {
    for (DeviceKind kind : {DeviceKind::iPad, DeviceKind::iPhone, DeviceKind::mac, DeviceKind::windows,
                            DeviceKind::android, DeviceKind::other}) {
        EXPECT_EQ(deviceKindFromRaw(rawValue(kind)), kind);
    }
    EXPECT_EQ(rawValue(DeviceKind::iPad), "iPad");
    EXPECT_EQ(rawValue(DeviceKind::mac), "mac");
    for (std::string_view text : {"Android", "ipad", "", "other "}) EXPECT_EQ(deviceKindFromRaw(text), std::nullopt);
}

TEST(DeviceKindOfHello, GoesByTheClientProgramThenTheIdiom) {
    struct Case {
        std::optional<std::string> client;
        protocol::DeviceIdiom idiom;
        DeviceKind kind;
    };
    using protocol::DeviceIdiom;
    const std::vector<Case> cases = {
        {std::nullopt, DeviceIdiom::pad, DeviceKind::iPad},
        {std::nullopt, DeviceIdiom::phone, DeviceKind::iPhone},
        {"macos-desktop", DeviceIdiom::phone, DeviceKind::mac},
        {"windows-desktop", DeviceIdiom::pad, DeviceKind::windows},
        {"android", DeviceIdiom::phone, DeviceKind::android},
        {"", DeviceIdiom::pad, DeviceKind::other},
        {"Android", DeviceIdiom::pad, DeviceKind::other},
        {"ios", DeviceIdiom::phone, DeviceKind::other},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.client.value_or("(none)"));
        protocol::Hello hello;
        hello.idiom = c.idiom;
        hello.caps.client = c.client;
        EXPECT_EQ(deviceKindFrom(hello), c.kind);
    }
}

TEST(DeviceKindRecorded, ReadsTheStoredKindAndAndroidNames) {
    struct Case {
        std::optional<std::string> kind;
        std::string name;
        std::optional<DeviceKind> expected;
    };
    const std::vector<Case> cases = {
        {"other", "Pixel 8 (Android)", DeviceKind::android},
        {std::nullopt, "Pixel 8（Android）", DeviceKind::android},
        {"", "Pixel (Android)", DeviceKind::android},
        {"windows", "Pixel (Android)", DeviceKind::windows},
        {"other", "Pixel (android)", DeviceKind::other},
        {"other", "(Android) Pixel", DeviceKind::other},
        {"Android", "Pixel", std::nullopt},
        {std::nullopt, "iPad", std::nullopt},
        {"iPhone", "iPhone", DeviceKind::iPhone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind.value_or("(none)") + " / " + c.name);
        EXPECT_EQ(recordedDeviceKind(record("d", c.name, c.kind)), c.expected);
    }
}

TEST(ConnectionRouteOfRequest, TellsTheProxyFromLoopbackAndLan) {
    using Headers = std::map<std::string, std::string>;
    struct Case {
        Headers headers;
        bool isLAN;
        ConnectionRoute route;
    };
    const std::vector<Case> cases = {
        {{{"x-forwarded-for", "100.64.0.2"}}, true, ConnectionRoute::lan},
        {{}, true, ConnectionRoute::lan},
        {{{"tailscale-user-name", ""}}, false, ConnectionRoute::tailscale},
        {{{"tailscale-user-login", "a"}}, false, ConnectionRoute::tailscale},
        {{{"x-forwarded-proto", "https"}}, false, ConnectionRoute::tailscale},
        {{{"x-forwarded-host", "h"}}, false, ConnectionRoute::tailscale},
        {{{"host", "127.0.0.1:8766"}, {"forwarded", "for=x"}}, false, ConnectionRoute::local},
        {{{"X-Forwarded-For", "1.2.3.4"}}, false, ConnectionRoute::local},  // names arrive lower-cased
    };
    for (const Case& c : cases) {
        EXPECT_EQ(connectionRoute(c.headers, c.isLAN), c.route);
        const std::unordered_map<std::string, std::string> unordered(c.headers.begin(), c.headers.end());
        EXPECT_EQ(connectionRoute(unordered, c.isLAN), c.route);
    }
    EXPECT_EQ(rawValue(ConnectionRoute::tailscale), "tailscale");
    EXPECT_EQ(rawValue(ConnectionRoute::lan), "lan");
}

TEST(HostPermissionList, ListsEveryPermissionInOrderWithItsIdentifier) {
    std::vector<std::string_view> identifiers;
    for (HostPermission permission : kAllHostPermissions) identifiers.push_back(rawValue(permission));
    EXPECT_EQ(identifiers, (std::vector<std::string_view>{"screenRecording", "systemAudio", "accessibility",
                                                          "localNetwork", "pasteboard"}));
}

class StatusReport : public ::testing::Test {
protected:
    StatusSummary summary() const {
        StatusSummary s;
        s.appVersion = "1.4.0";
        s.appBuild = "210";
        s.osVersion = "Debian 12";
        s.listen = ListenState::ready;
        s.devices = {
            record("ipad-1", "Aki の iPad", "iPad"),   record("macos-abc", "", std::nullopt),
            record("p-1", "Pixel (Android)", "other"), record("w-1", "PC", "windows"),
            record("u-1", "  ", std::nullopt),
        };
        s.links = {
            {"ipad-1", {LinkRole::main, ConnectionRoute::tailscale}},
            {"macos-abc", {LinkRole::controller, ConnectionRoute::local}},
            {"p-1", {LinkRole::waitingReturn, ConnectionRoute::lan}},
            {"u-1", {LinkRole::main, ConnectionRoute::local}},
            {"ghost", {LinkRole::main, ConnectionRoute::lan}},
        };
        s.permissions = {
            {HostPermission::screenRecording, PermissionStatus::granted()},
            {HostPermission::systemAudio, PermissionStatus::denied()},
            {HostPermission::accessibility, PermissionStatus::checking()},
            {HostPermission::localNetwork, PermissionStatus::undetermined("確認できません")},
            {HostPermission::pasteboard, PermissionStatus::granted()},
        };
        s.loginItem = "オン";
        s.highRes = "オフ";
        s.generatedAt = sys_days(2026y / December / 9) + 23h + 59min + 59s;
        s.audio = "送信中";
        return s;
    }
};

TEST_F(StatusReport, PrintsEveryLineAsTheUserSeesIt) {
    EXPECT_EQ(summary().text(9h),
              "Orvanta 1.4.0（ビルド 210）\n"
              "macOS Debian 12\n"
              "作成: 2026-12-10 08:59\n"
              "\n"
              "待ち受け: 待受中\n"
              "接続中の端末:\n"
              "- Aki の iPad（iPad）: 接続中・Tailscale 経由\n"
              "- 名前なし（Mac）: 接続中（入力専用）・ローカル（このMac内）\n"
              "- Pixel (Android)（Android）: 復帰待ち・ローカルネットワーク\n"
              "-   （種類不明）: 接続中・ローカル（このMac内）\n"
              "ペアリング済みの端末: 5台\n"
              "\n"
              "許可:\n"
              "- 画面収録: 許可済み\n"
              "- システムオーディオ録音: 未許可\n"
              "- アクセシビリティ: 確認中\n"
              "- ローカルネットワーク: 確認できません\n"
              "- ペーストボード（コピーした内容）: 許可済み\n"
              "\n"
              "ログイン時に開く: オン\n"
              "高解像度（仮想ディスプレイ）: オフ\n"
              "音声: 送信中");
}

TEST_F(StatusReport, LeavesOutWhatIsNotThere) {
    StatusSummary s = summary();
    s.listen = ListenState::failed;
    s.links.clear();
    s.permissions.clear();
    s.audio.reset();
    EXPECT_EQ(s.text(-5h),
              "Orvanta 1.4.0（ビルド 210）\n"
              "macOS Debian 12\n"
              "作成: 2026-12-09 18:59\n"
              "\n"
              "待ち受け: 待ち受けに失敗\n"
              "接続中の端末: なし\n"
              "ペアリング済みの端末: 5台\n"
              "\n"
              "許可:\n"
              "\n"
              "ログイン時に開く: オン\n"
              "高解像度（仮想ディスプレイ）: オフ");
    s.listen = ListenState::starting;
    EXPECT_NE(s.text(0s).find("\n待ち受け: 起動中\n"), std::string::npos);
}

TEST_F(StatusReport, DatesTheReportInTheLocalTimeZone) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    ::setenv("TZ", "JST-9", 1);
    ::tzset();
    const StatusSummary s = summary();
    EXPECT_EQ(localUtcOffset(s.generatedAt), 9h);
    EXPECT_EQ(s.text(), s.text(9h));
    old ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace orvanta::host
