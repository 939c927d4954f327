#include "client/ui/ClientCommands.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "client/ui/ClientScreenRules.h"
#include "client/ui/ClientWindow.h"
#include "client/ui/ThemeStyles.h"

namespace orvanta::client {
ClientCommands::ClientCommands(QMenuBar* bar, QMenu* fileMenu, QMenu* applicationMenu,
                               std::shared_ptr<ClientModel> model, std::shared_ptr<UnifiedWindowState> windowState,
                               std::function<void()> openWindow)
    : QObject(bar), model_(std::move(model)), windowState_(std::move(windowState)), openWindow_(std::move(openWindow)) {
    showClient_ = fileMenu->addAction(qtText(ClientWindow::kTitle), this, [this] {
        show(WindowSide::client);
        bringForward();
    });
    showClient_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    showHost_ = fileMenu->addAction(qtText(UnifiedWindowState::kHostTitle), this, [this] {
        show(WindowSide::host);
        bringForward();
    });

    settings_ = applicationMenu->addAction("設定…", this, [this] {
        windowState_->setSettingsVisible(true);
        bringForward();
    });
    settings_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));

    connection_ = bar->addMenu("接続");
    showClientAgain_ = connection_->addAction(qtText(ClientWindow::kTitle), this, [this] {
        show(WindowSide::client);
        bringForward();
    });
    focusNavigation_ = connection_->addAction("上端の操作に移動", this, [this] { windowState_->focusNavigation(); });
    focusNavigation_->setShortcut(QKeySequence(Qt::META | Qt::SHIFT | Qt::Key_N));
    connection_->addSeparator();
    list_ = connection_->addAction("一覧", this, [this] {
        model_->setShowingConnectScreen(false);
        show(WindowSide::client);
        bringForward();
        model_->setShowingWindowPicker(true);
    });
    list_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L));
    gameKeyboard_ = connection_->addAction("ゲーム用キー入力");
    gameKeyboard_->setCheckable(true);
    connect(gameKeyboard_, &QAction::triggered, this, [this](bool on) { model_->setGameKeyboard(on); });
    disconnect_ = connection_->addAction("切断", this, [this] {
        model_->connection().disconnect();
        model_->setShowingConnectScreen(false);
    });
    backToHosts_ = connection_->addAction("接続先へ戻る", this, [this] {
        model_->setShowingConnectScreen(true);
        show(WindowSide::client);
        bringForward();
    });

    // The self-connection guard's host may change without the model publishing: look again on opening.
    connect(connection_, &QMenu::aboutToShow, this, [this] { refresh(); });
    const auto again = [this](const auto&) { refresh(); };
    subscriptions_.push_back(model_->session().state.observe(again));
    subscriptions_.push_back(model_->session().hostEntryId.observe(again));
    subscriptions_.push_back(model_->hostList().entries.observe(again));
    subscriptions_.push_back(model_->hostList().selectedId.observe(again));
    subscriptions_.push_back(model_->gameKeyboard().observe(again));
    refresh();
}

void ClientCommands::refresh() {
    const auto enabled = client::connectionMenu(model_->session().state(), model_->isSelfConnection());
    list_->setEnabled(enabled.list);
    gameKeyboard_->setEnabled(enabled.gameKeyboard);
    disconnect_->setEnabled(enabled.disconnect);
    backToHosts_->setEnabled(enabled.backToHosts);
    gameKeyboard_->setChecked(model_->gameKeyboard()());
}

void ClientCommands::show(WindowSide side) { windowState_->show(side); }

void ClientCommands::bringForward() {
    if (!windowState_->bringToFront() && openWindow_) openWindow_();
}

}  // namespace orvanta::client
