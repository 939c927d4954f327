#include "client/ui/UnifiedWindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QGridLayout>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

#include "client/ui/ClientCommands.h"
#include "client/ui/ClientScreenRules.h"
#include "client/ui/ClientSettings.h"
#include "client/ui/QtAppWindow.h"
#include "client/ui/ThemeStyles.h"

namespace orvanta::client {
namespace {

constexpr int kTabSpacing = 16;
constexpr int kNavigationSpacing = 12;
constexpr int kUnderline = 2;
constexpr int kMinimumWidth = 360;
constexpr int kMinimumHeight = 300;

// A label 38 points high whose whole box takes clicks; selected, its text is the text colour and an
// accent bar runs along its bottom.
class BarButton final : public QAbstractButton {
public:
    explicit BarButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
        setText(text);
        setCheckable(true);
        setCursor(Qt::PointingHandCursor);
        setFixedHeight(int(Theme::kNavigationHeight));
    }
    void setSelected(bool selected, bool highlighted) {
        setChecked(selected);
        highlighted_ = highlighted;
        update();
    }
    QSize sizeHint() const override {
        return {fontMetrics().horizontalAdvance(text()) + 4, int(Theme::kNavigationHeight)};
    }

    std::function<void(int key)> onArrow;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(Theme::color(highlighted_ ? ThemeColour::text : ThemeColour::muted));
        painter.drawText(rect(), Qt::AlignCenter, text());
        if (isChecked())
            painter.fillRect(0, height() - kUnderline, width(), kUnderline, Theme::color(ThemeColour::accent));
    }
    void nextCheckState() override {}
    void keyPressEvent(QKeyEvent* event) override {
        if ((event->key() == Qt::Key_Left || event->key() == Qt::Key_Right) && onArrow) {
            onArrow(event->key());
            event->accept();
            return;
        }
        QAbstractButton::keyPressEvent(event);
    }

private:
    bool highlighted_ = false;
};

// The client's rows, in place of the host's settings page until that page exists; it reports its
// content height so the window fits it.
class ClientSettingsPage final : public QScrollArea {
public:
    ClientSettingsPage(UnifiedWindowParts& parts, std::shared_ptr<UnifiedWindowState> state, QWidget* parent)
        : QScrollArea(parent), state_(std::move(state)) {
        setObjectName("settingsPage");
        setFrameShape(QFrame::NoFrame);
        setWidgetResizable(true);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        auto* content = new QWidget;
        auto* centring = new QHBoxLayout(content);
        centring->setContentsMargins(0, 0, 0, 0);
        column_ = new QWidget(content);
        column_->setMaximumWidth(int(DesktopLayout::kMaxWidth + 2 * DesktopLayout::kPadding));
        auto* layout = new QVBoxLayout(column_);
        const int padding = int(DesktopLayout::kPadding);
        layout->setContentsMargins(padding, padding, padding, padding);
        layout->setSpacing(0);
        layout->addWidget(new ClientDeviceNameField(parts.client.defaults, parts.computerName, column_));
        layout->addWidget(new ClientSettingsSection(parts.client.model, parts.hub, parts.client.defaults, column_));
        layout->addStretch();
        centring->addStretch();
        centring->addWidget(column_, 1);
        centring->addStretch();
        setWidget(content);
        column_->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == column_ && (event->type() == QEvent::Show || event->type() == QEvent::LayoutRequest)) {
            QTimer::singleShot(0, this, [this] { state_->fitSettings(column_->sizeHint().height()); });
        }
        return QScrollArea::eventFilter(watched, event);
    }

private:
    std::shared_ptr<UnifiedWindowState> state_;
    QWidget* column_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

