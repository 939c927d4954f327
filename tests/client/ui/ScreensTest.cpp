// The client's screens driven as a user drives them, under Xvfb with a window manager, against the
// real host (the test-host program on an X server of its own) over loopback: add a host by code, see
// it listed, connect, see the session, open the settings and the window picker, disconnect and
// remove the host. Each screen leaves a screenshot in the test artifacts.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QSlider>

#include "ScreensSupport.h"
#include "client/ui/ClientCommands.h"
#include "client/ui/ClientSettings.h"
#include "client/ui/ConnectView.h"
#include "client/ui/MacWindowPicker.h"
#include "support/PulseFixture.h"
#include "support/TempDir.h"
#include "support/TestHostProcess.h"

namespace orvanta::testing {
namespace {

using State = client::ConnectionManager::State;

class ScreensTest : public ::testing::Test {};

TEST_F(ScreensTest, AddsConnectsAndRemovesAHostAsAUserWould) {
    ORVANTA_REQUIRE_SCREENS();
    ORVANTA_REQUIRE_PULSE();
    auto hostDisplay = XvfbServer::start({.width = 1280, .height = 720});
    ASSERT_TRUE(hostDisplay) << hostDisplay.error();
    TempDir home{"screens"};
    auto host = TestHostProcess::start(ORVANTA_TEST_HOST, home.path(),
                                       {"DISPLAY=" + (*hostDisplay)->display(), "PULSE_SERVER=" + pulse.server()});
    ASSERT_TRUE(host) << host.error();

    Screens screens;
    ASSERT_TRUE(screens.open());
    auto& window = *screens.window;
    window.resize(900, 640);
    Screens::click(screens.find<QAbstractButton>("clientTab"));
    auto* connect = screens.find<client::ConnectView>("connectView");
    ASSERT_TRUE(QTest::qWaitFor([&] { return connect->isVisible(); }));
    EXPECT_TRUE(screens.label("未接続"));
    EXPECT_TRUE(screens.label("接続先がありません"));
    EXPECT_TRUE(screens.label("近くで見つかった端末"));

    // A host found nearby.
    auto& browser = screens.browsers.latest();
    browser.report(platform::ServiceBrowser::State::ready);
    browser.reportResults({{"書斎のLinux", "_tessaril._tcp", "local."}});
    browser.finish("書斎のLinux", platform::ResolvedService{"書斎のLinux", "study.local", 8767, {}, {}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return screens.find<QAbstractButton>("nearbyHost") != nullptr; }));
    EXPECT_EQ(screens.find<QAbstractButton>("nearbyHost")->text(), "書斎のLinux");
    screens.screenshot("client-connect-screen.png");

