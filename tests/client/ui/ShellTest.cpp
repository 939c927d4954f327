// The window shell under Xvfb with a window manager: the palette and the system's appearance, the
// window adapter's full-screen notifications, one instance per user, the sides, closing and
// reopening, the menu's states and the client's settings rows.
#include <QAction>
#include <QClipboard>
#include <QFile>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMenu>
#include <QScreen>
#include <QSlider>

#include "ScreensSupport.h"
#include "client/ui/ClientCommands.h"
#include "client/ui/ClientSettings.h"
#include "client/ui/ConnectView.h"
#include "client/ui/QtAppWindow.h"
#include "client/ui/SingleInstance.h"
#include "client/ui/ThemeStyles.h"
#include "support/TempDir.h"

namespace orvanta::testing {
namespace {

using client::WindowSide;

QString windowColour() { return QGuiApplication::palette().color(QPalette::Window).name(); }

TEST(ShellTest, ThePaletteFollowsTheModeAndTheSystemApartFromItself) {
    ORVANTA_REQUIRE_SCREENS();
    auto settings = std::make_shared<MemorySettings>();
    {
        client::ThemeController theme(settings);
        ASSERT_FALSE(theme.systemDark()) << "Xvfb's platform theme is light";
        EXPECT_EQ(windowColour(), "#ededf2");
        settings->set(client::Theme::kModeKey, "dark");
        ASSERT_TRUE(QTest::qWaitFor([] { return windowColour() == "#000000"; }));

        // The system's appearance changes (as far as this process can tell): read it again.
        QWidget probe;
        QEvent themeChange(QEvent::ThemeChange);
        QApplication::sendEvent(&probe, &themeChange);
        QTest::qWait(0);
        EXPECT_FALSE(theme.systemDark()) << "the dark palette was ours, not the system's";
        EXPECT_EQ(windowColour(), "#000000");

        settings->set(client::Theme::kModeKey, "Dark");
        ASSERT_TRUE(QTest::qWaitFor([] { return windowColour() == "#ededf2"; })) << "following a light system";
    }
    // A dark system palette, as a dark desktop theme gives it.
    QPalette dark;
    dark.setColor(QPalette::Window, QColor("#202020"));
    dark.setColor(QPalette::WindowText, QColor("#f0f0f0"));
    QGuiApplication::setPalette(dark);
    {
        settings->set(client::Theme::kModeKey, "system");
        client::ThemeController theme(settings);
        EXPECT_TRUE(theme.systemDark());
        EXPECT_EQ(windowColour(), "#000000");
        EXPECT_EQ(client::Theme::color(client::ThemeColour::keyFace).name(), "#2e2f33");
    }
    QGuiApplication::setPalette(QPalette());
}

TEST(ShellTest, TheWindowAdapterAnnouncesFullScreenInPairsWhoeverStartsIt) {
    ORVANTA_REQUIRE_SCREENS();
    QWidget widget;
    widget.resize(400, 300);
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
    client::QtAppWindow window(&widget, &widget);
    std::vector<std::string> heard;
    window.onWillEnterFullScreen = [&] { heard.push_back("will enter"); };
    window.onDidEnterFullScreen = [&] { heard.push_back("did enter"); };
    window.onWillExitFullScreen = [&] { heard.push_back("will exit"); };
    window.onDidExitFullScreen = [&] { heard.push_back("did exit"); };

    window.toggleFullScreen();
    EXPECT_EQ(heard, std::vector<std::string>{"will enter"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return heard.size() == 2; }));
    EXPECT_EQ(heard.back(), "did enter");
    EXPECT_TRUE(window.isFullScreen());
    // The window manager applies it later; a change made before then would cross its answer.
    ASSERT_TRUE(QTest::qWaitFor([&] { return widget.geometry() == widget.screen()->geometry(); }));

    widget.showNormal();  // not through the adapter, as the window manager's own button would
    ASSERT_TRUE(QTest::qWaitFor([&] { return heard.size() >= 4; }));
    EXPECT_EQ(heard, (std::vector<std::string>{"will enter", "did enter", "will exit", "did exit"}));

    window.zoom();
    EXPECT_TRUE(window.isZoomed()) << "maximised counts as zoomed";
    widget.showNormal();
    const platform::Rect wanted{120, 140, 640, 480};
    window.setFrame(wanted);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.frame() == wanted; })) << "the frame includes the decorations";
}