WindowSidePicker::WindowSidePicker(std::shared_ptr<UnifiedWindowState> state, QWidget* parent)
    : QWidget(parent), state_(std::move(state)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kTabSpacing);
    auto* host = new BarButton(qtText(UnifiedWindowState::kHostTitle), this);
    auto* client = new BarButton(qtText(UnifiedWindowState::kClientTitle), this);
    host->setObjectName("hostTab");
    client->setObjectName("clientTab");
    host_ = host;
    client_ = client;
    layout->addWidget(host, 0, Qt::AlignVCenter);
    layout->addWidget(client, 0, Qt::AlignVCenter);
    connect(host, &QAbstractButton::clicked, this, [this] { state_->show(WindowSide::host); });
    connect(client, &QAbstractButton::clicked, this, [this] { state_->show(WindowSide::client); });
    const auto arrow = [this](int key) {
        const WindowSide side = key == Qt::Key_Left ? WindowSide::host : WindowSide::client;
        state_->show(side);
        tab(side)->setFocus(Qt::OtherFocusReason);
    };
    host->onArrow = arrow;
    client->onArrow = arrow;
    const auto again = [this](const auto&) { refresh(); };
    subscriptions_.push_back(state_->side().observe(again));
    subscriptions_.push_back(state_->showingSettings().observe(again));
    refresh();
}

QAbstractButton* WindowSidePicker::tab(WindowSide side) const { return side == WindowSide::host ? host_ : client_; }

void WindowSidePicker::refresh() {
    for (const auto side : {WindowSide::host, WindowSide::client}) {
        auto* button = static_cast<BarButton*>(tab(side));
        const bool current = state_->side()() == side;
        const bool selected = current && !state_->showingSettings()();
        button->setSelected(selected, selected);
        button->setFocusPolicy(current ? Qt::StrongFocus : Qt::NoFocus);
    }
}

WindowNavigation::WindowNavigation(std::shared_ptr<UnifiedWindowState> state, QWidget* parent)
    : QWidget(parent), state_(std::move(state)) {
    setObjectName("navigation");
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(int(DesktopLayout::kPadding), 0, int(DesktopLayout::kPadding), 0);
    auto* bar = new QWidget(this);
    bar->setMaximumWidth(int(DesktopLayout::kMaxWidth));
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kNavigationSpacing);
    picker_ = new WindowSidePicker(state_, bar);
    auto* button = new BarButton({}, bar);
    button->setObjectName("navigationButton");
    button->setFocusPolicy(Qt::StrongFocus);
    button_ = button;
    layout->addWidget(picker_);
    layout->addStretch();
    layout->addWidget(button_);
    outer->addWidget(bar, 1);
    connect(button, &QAbstractButton::clicked, this, [this] { state_->setSettingsVisible(!returnToSession_); });
    const auto again = [this](const auto&) { refresh(); };
    subscriptions_.push_back(state_->showingSettings().observe(again));
    subscriptions_.push_back(
        state_->navigationRequest().observe([this](int) { button_->setFocus(Qt::OtherFocusReason); }));
    refresh();
}

void WindowNavigation::setReturnToSession(bool returnToSession) {
    returnToSession_ = returnToSession;
    refresh();
}

void WindowNavigation::refresh() {
    picker_->setVisible(!returnToSession_);
    auto* button = static_cast<BarButton*>(button_);
    button->setText(returnToSession_ ? "セッションに戻る" : "設定");
    const bool settings = state_->showingSettings()();
    button->setSelected(!returnToSession_ && settings, settings);
    button->updateGeometry();
}

// ---------------------------------------------------------------------------------------------

UnifiedWindow::UnifiedWindow(UnifiedWindowParts parts) : parts_(std::move(parts)), state_(parts_.client.windowState) {
    setWindowTitle(kTitle);
    setObjectName("unifiedWindow");
    // Closing the window leaves the host serving; only the quit command ends the process.
    QApplication::setQuitOnLastWindowClosed(false);
    setAttribute(Qt::WA_QuitOnClose, false);
    theme_ = std::make_unique<ThemeController>(parts_.client.defaults);

    auto* central = new QWidget(this);
    central->setMinimumSize(kMinimumWidth, kMinimumHeight);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    navigation_ = new WindowNavigation(state_, central);
    navigationSeparator_ = new SeparatorLine(central);
    column->addWidget(navigation_);
    column->addWidget(navigationSeparator_);
    layers_ = new QWidget(central);
    auto* stack = new QGridLayout(layers_);
    stack->setContentsMargins(0, 0, 0, 0);
    host_ = parts_.hostSide ? parts_.hostSide(layers_) : new QWidget(layers_);
    host_->setObjectName(host_->objectName().isEmpty() ? QString("hostSide") : host_->objectName());
    client_ = new ClientSideContent(parts_.client, layers_);
    client_->sessionVisibilityChanged = [this](bool shown) { sessionVisibilityChanged(shown); };
    stack->addWidget(host_, 0, 0);
    stack->addWidget(client_, 0, 0);
    column->addWidget(layers_, 1);
    setCentralWidget(central);
    setAutoFillBackground(true);

    appWindow_ = std::make_shared<QtAppWindow>(this, central);
    appWindow_->findVideoSurface = [this] { return client_->videoSurface(); };
    appWindow_->focusSurface = [this] { client_->focusVideoSurface(); };
    parts_.client.model->setWindowState(state_);
    buildMenus();

    const auto again = [this](const auto&) { refresh(); };
    subscriptions_.push_back(state_->side().observe(again));
    subscriptions_.push_back(state_->showingSettings().observe(again));
    subscriptions_.push_back(state_->immersive().observe(again));
    subscriptions_.push_back(state_->isFullScreen().observe(again));
    refresh();
}