    // Add the host by its address and code.
    Screens::click(screens.find<QAbstractButton>("addButton"));
    auto* address = screens.find<QLineEdit>("addressField");
    auto* code = screens.find<QLineEdit>("codeField");
    ASSERT_TRUE(QTest::qWaitFor([&] { return address->hasFocus(); }));
    EXPECT_EQ(address->text(), "https://");
    address->selectAll();
    QTest::keyClicks(address, QString("http://127.0.0.1:%1").arg((*host)->loopbackPort()));
    QTest::keyClick(address, Qt::Key_Return);
    EXPECT_TRUE(code->hasFocus()) << "Return in the address moves on to the code";
    QTest::keyClicks(code, QString::fromStdString((*host)->pairCode()));
    screens.screenshot("client-add-form.png");
    QTest::keyClick(code, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !screens.model->hosts().isEmpty() && !screens.model->pairing()(); },
                                kNetworkWaitMillis))
        << (*host)->output();
    const auto entry = screens.model->hosts().entries().front();
    auto* row = screens.find<QAbstractButton>(QString::fromStdString("hostRow:" + entry.id));
    ASSERT_TRUE(row);
    EXPECT_TRUE(row->accessibleName().startsWith("127.0.0.1"));
    auto* connectButton = screens.find<QAbstractButton>("detailButton");
    ASSERT_TRUE(QTest::qWaitFor([&] { return connectButton->hasFocus(); })) << "the new host's 接続 takes the focus";
    EXPECT_EQ(connectButton->text(), "接続");
    EXPECT_FALSE(address->isVisible()) << "the form closed";
    screens.screenshot("client-host-listed.png");

    // Below 720 points one column: the detail goes under its row, and the focus stays on 接続.
    window.resize(719, window.height());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !connect->state().wide(); }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return connectButton->isVisible() && connectButton->hasFocus(); }));
    EXPECT_GT(connectButton->mapTo(connect, QPoint()).y(), row->mapTo(connect, QPoint()).y() + row->height());
    screens.screenshot("client-one-column.png");
    window.resize(900, window.height());
    ASSERT_TRUE(QTest::qWaitFor([&] { return connect->state().wide() && connectButton->hasFocus(); }));

    // Connect and see the session.
    QTest::keyClick(connectButton, Qt::Key_Return);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return screens.model->session().state() == State::connected; }, kNetworkWaitMillis))
        << (*host)->output();
    ASSERT_TRUE(screens.find("sessionView"));
    EXPECT_FALSE(connect->isVisible());
    EXPECT_FALSE(window.navigation()->isVisible()) << "the session fills the window";
    ASSERT_TRUE(QTest::qWaitFor([&] { return screens.model->receivedFrame()(); }, kNetworkWaitMillis))
        << (*host)->output();
    screens.screenshot("client-session.png");

    // The settings page during the session.
    window.commands()->settings()->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return screens.find("settingsPage") != nullptr; }));
    EXPECT_EQ(window.navigation()->button()->text(), "セッションに戻る");
    EXPECT_TRUE(screens.label("比率合わせ"));
    EXPECT_TRUE(screens.label("接続先：127.0.0.1"));
    EXPECT_TRUE(screens.label("1倍"));
    EXPECT_TRUE(screens.label("この端末の名前"));
    screens.screenshot("client-settings.png");
    Screens::click(window.navigation()->button());
    ASSERT_TRUE(QTest::qWaitFor([&] { return screens.find("settingsPage") == nullptr; }));

    // The host-window picker from the menu: it asks the host afresh and Escape closes it unchosen.
    window.commands()->list()->trigger();
    client::MacWindowPicker* picker = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (picker = screens.find<client::MacWindowPicker>("windowPicker")); }));
    EXPECT_TRUE(screens.model->showingWindowPicker()());
    EXPECT_EQ(picker->search()->placeholderText(), "アプリやウィンドウを検索");
    EXPECT_EQ(screens.model->connection().windowListState(), client::ConnectionManager::WindowListState::loading)
        << "each opening asks the host afresh";
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return screens.model->connection().windowListState() == client::ConnectionManager::WindowListState::loaded;
        },
        kNetworkWaitMillis));
    EXPECT_TRUE(picker->grab().save(artifactPath("client-window-picker-sheet.png")));
    QTest::keyClick(picker->search(), Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !screens.model->showingWindowPicker()(); }));
    EXPECT_FALSE(screens.model->connection().windowFitActive());

    // Disconnect from the menu, then remove the host.
    window.commands()->disconnectSession()->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return connect->isVisible(); }));
    EXPECT_TRUE(screens.label("未接続"));
    EXPECT_FALSE(window.commands()->disconnectSession()->isEnabled());
    Screens::click(screens.find<QAbstractButton>(QString::fromStdString("deleteButton:" + entry.id)));
    QMessageBox* alert = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (alert = screens.find<QMessageBox>("removalAlert")) != nullptr; }));
    EXPECT_EQ(alert->text(), "127.0.0.1を接続先から削除しますか？");
    EXPECT_EQ(alert->informativeText(), "この端末に保存した接続先を削除します。");
    QTest::qWait(100);
    EXPECT_TRUE(alert->grab().save(artifactPath("client-removal-alert.png")));
    for (auto* button : alert->buttons()) {
        if (button->text() == "削除") Screens::click(button);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return screens.label("接続先を削除しました") != nullptr; }));
    EXPECT_TRUE(screens.model->hosts().isEmpty());
    EXPECT_TRUE(screens.label("接続先がありません"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return screens.find<QAbstractButton>("addButton")->hasFocus(); }));
    screens.screenshot("client-host-removed.png");
}

}  // namespace
}  // namespace orvanta::testing