TEST(ShellTest, OneInstancePerUserAndAStartAgainShowsTheWindow) {
    ORVANTA_REQUIRE_SCREENS();
    TempDir dir{"instance"};
    const QString path = QString::fromStdString((dir / "orvanta.instance").string());
    {
        QFile stale(path);  // left by a process that died
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    }
    auto first = client::SingleInstance::claim(path);
    ASSERT_TRUE(first) << first.error();
    auto* claimed = std::get_if<client::SingleInstance::Claimed>(&*first);
    ASSERT_TRUE(claimed);
    int shows = 0;
    claimed->instance->onShowRequested = [&] { ++shows; };

    QLocalSocket stranger;
    stranger.connectToServer(path);
    ASSERT_TRUE(stranger.waitForConnected(1000));
    stranger.write(QByteArray(100, 'x'));
    stranger.waitForBytesWritten(1000);

    auto second = client::SingleInstance::claim(path);
    ASSERT_TRUE(second) << second.error();
    EXPECT_TRUE(std::holds_alternative<client::SingleInstance::AlreadyRunning>(*second));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shows == 1; }));
    QTest::qWait(50);
    EXPECT_EQ(shows, 1) << "what is not a request shows nothing";
}

TEST(ShellTest, SwitchesSidesClosesAndOpensAsANewWindow) {
    ORVANTA_REQUIRE_SCREENS();
    Screens screens;
    ASSERT_TRUE(screens.open());
    auto& window = *screens.window;
    EXPECT_EQ(window.windowTitle(), "Orvanta");
    EXPECT_EQ(window.width(), 760);
    EXPECT_TRUE(window.hostLayer()->isVisible());
    EXPECT_FALSE(window.clientSide()->isVisible());
    auto* clientTab = window.navigation()->picker()->tab(WindowSide::client);
    auto* hostTab = window.navigation()->picker()->tab(WindowSide::host);
    EXPECT_EQ(clientTab->text(), "クライアント");
    EXPECT_EQ(hostTab->text(), "ホスト");
    EXPECT_EQ(clientTab->focusPolicy(), Qt::NoFocus) << "only the shown side's tab takes focus";
    EXPECT_EQ(window.navigation()->button()->text(), "設定");

    Screens::click(clientTab);
    EXPECT_EQ(screens.state->side()(), WindowSide::client);
    EXPECT_TRUE(window.clientSide()->isVisible());
    EXPECT_FALSE(window.hostLayer()->isVisible());
    QTest::keyClick(clientTab, Qt::Key_Right);
    EXPECT_EQ(screens.state->side()(), WindowSide::client);
    QTest::keyClick(clientTab, Qt::Key_Left);
    EXPECT_EQ(screens.state->side()(), WindowSide::host);
    EXPECT_TRUE(hostTab->hasFocus());

    window.commands()->showClient()->trigger();
    EXPECT_EQ(screens.state->side()(), WindowSide::client);
    Screens::click(window.navigation()->button());
    ASSERT_TRUE(screens.find("settingsPage"));
    EXPECT_FALSE(window.clientSide()->isVisible());
    screens.screenshot("shell-settings-without-session.png");

    window.close();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(screens.state->side()(), WindowSide::host);
    EXPECT_FALSE(screens.state->showingSettings()());
    EXPECT_FALSE(screens.state->hasVisibleWindow());

    window.commands()->showClient()->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return screens.state->hasVisibleWindow(); })) << "a new window, adopted again";
    EXPECT_EQ(screens.state->side()(), WindowSide::client);
    EXPECT_TRUE(window.clientSide()->isVisible());
    screens.screenshot("shell-reopened-client.png");
}

TEST(ShellTest, APastedPairLinkFillsTheAddressAndTheCodeAtOnce) {
    ORVANTA_REQUIRE_SCREENS();
    Screens screens;
    ASSERT_TRUE(screens.open());
    screens.window->commands()->showClient()->trigger();
    Screens::click(screens.find<QAbstractButton>("addButton"));
    auto* address = screens.find<QLineEdit>("addressField");
    ASSERT_TRUE(QTest::qWaitFor([&] { return address->hasFocus(); }));
    QApplication::clipboard()->setText("orvanta://pair?u=https%3A%2F%2Fstudio.tail1.ts.net%3A8443&c=7KQ2-M9XD-4T");
    address->selectAll();
    address->paste();
    EXPECT_EQ(address->text(), "https://studio.tail1.ts.net:8443");
    EXPECT_EQ(screens.find<QLineEdit>("codeField")->text(), "7KQ2-M9XD-4T");
    EXPECT_EQ(screens.settings->string(client::ConnectScreenState::kLastAddressKey),
              "https://studio.tail1.ts.net:8443");
}

