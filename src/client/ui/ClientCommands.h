// The client's menu items: switching the window to either side, the settings item, and the menu
// "接続" that acts on the current session. The application's own shortcuts use Ctrl where a Mac
// uses Command, and Super where it uses Control, so no item takes a key the video surface keeps for
// itself. Enabled states follow the session as the model publishes it.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

#include "client/ui/UnifiedWindowState.h"
#include "client/viewer/ClientModel.h"

class QAction;
class QMenu;
class QMenuBar;

namespace orvanta::client {

class ClientCommands final : public QObject {
public:
    // `fileMenu` and `applicationMenu` are the bar's standard menus; "接続" is added after them.
    // `openWindow` brings back the window when there is none to bring forward.
    ClientCommands(QMenuBar* bar, QMenu* fileMenu, QMenu* applicationMenu, std::shared_ptr<ClientModel> model,
                   std::shared_ptr<UnifiedWindowState> windowState, std::function<void()> openWindow);

    QMenu* connectionMenu() const { return connection_; }
    QAction* showClient() const { return showClient_; }
    QAction* showHost() const { return showHost_; }
    QAction* settings() const { return settings_; }
    QAction* showClientFromMenu() const { return showClientAgain_; }
    QAction* focusNavigation() const { return focusNavigation_; }
    QAction* list() const { return list_; }
    QAction* gameKeyboard() const { return gameKeyboard_; }
    QAction* disconnectSession() const { return disconnect_; }
    QAction* backToHosts() const { return backToHosts_; }

    // Re-reads the enabled states and the game-keyboard check.
    void refresh();

private:
    void show(WindowSide side);
    void bringForward();

    std::shared_ptr<ClientModel> model_;
    std::shared_ptr<UnifiedWindowState> windowState_;
    std::function<void()> openWindow_;
    QMenu* connection_;
    QAction* showClient_;
    QAction* showHost_;
    QAction* settings_;
    QAction* showClientAgain_;
    QAction* focusNavigation_;
    QAction* list_;
    QAction* gameKeyboard_;
    QAction* disconnect_;
    QAction* backToHosts_;
    std::vector<Subscription> subscriptions_;
};

}  // namespace orvanta::client
