// The host's screens under Xvfb with a window manager: the application in this process over the
// real host on the test's X display and PulseAudio server, a device pairing over loopback; and the
// host screen alone over a hand-fed host where the test must hold revocations in flight.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTest>

#include <deque>
#include <future>

#include "app/Application.h"
#include "clipboard/ClipboardSync.h"
#include "host/transport/HostPairLink.h"
#include "host/ui/HostSettingsView.h"
#include "host/ui/HostWindow.h"
#include "host/ui/PairedDevices.h"
#include "support/FakeHostDevice.h"
#include "support/PairedRecords.h"
#include "support/PulseFixture.h"
#include "support/QtWidgetsApp.h"
#include "support/TempDir.h"
#include "support/XvfbFixture.h"

namespace orvanta::host::ui {
namespace {

using orvanta::testing::artifactPath;
using orvanta::testing::pairedInJanuary;
constexpr int kWaitMillis = 20'000;

void screenshot(QWidget* window, const std::string& name) {
    QTest::qWait(50);
    EXPECT_TRUE(window->grab().save(artifactPath(name))) << name;
}

// The user's folders of a fresh account, private to the test.
class FreshAccount {
public:
    FreshAccount() {
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
            const auto folder = home_.path() / name;
            std::filesystem::create_directories(folder);
            ::setenv(name, folder.c_str(), 1);
        }
    }

private:
    orvanta::testing::TempDir home_{"account"};
};

std::string pairLinkFor(const std::string& code) { return "https://host.example.ts.net/pair?code=" + code; }

TEST(HostScreensTest, TheApplicationServesPairsAndRemovesADevice) {
    ORVANTA_REQUIRE_XVFB(orvanta::testing::XvfbOptions{.windowManager = true});
    ORVANTA_REQUIRE_PULSE();
    static_cast<void>(pulse);  // the host's audio capture finds it through PULSE_SERVER
    orvanta::testing::qtWidgetsApp();
    FreshAccount account;

    app::ApplicationOptions options;
    options.server.loopback.port(0);
    options.server.lan.port(0);
    options.advertise = false;
    options.pairLinkLookup = [](const std::string& code) { return std::optional(pairLinkFor(code)); };
    auto created = app::Application::create(options);
    ASSERT_TRUE(created) << created.error();
    auto& application = **created;
    auto& window = application.window();
    EXPECT_EQ(window.windowTitle(), "Orvanta");
    // The host exists with the window but listens only once the window is first shown.
    EXPECT_EQ(application.host().loopbackPort(), std::nullopt);
    EXPECT_EQ(clipboard::ClipboardSync::shared(), &application.host().clipboardHub());
    application.openWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const auto& state = *application.hostSource().state;
    ASSERT_TRUE(QTest::qWaitFor([&] { return state().listenState == ListenState::ready; }, kWaitMillis));
    auto* status = window.findChild<QLabel*>("hostStatus");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->text(), "待受中");
    EXPECT_GE(window.width(), 760);