TEST(ShellTest, TheConnectionMenuFollowsTheSession) {
    ORVANTA_REQUIRE_SCREENS();
    Screens screens;
    auto* commands = screens.window->commands();
    for (auto* action :
         {commands->list(), commands->gameKeyboard(), commands->disconnectSession(), commands->backToHosts()}) {
        EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
    }
    EXPECT_TRUE(commands->showClientFromMenu()->isEnabled());
    EXPECT_EQ(commands->showClient()->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    EXPECT_EQ(commands->settings()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_EQ(commands->focusNavigation()->shortcut(), QKeySequence(Qt::META | Qt::SHIFT | Qt::Key_N));
    EXPECT_EQ(commands->list()->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L));
    EXPECT_EQ(commands->connectionMenu()->title(), "接続");

    commands->focusNavigation()->trigger();
    EXPECT_EQ(screens.state->navigationRequest()(), 1);
}

TEST(ShellTest, SettingsRowsStoreWhatTheUserChanges) {
    ORVANTA_REQUIRE_SCREENS();
    Screens screens;
    screens.settings->set(client::ClientSettingsSection::kCursorScaleKey, 1.13);
    screens.settings->set(client::ClientModel::kDeviceNameKey, "old");
    client::ClientDeviceNameField name(screens.settings, "test-machine");
    client::ClientSettingsSection section(screens.model, *screens.hub, screens.settings);

    EXPECT_EQ(name.field()->placeholderText(), "test-machine");
    name.field()->selectAll();
    QInputMethodEvent typed;  // Japanese arrives through the input method
    typed.setCommitString(" 居間 ");
    QApplication::sendEvent(name.field(), &typed);
    EXPECT_EQ(screens.settings->string(client::ClientModel::kDeviceNameKey), " 居間 ") << "stored exactly as typed";
    name.field()->selectAll();
    QTest::keyClick(name.field(), Qt::Key_Backspace);
    EXPECT_EQ(screens.settings->string(client::ClientModel::kDeviceNameKey), "");

    EXPECT_FALSE(section.aspectFit()->isEnabledTo(&section)) << "no host, nothing to set";
    EXPECT_EQ(section.target()->text(), "クライアントで接続先を選んでください。");
    EXPECT_EQ(section.cursorScale()->valueText()->text(), "1.25倍");
    EXPECT_EQ(section.cursorScale()->slider()->value(), 3);
    EXPECT_EQ(screens.settings->real(client::ClientSettingsSection::kCursorScaleKey), 1.13) << "shown, not stored";
    QTest::keyClick(section.cursorScale()->slider(), Qt::Key_Right);
    EXPECT_EQ(screens.settings->real(client::ClientSettingsSection::kCursorScaleKey), 1.5);

    const auto entry = *screens.model->hosts().addOrUpdate("https://den.example:8443", "token", "HOST-D",
                                                           client::HostListStore::Kind::mac);
    screens.model->hosts().setDisplayAspect(std::nullopt, 0.3, entry.id);
    QTest::qWait(0);
    EXPECT_TRUE(section.aspectFit()->isEnabledTo(&section));
    EXPECT_EQ(section.target()->text(), "接続先：den");
    EXPECT_EQ(section.displayScale()->slider()->value(), 1);
    EXPECT_EQ(section.displayScale()->valueText()->text(), "0.3倍");
    QTest::keyClick(section.displayScale()->slider(), Qt::Key_Right);
    EXPECT_EQ(screens.model->hosts().selected()->displayAspectScale, 0.5);
    Screens::click(section.aspectFit()->control());
    EXPECT_EQ(screens.model->hosts().selected()->displayAspectFit, true);

    auto* share = section.toggle("クリップボードを常に共有");
    ASSERT_TRUE(share);
    const bool sharing = screens.hub->enabled();
    Screens::click(share->control());
    EXPECT_EQ(screens.hub->enabled(), !sharing);
    Screens::click(section.toggle("音声")->control());
    EXPECT_EQ(screens.settings->boolean(client::ClientModel::kAudioEnabledKey), false);
}

}  // namespace
}  // namespace orvanta::testing