UnifiedWindow::~UnifiedWindow() = default;

void UnifiedWindow::buildMenus() {
    auto* application = menuBar()->addMenu(kTitle);
    auto* file = menuBar()->addMenu("ファイル");
    commands_ = new ClientCommands(menuBar(), file, application, parts_.client.model, state_, [this] { openWindow(); });
    application->addSeparator();
    auto* quit = application->addAction("Orvantaを終了", qApp, &QCoreApplication::quit);
    quit->setShortcut(QKeySequence::Quit);
    // The bar hides in full screen; its shortcuts must go on working.
    for (QMenu* menu : {application, file, commands_->connectionMenu()}) addActions(menu->actions());
}

void UnifiedWindow::refresh() {
    const WindowSide side = state_->side()();
    const bool settings = state_->showingSettings()();
    const bool immersive = state_->immersive()();
    const bool barShown = !immersive && (side == WindowSide::host || !clientSession_ || settings);
    navigation_->setVisible(barShown);
    navigationSeparator_->setVisible(barShown);
    navigation_->setReturnToSession(side == WindowSide::client && clientSession_ && settings);
    menuBar()->setVisible(!state_->isFullScreen()());

    host_->setVisible(side == WindowSide::host && !settings);
    const bool clientVisible = side == WindowSide::client && !settings;
    client_->setSideVisible(clientVisible);
    client_->setVisible(clientVisible);
    if (settings && !settings_) {
        settings_ = parts_.settingsPage ? parts_.settingsPage(layers_) : defaultSettingsPage(layers_);
        static_cast<QGridLayout*>(layers_->layout())->addWidget(settings_, 0, 0);
        settings_->show();
    } else if (!settings && settings_) {
        delete settings_.data();
    }
}

void UnifiedWindow::sessionVisibilityChanged(bool shown) {
    if (clientSession_ && !shown && state_->side()() == WindowSide::client) state_->setSettingsVisible(false);
    clientSession_ = shown;
    refresh();
}

QWidget* UnifiedWindow::defaultSettingsPage(QWidget* parent) { return new ClientSettingsPage(parts_, state_, parent); }

void UnifiedWindow::setDiscoveryDenied(bool denied) { client_->setDiscoveryDenied(denied); }

void UnifiedWindow::openWindow() {
    if (state_->bringToFront()) return;
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const auto visibleHeight = screen ? std::optional<double>(screen->availableGeometry().height()) : std::nullopt;
    const int titleBar = frameGeometry().height() - geometry().height();
    const QWidget* content = centralWidget();
    const double visibleWidth = screen ? screen->availableGeometry().width() : kNewWindowWidth;
    const double fitting = parts_.fittingHeight ? parts_.fittingHeight(std::min(kNewWindowWidth, visibleWidth))
                           : content->hasHeightForWidth() ? content->heightForWidth(int(kNewWindowWidth))
                                                          : content->sizeHint().height();
    const double height = newWindowHeight(fitting, visibleHeight, titleBar);
    resize(int(kNewWindowWidth), int(height) + menuBar()->sizeHint().height());
    show();
    raise();
    activateWindow();
}

void UnifiedWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!std::exchange(shownOnce_, true) && parts_.firstShown) parts_.firstShown();
    // As a new window: the state adopts it once it is on screen, a turn from now.
    QTimer::singleShot(0, this, [this] { state_->attach(appWindow_); });
}

}  // namespace orvanta::client