    // Room for the QR and the list beside it in the screenshots.
    window.resize(760, 640);
    auto* issue = window.findChild<QAbstractButton*>("issueCode");
    ASSERT_NE(issue, nullptr);
    QTest::mouseClick(issue, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return state().pairLink.has_value(); }, kWaitMillis));
    const std::string code = *state().codeText;
    EXPECT_EQ(code.size(), 12u);
    auto* note = window.findChild<QLabel*>("codeNote");
    EXPECT_TRUE(note->isVisible());
    std::string plain = code;
    std::erase(plain, '-');
    std::string spaced;
    for (char c : plain) spaced += std::string(spaced.empty() ? "" : " ") + c;
    EXPECT_EQ(window.findChild<QWidget*>("codeRow")->accessibleDescription().toStdString(), spaced);

    // The QR drawn on screen holds the link: every module, read back from the pixels, matches
    // the encoder's matrix for that link.
    const auto expected = HostPairLink::qr(pairLinkFor(code));
    ASSERT_TRUE(expected);
    EXPECT_EQ(state().pairLink->link, pairLinkFor(code));
    auto* qr = window.findChild<QLabel*>("pairQr");
    ASSERT_TRUE(qr->isVisible());
    const QImage drawn = qr->pixmap().toImage();
    ASSERT_EQ(drawn.width(), expected->size * 3 + 24);
    for (int y = 0; y < expected->size; ++y) {
        for (int x = 0; x < expected->size; ++x) {
            const bool dark = qGray(drawn.pixel(12 + 3 * x + 1, 12 + 3 * y + 1)) < 128;
            ASSERT_EQ(dark, expected->dark(x, y)) << x << "," << y;
        }
    }
    EXPECT_EQ(qGray(drawn.pixel(2, 2)), 255);  // the white padding
    screenshot(&window, "host-main-code.png");

    // A device pairs over loopback with the code on screen and shows up in the list.
    const auto port = application.host().loopbackPort();
    ASSERT_TRUE(port);
    auto paired = std::async(std::launch::async, [&] {
        return orvanta::testing::postPair(*port, orvanta::testing::pairBody(code, "tab-1", "Tab"));
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return paired.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                                kWaitMillis));
    EXPECT_EQ(paired.get().status, "200 OK");
    auto* devices = dynamic_cast<PairedDevicesView*>(window.findChild<QWidget*>("pairedDevices"));
    ASSERT_NE(devices, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return devices->control("tab-1") != nullptr; }, kWaitMillis));
    EXPECT_FALSE(window.findChild<QLabel*>("noDevices")->isVisible());
    EXPECT_FALSE(state().codeText.has_value());  // used once
    screenshot(&window, "host-main.png");

    QTest::mouseClick(devices->control("tab-1"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return devices->confirmation() != nullptr; }));
    EXPECT_EQ(devices->confirmation()->text(), "Tabのペアリングを解除しますか？");
    screenshot(devices->confirmation(), "host-remove-confirmation.png");
    QTest::mouseClick(devices->confirmation()->findChild<QAbstractButton*>("confirmRemoval"), Qt::LeftButton);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return state().devices.empty() && devices->control("tab-1") == nullptr; }, kWaitMillis));
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.findChild<QLabel*>("noDevices")->isVisible(); }));
    EXPECT_EQ(window.findChild<QLabel*>("removalResult")->text(), "端末を削除しました");
    EXPECT_TRUE(QTest::qWaitFor([&] { return issue->hasFocus(); }));

    // The settings page in place of the host side.
    QTest::mouseClick(window.navigation()->button(), Qt::LeftButton);
    const auto settingsPage = [&] {
        return dynamic_cast<HostSettingsView*>(window.findChild<QWidget*>("settingsPage"));
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return settingsPage() != nullptr; }));
    auto* settings = settingsPage();
    ASSERT_TRUE(QTest::qWaitFor([&] { return settings->isVisible(); }));
    EXPECT_FALSE(window.hostLayer()->isVisible());
    auto* screenStatus = settings->findChild<QWidget*>("permission:screenRecording")->findChild<QLabel*>("status");
    EXPECT_TRUE(QTest::qWaitFor([&] { return screenStatus->text().contains("許可済み"); }));
    screenshot(&window, "host-settings.png");

    // Side by side from a page 720 points wide.
    window.resize(719, window.height());
    EXPECT_TRUE(QTest::qWaitFor([&] { return settings->width() == 719 && !settings->twoColumns(); }));
    window.resize(720, window.height());
    EXPECT_TRUE(QTest::qWaitFor([&] { return settings->width() == 720 && settings->twoColumns(); }));

    // The login item is an autostart entry of this account.
    auto* login = settings->findChild<QWidget*>("loginItem")->findChild<QAbstractButton*>();
    const auto entry = std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "autostart" / "orvanta.desktop";
    QTest::mouseClick(login, Qt::LeftButton);
    EXPECT_TRUE(std::filesystem::exists(entry));
    EXPECT_TRUE(login->isChecked());
    QTest::mouseClick(login, Qt::LeftButton);
    EXPECT_FALSE(std::filesystem::exists(entry));

    // The diagnostic summary goes to the clipboard.
    QTest::mouseClick(settings->copySummaryButton(), Qt::LeftButton);
    EXPECT_EQ(settings->copiedNote()->text(), "コピーしました");
    EXPECT_TRUE(QGuiApplication::clipboard()->text().startsWith("Orvanta "));
}

