#include "client/ui/ClientWindow.h"

#include <QResizeEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <charconv>

#include "client/ui/ClientScreenRules.h"
#include "client/ui/ConnectView.h"
#include "client/ui/MacWindowPicker.h"
#include "client/ui/SessionView.h"

namespace orvanta::client {
namespace {

std::string decimal(std::size_t value) {
    std::array<char, 24> buffer{};
    const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return {buffer.data(), written.ptr};
}

}  // namespace

std::optional<std::string> ClientWindow::importNote(const ClientModel& model) {
    const auto count = model.standaloneImportCount();
    if (!count) return std::nullopt;
    return "import from standalone client: " + decimal(std::size_t(*count)) +
           " keys, entries=" + decimal(model.hosts().entries().size());
}

std::optional<ViewportMetrics> WidgetMeasure::metrics() const {
    if (!widget_ || !widget_->window()->windowHandle()) return std::nullopt;
    return ViewportMetrics{{0, 0, double(widget_->width()), double(widget_->height())}, widget_->devicePixelRatioF()};
}

ClientSideContent::ClientSideContent(const ClientScreens& screens, QWidget* parent)
    : QWidget(parent), screens_(screens) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    connectView_ = new ConnectView(screens_, this);
    layout->addWidget(connectView_);

    const auto& model = *screens_.model;
    const auto again = [this](const auto&) { refresh(); };
    subscriptions_.push_back(model.showingConnectScreen().observe(again));
    subscriptions_.push_back(model.session().state.observe(again));
    subscriptions_.push_back(screens_.windowState->immersive().observe(again));
    subscriptions_.push_back(screens_.windowState->navigationRequest().observe([this](int) {
        if (sessionView_) sessionView_->focusSettings();
    }));
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
        makeSessionView();
    } else if (!sessionActive && sessionView_) {
        delete picker_.data();
        delete sessionView_.data();
        surfaceMeasure_.reset();
    }
    if (sessionView_) sessionView_->setImmersive(screens_.windowState->immersive()());
    if (appeared_) reportSessionShown();
    reportWindow();
}

void ClientSideContent::makeSessionView() {
    auto* view = new SessionView(screens_.main, screens_.clock, VideoSurface::PaintPath::automatic, this);
    view->setObjectName("sessionView");
    sessionView_ = view;
    surfaceMeasure_ = std::make_shared<WidgetMeasure>(&view->surface());
    const auto& state = screens_.windowState;
    view->onOpenSettings = [state] { state->setSettingsVisible(true); };
    view->onToggleFullScreen = [state] { state->toggleFullScreen(); };
    view->onFocusNavigation = [state] { state->focusNavigation(); };
    view->presentWindowPicker = [this](bool shown) { presentWindowPicker(shown); };
    view->bind(screens_.model, screens_.defaults);
    view->setImmersive(state->immersive()());
    layout()->addWidget(view);
    view->show();
}

// The picker is a sheet of the window while the model says it is shown; closing it tells the model.
void ClientSideContent::presentWindowPicker(bool shown) {
    if (!shown) {
        if (picker_) picker_->close();
        return;
    }
    if (picker_) return;
    auto* picker = new MacWindowPicker(screens_.model->connection(), window());
    picker->setAttribute(Qt::WA_DeleteOnClose);
    connect(picker, &QDialog::finished, this, [model = screens_.model] { model->setShowingWindowPicker(false); });
    picker_ = picker;
    picker->open();
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
        if (!windowMeasure_) windowMeasure_ = std::make_shared<WidgetMeasure>(window());
        screens_.model->setWindow(windowMeasure_);
    });
}

std::shared_ptr<const MeasuredView> ClientSideContent::videoSurface() const { return surfaceMeasure_; }

void ClientSideContent::focusVideoSurface() {
    if (sessionView_) sessionView_->surface().setFocus(Qt::OtherFocusReason);
}

}  // namespace orvanta::client
