// The application's one window, shared by the host side and the client side: the navigation bar
// with the side tabs and the settings button, the host layer, the client layer and the settings
// page in place of either, the menu bar with the client's commands and the quit command. The
// window state drives it; closing it hides it and releases it from the state, and the process goes
// on (the host keeps listening). Opening it again makes it a new window to the state.
#pragma once

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/ui/ClientWindow.h"
#include "client/ui/Theme.h"

class QAbstractButton;

namespace orvanta::client {

class ClientCommands;
class QtAppWindow;
class ThemeController;

// The host/client tabs of the navigation bar; only the shown side's tab takes focus, and the
// arrow keys switch sides.
class WindowSidePicker final : public QWidget {
public:
    WindowSidePicker(std::shared_ptr<UnifiedWindowState> state, QWidget* parent = nullptr);
    QAbstractButton* tab(WindowSide side) const;

private:
    void refresh();

    std::shared_ptr<UnifiedWindowState> state_;
    QAbstractButton* host_;
    QAbstractButton* client_;
    std::vector<Subscription> subscriptions_;
};

// The bar across the top: the side tabs and "設定", or "セッションに戻る" alone while the settings
// page covers a running session.
class WindowNavigation final : public QWidget {
public:
    WindowNavigation(std::shared_ptr<UnifiedWindowState> state, QWidget* parent = nullptr);
    void setReturnToSession(bool returnToSession);
    WindowSidePicker* picker() const { return picker_; }
    QAbstractButton* button() const { return button_; }

private:
    void refresh();

    std::shared_ptr<UnifiedWindowState> state_;
    WindowSidePicker* picker_;
    QAbstractButton* button_;
    bool returnToSession_ = false;
    std::vector<Subscription> subscriptions_;
};

// Makes a layer's widget as a child of `parent`.
using LayerFactory = std::function<QWidget*(QWidget* parent)>;

struct UnifiedWindowParts {
    ClientScreens client;
    clipboard::ClipboardSync& hub;
    // The host side; an empty stand-in when none is given.
    LayerFactory hostSide;
    // The settings page, made at each opening; the client's settings rows when none is given.
    LayerFactory settingsPage;
    // The placeholder of the device-name field.
    std::optional<std::string> computerName;
    // Once, when the window is first shown (the host starts there).
    std::function<void()> firstShown;
    // The fitting height of the first screen's content at a width; the content's own size hint when unset.
    std::function<double(double width)> fittingHeight;
};

class UnifiedWindow final : public QMainWindow {
public:
    static constexpr char kTitle[] = "Orvanta";

    explicit UnifiedWindow(UnifiedWindowParts parts);
    ~UnifiedWindow() override;

    // Brings the window forward, or shows it as a new window at the size a new window gets.
    void openWindow();
    // Whether the local network is known to be closed to discovery.
    void setDiscoveryDenied(bool denied);

    ClientSideContent* clientSide() const { return client_; }
    WindowNavigation* navigation() const { return navigation_; }
    QWidget* hostLayer() const { return host_; }
    QWidget* settingsLayer() const { return settings_; }
    ClientCommands* commands() const { return commands_; }
    const std::shared_ptr<QtAppWindow>& appWindow() const { return appWindow_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildMenus();
    void refresh();
    void sessionVisibilityChanged(bool shown);
    QWidget* defaultSettingsPage(QWidget* parent);

    UnifiedWindowParts parts_;
    std::shared_ptr<UnifiedWindowState> state_;
    std::unique_ptr<ThemeController> theme_;
    WindowNavigation* navigation_ = nullptr;
    QWidget* navigationSeparator_ = nullptr;
    QWidget* layers_ = nullptr;
    QWidget* host_ = nullptr;
    ClientSideContent* client_ = nullptr;
    QPointer<QWidget> settings_;
    ClientCommands* commands_ = nullptr;
    std::shared_ptr<QtAppWindow> appWindow_;
    bool clientSession_ = false;
    bool shownOnce_ = false;
    std::vector<Subscription> subscriptions_;
};

}  // namespace orvanta::client