TEST(HostScreensTest, ADebugRunOpensOnTheClientSideAndTheHostStillStarts) {
    ORVANTA_REQUIRE_XVFB(orvanta::testing::XvfbOptions{.windowManager = true});
    orvanta::testing::qtWidgetsApp();
    FreshAccount account;
    orvanta::testing::TempDir logs{"debug-run"};
    ::setenv("TESSARIL_CLIENT_DEBUG_LOG", (logs.path() / "client.log").c_str(), 1);
    app::ApplicationOptions options;
    options.server.loopback.port(0);
    options.server.lan.port(0);
    options.advertise = false;
    auto created = app::Application::create(options);
    ::unsetenv("TESSARIL_CLIENT_DEBUG_LOG");
    ASSERT_TRUE(created) << created.error();
    auto& window = (*created)->window();
    (*created)->openWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.clientSide()->isVisible() && !window.hostLayer()->isVisible(); }));
    EXPECT_TRUE(QTest::qWaitFor([&] { return (*created)->host().loopbackPort().has_value(); }, kWaitMillis));
}

// ---------------------------------------------------------------------------------------------

// A host fed by hand: revocations wait until the test answers them.
struct HandFedHost {
    std::shared_ptr<HostState> state = std::make_shared<HostState>();
    std::deque<std::pair<std::string, std::function<void(bool)>>> pending;
    std::vector<std::string> revoked;
    std::vector<std::string> copied;

    HostScreenSource source() {
        return {.state = state,
                .issueCode = [] {},
                .revoke =
                    [this](const std::string& id, std::function<void(bool)> done) {
                        revoked.push_back(id);
                        pending.emplace_back(id, std::move(done));
                    },
                .setHighRes = {},
                .setBlackout = {},
                .copy =
                    [this](const std::string& text) {
                        copied.push_back(text);
                        return true;
                    }};
    }
    void publish(const std::function<void(HostPublishedState&)>& change) {
        auto next = (*state)();
        change(next);
        state->assign(next);
    }
};

void confirmRemoval(PairedDevicesView& devices, const std::string& key) {
    QTest::mouseClick(devices.control(key), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return devices.confirmation() != nullptr; }));
    QTest::mouseClick(devices.confirmation()->findChild<QAbstractButton*>("confirmRemoval"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return devices.confirmation() == nullptr; }));
}

TEST(HostScreensTest, ShowingTheScreenAgainDoesNotLetASecondRemovalStartWhileOneIsInFlight) {
    ORVANTA_REQUIRE_XVFB(orvanta::testing::XvfbOptions{.windowManager = true});
    orvanta::testing::qtWidgetsApp();
    HandFedHost host;
    host.publish([](HostPublishedState& s) {
        s.listenState = ListenState::ready;
        s.devices = {pairedInJanuary("a", "A", 3), pairedInJanuary("b", "B", 2)};
    });
    HostWindow window(host.source());
    window.resize(760, 600);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    auto& devices = *window.devices();
    confirmRemoval(devices, "a");
    ASSERT_TRUE(QTest::qWaitFor([&] { return host.revoked.size() == 1; }));

    window.hide();
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    ASSERT_NE(devices.control("b"), nullptr);
    EXPECT_FALSE(devices.control("b")->isEnabled());
    QTest::mouseClick(devices.control("b"), Qt::LeftButton);
    QTest::qWait(50);
    EXPECT_EQ(devices.confirmation(), nullptr);
    EXPECT_EQ(host.revoked, (std::vector<std::string>{"a"}));

    // The revocation answers: the list loses the record, the buttons come back, focus moves on.
    host.publish([](HostPublishedState& s) { s.devices = {pairedInJanuary("b", "B", 2)}; });
    auto [id, done] = std::move(host.pending.front());
    host.pending.pop_front();
    done(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return devices.control("b") && devices.control("b")->isEnabled(); }));
    // The window's focus child, whether or not the window manager keeps the window active.
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.focusWidget() == devices.control("b"); }));
    confirmRemoval(devices, "b");
    EXPECT_EQ(host.revoked, (std::vector<std::string>{"a", "b"}));
}

