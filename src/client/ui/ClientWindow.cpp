#include "client/ui/ClientWindow.h"

#include <QLabel>
#include <QResizeEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <charconv>

#include "client/ui/ClientScreenRules.h"
#include "client/ui/ConnectView.h"
#include "client/ui/ThemeStyles.h"

namespace orvanta::client {
namespace {

std::string decimal(std::size_t value) {
    std::array<char, 24> buffer{};
    const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return {buffer.data(), written.ptr};
}

class PlaceholderSessionView final : public QWidget {
public:
    PlaceholderSessionView(std::shared_ptr<ClientModel> model, QWidget* parent) : QWidget(parent) {
        setObjectName("sessionView");
        setAutoFillBackground(true);
        QPalette black = palette();
        black.setColor(QPalette::Window, Qt::black);
        setPalette(black);
        auto* layout = new QVBoxLayout(this);
        auto* title = new QLabel(this);
        title->setAlignment(Qt::AlignCenter);
        Theme::tint(title, ThemeColour::muted);
        layout->addWidget(title);
        const auto show = [title](SessionState state) { title->setText(qtText(indicatorTitle(state))); };
        show(model->session().state());
        subscription_ = model->session().state.observe(show);
    }

private:
    Subscription subscription_;
};

}  // namespace

std::optional<std::string> ClientWindow::importNote(const ClientModel& model) {
    const auto count = model.standaloneImportCount();
    if (!count) return std::nullopt;
    return "import from standalone client: " + decimal(std::size_t(*count)) +
           " keys, entries=" + decimal(model.hosts().entries().size());
}

SessionViewFactory placeholderSessionView(std::shared_ptr<ClientModel> model) {
    return [model](QWidget* parent) { return new PlaceholderSessionView(model, parent); };
}

std::optional<ViewportMetrics> WidgetMeasure::metrics() const {
    if (!widget_) return std::nullopt;
    const QWidget* window = widget_->window();
    if (!window->windowHandle()) return std::nullopt;
    return ViewportMetrics{{0, 0, double(window->width()), double(window->height())}, window->devicePixelRatioF()};
}

ClientSideContent::ClientSideContent(const ClientScreens& screens, QWidget* parent)
    : QWidget(parent), screens_(screens) {
    if (!screens_.sessionView) screens_.sessionView = placeholderSessionView(screens_.model);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    connectView_ = new ConnectView(screens_, this);
    layout->addWidget(connectView_);

    const auto& model = *screens_.model;
    const auto again = [this](const auto&) { refresh(); };
    subscriptions_.push_back(model.showingConnectScreen().observe(again));
    subscriptions_.push_back(model.session().state.observe(again));
    subscriptions_.push_back(screens_.windowState->immersive().observe(again));
    refresh();
}

ClientSideContent::~ClientSideContent() = default;

void ClientSideContent::setSideVisible(bool visible) {
    if (visible == sideVisible_) return;
    sideVisible_ = visible;
    refresh();
}

void ClientSideContent::setDiscoveryDenied(bool denied) { connectView_->setDiscoveryDenied(denied); }

void ClientSideContent::refresh() {
    const auto& model = *screens_.model;
    const SessionState state = model.session().state();
    const bool list =
        showingList(sideVisible_, screens_.windowState->immersive()(), model.showingConnectScreen()(), state);
    connectView_->setActive(list);

    const bool sessionActive = sideVisible_ && !list;
    if (sessionActive && !sessionView_) {
        sessionView_ = screens_.sessionView(this);
        layout()->addWidget(sessionView_);
        sessionView_->show();
    } else if (!sessionActive && sessionView_) {
        delete sessionView_.data();
    }
    if (appeared_) reportSessionShown();
    reportWindow();
}

void ClientSideContent::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    appeared_ = true;
    reportSessionShown();
    reportWindow();
}

void ClientSideContent::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    reportWindow();
}

void ClientSideContent::reportSessionShown() {
    const bool shown = sessionShown(screens_.model->session().state(), screens_.model->showingConnectScreen()());
    if (sessionShown_ == shown) return;
    sessionShown_ = shown;
    if (sessionVisibilityChanged) sessionVisibilityChanged(shown);
}

void ClientSideContent::reportWindow() {
    // The window is known once the widget is in it, which may be after this call: ask a turn later.
    QTimer::singleShot(0, this, [this] {
        if (!sideVisible_) return;
        if (!windowMeasure_) windowMeasure_ = std::make_shared<WidgetMeasure>(this);
        screens_.model->setWindow(windowMeasure_);
    });
}

std::shared_ptr<const MeasuredView> ClientSideContent::videoSurface() const {
    const auto* surface = dynamic_cast<const SessionSurface*>(sessionView_.data());
    return surface ? surface->videoSurface() : nullptr;
}

void ClientSideContent::focusVideoSurface() {
    if (auto* surface = dynamic_cast<SessionSurface*>(sessionView_.data())) surface->focusVideoSurface();
}

}  // namespace orvanta::client
