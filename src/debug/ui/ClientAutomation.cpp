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
// for what the checks measure. It holds all of them weakly: the model and the window state hold the
// automation, which holds this while a sequence runs. A part that is gone reads as absent.
class QtDebugClient final : public DebugClient {
public:
    QtDebugClient(std::weak_ptr<ClientModel> model, std::weak_ptr<client::UnifiedWindowState> windowState,
                  client::UnifiedWindow& window)
        : model_(std::move(model)), windowState_(std::move(windowState)), window_(&window) {}
    ~QtDebugClient() override { stopEventMonitor(); }

    std::vector<std::string> savedBaseURLs() const override {
        return ask<std::vector<std::string>>({}, [](const ClientModel& model) {
            std::vector<std::string> urls;
            for (const auto& entry : model.hosts().entries()) urls.push_back(entry.baseURL);
            return urls;
        });
    }
    std::optional<SelectedHost> selectedHost() const override {
        return ask<std::optional<SelectedHost>>({}, [](const ClientModel& model) -> std::optional<SelectedHost> {
            const auto selected = model.hosts().selected();
            if (!selected) return std::nullopt;
            return SelectedHost{selected->displayName, selected->kind, selected->baseURL};
        });
    }
    void addHost(const std::string& address, const std::string& code, client::HostListStore::Kind kind,
                 std::function<void(bool)> done) override {
        if (auto model = model_.lock()) return model->addHost(address, code, kind, std::move(done));
        done(false);
    }
    std::string errorMessage() const override {
        return ask<std::string>({}, [](const ClientModel& model) { return model.errorMessage()().value_or(""); });
    }

    void connect() override {
        tell([](ClientModel& model) { model.connect(); });
    }
    void disconnect() override {
        tell([](ClientModel& model) { model.connection().disconnect(); });
    }
    State state() const override {
        return ask(State::disconnected, [](const ClientModel& model) { return model.connection().state(); });
    }
    client::StreamSize streamSize() const override {
        return ask<client::StreamSize>({}, [](const ClientModel& model) { return model.connection().streamSize(); });
    }
    int fps() const override {
        return ask(0, [](const ClientModel& model) { return model.fps()(); });
    }
    void hideConnectScreen() override {
        tell([](ClientModel& model) { model.setShowingConnectScreen(false); });
    }
    std::optional<protocol::CursorPosition> cursor() const override {
        return ask<std::optional<protocol::CursorPosition>>(
            {}, [](const ClientModel& model) { return model.connection().cursor(); });
    }
    std::optional<std::string> inputNotice() const override {
        return ask<std::optional<std::string>>(
            {}, [](const ClientModel& model) { return model.connection().inputNotice(); });
    }
    void sendPointer(const std::string& action, double x, double y, std::optional<double> dx,
                     std::optional<double> dy) override {
        tell([&](ClientModel& model) { model.connection().sendPointer(action, x, y, dx, dy); });
    }
    void sendKey(const std::string& name) override {
        tell([&](ClientModel& model) { model.connection().sendKey(name, false, false, false, false); });
    }
    void setLocalInputSuspended(bool suspended) override {
        tell([&](ClientModel& model) { model.setLocalInputSuspended(suspended); });
    }

    std::optional<client::HostListStore::Entry> activeEntry() const override {
        return ask<std::optional<client::HostListStore::Entry>>(
            {}, [](const ClientModel& model) { return model.activeEntry(); });
    }
    std::optional<client::HostListStore::Entry> targetEntry() const override {
        return ask<std::optional<client::HostListStore::Entry>>({}, [](const ClientModel& model) {
            return ClientModel::isLive(model.connection().state()) ? model.activeEntry() : model.hosts().selected();
        });
    }
    bool isSelfConnection() const override {
        return ask(false, [](const ClientModel& model) { return model.isSelfConnection(); });
    }
    double aspectScale() const override {
        return ask(1.0, [](const ClientModel& model) { return model.aspectScale(); });
    }
    void setAspectFit(bool on) override {
        tell([&](ClientModel& model) { model.setAspectFit(on); });
    }
    void setAspectScale(double scale) override {
        tell([&](ClientModel& model) { model.setAspectScale(scale); });
    }

    // The layer has no failure state of its own here: it renders once a picture has been shown.
    std::optional<SurfaceReport> surface() const override {
        const auto model = model_.lock();
        if (!window_ || !model) return std::nullopt;
        const auto view = window_->clientSide()->videoSurface();
        const auto metrics = view ? view->metrics() : std::nullopt;
        if (!metrics) return std::nullopt;
        return SurfaceReport{metrics->bounds.width, metrics->bounds.height, metrics->scale,
                             model->receivedFrame()() ? 1 : 0};
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
        if (auto state = windowState_.lock()) {
            state->show(side == Side::host ? client::WindowSide::host : client::WindowSide::client);
        }
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
    template <class R, class F>
    R ask(R absent, F question) const {
        const auto model = model_.lock();
        return model ? R(question(*model)) : absent;
    }
    template <class F>
    void tell(F action) {
        if (auto model = model_.lock()) action(*model);
    }

    std::weak_ptr<ClientModel> model_;
    std::weak_ptr<client::UnifiedWindowState> windowState_;
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