TEST(HostScreensTest, ColumnsCodeCellsBadgesAndOlderRecords) {
    ORVANTA_REQUIRE_XVFB(orvanta::testing::XvfbOptions{.windowManager = true});
    orvanta::testing::qtWidgetsApp();
    HandFedHost host;
    host.publish([](HostPublishedState& s) {
        s.listenState = ListenState::ready;
        s.codeText = "AB3D-EF7H-JK";
        s.devices = {pairedInJanuary("t2", "Tab", 5), pairedInJanuary("t1", "Tab", 4),
                     pairedInJanuary("p", "Phone", 2)};
        s.links = {{"p", {LinkRole::waitingReturn, ConnectionRoute::local}}};
    });
    HostWindow window(host.source());
    window.resize(719, 500);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_FALSE(window.wide());
    window.resize(720, 500);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.wide(); }));

    auto* code = window.findChild<QWidget*>("codeRow");
    EXPECT_EQ(code->size(), QSize(300, 50));
    QTest::mouseClick(code, Qt::LeftButton);
    EXPECT_EQ(host.copied, (std::vector<std::string>{"AB3D-EF7H-JK"}));
    EXPECT_EQ(window.statusBar()->text()->text(), "待受中");

    auto& devices = *window.devices();
    ASSERT_NE(devices.control("toggle:Tab"), nullptr);
    EXPECT_EQ(devices.control("t1"), nullptr);
    EXPECT_EQ(devices.control("toggle:Tab")->text(), "以前の記録 1件");
    QTest::mouseClick(devices.control("toggle:Tab"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return devices.control("t1") != nullptr; }));
    EXPECT_EQ(devices.control("toggle:Tab")->accessibleDescription(), "展開中");
    auto* phone = devices.findChild<QWidget*>("record:p");
    ASSERT_NE(phone, nullptr);
    EXPECT_EQ(phone->findChild<QLabel*>("badge")->text(), "復帰中…");
    screenshot(&window, "host-main-older-records.png");

    // A bulk confirmation that another pairing made stale revokes nothing.
    QTest::mouseClick(devices.control("bulk:Tab"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return devices.confirmation() != nullptr; }));
    EXPECT_EQ(devices.confirmation()->text(), "「Tab」の以前の記録 1件を削除しますか？");
    host.publish([](HostPublishedState& s) { s.devices.push_back(pairedInJanuary("t0", "Tab", 1)); });
    QTest::mouseClick(devices.confirmation()->findChild<QAbstractButton*>("confirmRemoval"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return devices.removal().result().has_value(); }));
    EXPECT_EQ(devices.findChild<QLabel*>("removalResult")->text(), "記録が更新されました。もう一度確認してください");
    EXPECT_TRUE(host.revoked.empty());

    // Return in the confirmation cancels.
    QTest::mouseClick(devices.control("p"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return devices.confirmation() != nullptr; }));
    EXPECT_NE(devices.confirmation()->informativeText() + devices.confirmation()->text(), "");
    QTest::keyClick(devices.confirmation(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return devices.confirmation() == nullptr; }));
    EXPECT_TRUE(host.revoked.empty());
}

}  // namespace
}  // namespace orvanta::host::ui
