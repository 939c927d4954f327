#include "debug/ui/ClientAutomation.h"

#include <QApplication>
#include <QPointer>
#include <QScreen>

#include "debug/ui/LocalEventMonitor.h"

namespace orvanta::debug {
namespace {

using client::ClientModel;

ScreenRect screenRect(const QRect& rect) {
    return {static_cast<double>(rect.x()), static_cast<double>(rect.y()), static_cast<double>(rect.width()),
            static_cast<double>(rect.height())};
}

// The real client: the model for the session and the saved hosts, the window and its video surface
// for what the checks measure. The window may be closed and made again; a gone window reads as none.
class QtDebugClient final : public DebugClient {
public:
    QtDebugClient(std::shared_ptr<ClientModel> model, std::shared_ptr<client::UnifiedWindowState> windowState,
                  client::UnifiedWindow& window)
        : model_(std::move(model)), windowState_(std::move(windowState)), window_(&window) {}
    ~QtDebugClient() override { stopEventMonitor(); }

    std::vector<std::string> savedBaseURLs() const override {
        std::vector<std::string> urls;
        for (const auto& entry : model_->hosts().entries()) urls.push_back(entry.baseURL);
        return urls;
    }
    std::optional<SelectedHost> selectedHost() const override {
        const auto selected = model_->hosts().selected();
        if (!selected) return std::nullopt;
        return SelectedHost{selected->displayName, selected->kind, selected->baseURL};
    }
    void addHost(const std::string& address, const std::string& code, client::HostListStore::Kind kind,
                 std::function<void(bool)> done) override {
        model_->addHost(address, code, kind, std::move(done));
    }
    std::string errorMessage() const override { return model_->errorMessage()().value_or(""); }

    void connect() override { model_->connect(); }
    void disconnect() override { model_->connection().disconnect(); }
    State state() const override { return model_->connection().state(); }
    client::StreamSize streamSize() const override { return model_->connection().streamSize(); }
    int fps() const override { return model_->fps()(); }
    void hideConnectScreen() override { model_->setShowingConnectScreen(false); }
    std::optional<protocol::CursorPosition> cursor() const override { return model_->connection().cursor(); }
    std::optional<std::string> inputNotice() const override { return model_->connection().inputNotice(); }
    void sendPointer(const std::string& action, double x, double y, std::optional<double> dx,
                     std::optional<double> dy) override {
        model_->connection().sendPointer(action, x, y, dx, dy);
    }
    void sendKey(const std::string& name) override {
        model_->connection().sendKey(name, false, false, false, false);
    }
    void setLocalInputSuspended(bool suspended) override { model_->setLocalInputSuspended(suspended); }

    std::optional<client::HostListStore::Entry> activeEntry() const override { return model_->activeEntry(); }
    std::optional<client::HostListStore::Entry> targetEntry() const override {
        return ClientModel::isLive(state()) ? model_->activeEntry() : model_->hosts().selected();
    }
    bool isSelfConnection() const override { return model_->isSelfConnection(); }
    double aspectScale() const override { return model_->aspectScale(); }
    void setAspectFit(bool on) override { model_->setAspectFit(on); }
    void setAspectScale(double scale) override { model_->setAspectScale(scale); }

    // The layer has no failure state of its own here: it renders once a picture has been shown.
    std::optional<SurfaceReport> surface() const override {
        if (!window_) return std::nullopt;
        const auto view = window_->clientSide()->videoSurface();
        const auto metrics = view ? view->metrics() : std::nullopt;
        if (!metrics) return std::nullopt;
        return SurfaceReport{metrics->bounds.width, metrics->bounds.height, metrics->scale,
                             model_->receivedFrame()() ? 1 : 0};
    }
    std::optional<ScreenRect> windowFrame() const override {
        if (!window_) return std::nullopt;
        return screenRect(window_->geometry());
    }
    void setWindowFrame(const ScreenRect& frame) override {
        if (!window_) return;
        window_->setGeometry(static_cast<int>(frame.x), static_cast<int>(frame.y), static_cast<int>(frame.width),
                             static_cast<int>(frame.height));
    }
    std::optional<BarGeometry> barGeometry() const override {
        if (!window_) return std::nullopt;
        const QScreen* main = QGuiApplication::primaryScreen();
        return BarGeometry{screenRect(window_->frameGeometry()), static_cast<double>(window_->geometry().y()),
                           main ? std::optional(screenRect(main->geometry())) : std::nullopt};
    }
    void show(Side side) override {
        windowState_->show(side == Side::host ? client::WindowSide::host : client::WindowSide::client);
    }
    void bringToFront() override {
        if (!window_) return;
        window_->show();
        window_->raise();
        window_->activateWindow();
    }
    void terminate() override { QCoreApplication::quit(); }
    void startEventMonitor(std::function<void(const ObservedEvent&)> record) override {
        stopEventMonitor();
        monitor_ = std::make_unique<LocalEventMonitor>(std::move(record));
        qApp->installEventFilter(monitor_.get());
    }
    void stopEventMonitor() override {
        if (monitor_ && qApp) qApp->removeEventFilter(monitor_.get());
        monitor_.reset();
    }

private:
    std::shared_ptr<ClientModel> model_;
    std::shared_ptr<client::UnifiedWindowState> windowState_;
    QPointer<client::UnifiedWindow> window_;
    std::unique_ptr<LocalEventMonitor> monitor_;
};

// Runs the automation when the root view is shown.
class ShowWatcher final : public QObject {
public:
    ShowWatcher(std::shared_ptr<DebugSupport> support, std::shared_ptr<QtDebugClient> client, QObject* parent)
        : QObject(parent), support_(std::move(support)), client_(std::move(client)) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show) support_->run(client_);
        return false;
    }

private:
    std::shared_ptr<DebugSupport> support_;
    std::shared_ptr<QtDebugClient> client_;
};

}  // namespace

void installClientAutomation(const std::shared_ptr<DebugSupport>& support, const std::shared_ptr<ClientModel>& model,
                             const std::shared_ptr<client::UnifiedWindowState>& windowState,
                             client::UnifiedWindow& window) {
    if (!support->isActive()) return;
    // A debug run opens on the client side.
    windowState->show(client::WindowSide::client);
    auto* root = window.clientSide();
    auto client = std::make_shared<QtDebugClient>(model, windowState, window);
    root->installEventFilter(new ShowWatcher(support, client, root));
    if (root->isVisible()) support->run(client);
}

}  // namespace orvanta::debug
