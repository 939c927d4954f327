#include "client/ui/SessionView.h"

#include <QBoxLayout>
#include <QEvent>
#include <QFontDatabase>
#include <QPainter>
#include <QPointer>

#include "client/ui/ClientScreenRules.h"
#include "client/ui/ThemeStyles.h"

namespace orvanta::client {

namespace {

constexpr int kBarMaxWidth = static_cast<int>(DesktopLayout::kMaxWidth);
constexpr int kBarPadding = static_cast<int>(DesktopLayout::kPadding);
constexpr int kBarVerticalPadding = 8;
constexpr int kCompactHeight = 36;
constexpr int kButtonPadding = 8;
constexpr int kDotSize = 6;
constexpr int kLabelSpacing = 8;
constexpr int kStatusFontPixels = 11;
constexpr int kStatusLines = 2;

// The bar's ground with its line along the bottom edge.
class Bar final : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), Theme::color(ThemeColour::surface));
        painter.fillRect(0, height() - 1, width(), 1, Theme::color(ThemeColour::line));
    }
};

}  // namespace

// The video surface as the model measures it: its bounds and scale while it is on screen.
class SessionView::SurfaceMeasure final : public MeasuredView {
public:
    explicit SurfaceMeasure(VideoSurface* surface) : surface_(surface) {}
    std::optional<ViewportMetrics> metrics() const override {
        const VideoSurface* surface = surface_.data();
        if (surface == nullptr || !surface->isVisible()) return std::nullopt;
        return surface->viewport();
    }

private:
    QPointer<VideoSurface> surface_;
};

SessionView::SessionView(base::Executor& main, const base::Clock& clock, VideoSurface::PaintPath path, QWidget* parent)
    : QWidget(parent) {
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    bar_ = new Bar(this);
    // The bar stacks its parts when narrow, so its row must not set the window's least width.
    bar_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto* barLayout = new QHBoxLayout(bar_);
    auto* content = new QWidget(bar_);
    content->setMaximumWidth(kBarMaxWidth);
    content->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    barLayout->addWidget(content, 1);
    barLayout->addStretch(0);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    topRow_ = new QBoxLayout(QBoxLayout::LeftToRight);
    column->addLayout(topRow_);

    stateLabel_ = new QWidget(content);
    auto* labelRow = new QHBoxLayout(stateLabel_);
    labelRow->setContentsMargins(0, 0, 0, 0);
    labelRow->setSpacing(kLabelSpacing);
    dot_ = new StateDot(kDotSize, stateLabel_);
    // The status line says what the dot shows.
    dot_->setAccessibleName({});
    status_ = new QLabel(stateLabel_);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(kStatusFontPixels);
    mono.setWeight(QFont::Normal);
    status_->setFont(mono);
    status_->setWordWrap(true);
    status_->setMaximumHeight(QFontMetrics(mono).lineSpacing() * kStatusLines);
    labelRow->addWidget(dot_, 0, Qt::AlignVCenter);
    labelRow->addWidget(status_, 1);
    topRow_->addWidget(stateLabel_, 0);
    topRow_->addStretch(1);

    actions_ = new QWidget(content);
    actionsLayout_ = new QBoxLayout(QBoxLayout::LeftToRight, actions_);
    actionsLayout_->setContentsMargins(0, 0, 0, 0);
    actionsLayout_->setSpacing(static_cast<int>(kActionSpacing));
    topRow_->addWidget(actions_, 0);
    for (const OverlayButton which : {OverlayButton::settings, OverlayButton::fullScreen, OverlayButton::disconnect,
                                      OverlayButton::takeOver, OverlayButton::joinAsController, OverlayButton::stop,
                                      OverlayButton::returnHere, OverlayButton::close, OverlayButton::showHere}) {
        auto* button = new FlatButton(qtText(buttonTitle(which)),
                                      isDestructive(which) ? ThemeColour::danger : ThemeColour::text, kButtonPadding,
                                      actions_);
        button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        button->hide();
        connect(button, &QPushButton::clicked, this, [this, which] { act(which); });
        buttons_[which] = button;
    }

    caption_ = new QLabel(qtText(*caption(ConnectionManager::State::controller)), content);
    caption_->setFont(Theme::font(TextStyle::caption));
    Theme::tint(caption_, ThemeColour::muted);
    notice_ = new QLabel(content);
    notice_->setFont(Theme::font(TextStyle::caption));
    notice_->setWordWrap(true);
    Theme::tint(notice_, ThemeColour::stateWarn);
    column->addWidget(caption_);
    column->addWidget(notice_);

    videoArea_ = new QWidget(this);
    videoArea_->setAutoFillBackground(true);
    QPalette black = videoArea_->palette();
    black.setColor(QPalette::Window, Qt::black);
    videoArea_->setPalette(black);
    auto* videoLayout = new QVBoxLayout(videoArea_);
    videoLayout->setContentsMargins(0, 0, 0, 0);
    surface_ = new VideoSurface(main, clock, path, videoArea_);
    videoLayout->addWidget(surface_);

    root->addWidget(bar_);
    root->addWidget(videoArea_, 1);
    fillBar();
}

SessionView::~SessionView() {
    if (defaults_ && cursorScaleObserver_) defaults_->removeObserver(*cursorScaleObserver_);
    // The surface releases held input as it goes, through the model it must still find.
    delete surface_;
}

void SessionView::bind(std::shared_ptr<ClientModel> model, std::shared_ptr<base::Settings> defaults) {
    model_ = std::move(model);
    defaults_ = std::move(defaults);
    measure_ = std::make_shared<SurfaceMeasure>(surface_);
    cursorScaleObserver_ = defaults_->observe(kCursorScaleKey, [this](const auto&) { refresh(); });
    const auto watch = [this](const auto& published) {
        subscriptions_.push_back(published.observe([this](const auto&) { refresh(); }));
    };
    const SessionPublished& session = model_->session();
    watch(session.state);
    watch(session.viewOnly);
    watch(session.inputNotice);
    watch(session.streamSize);
    watch(session.visibleCursorShape);
    watch(session.hostEntryId);
    watch(model_->hostList().entries);
    watch(model_->receivedFrame());
    watch(model_->fps());
    watch(model_->showingConnectScreen());
    watch(model_->showingWindowPicker());

    ConnectionManager& connection = model_->connection();
    surface_->onInput = [this](const SurfaceInput& input) { model_->handle(input); };
    surface_->onGeometryChange = [this] { model_->surfaceGeometryChanged(measure_, false); };
    surface_->onFocusLost = [&connection] { connection.releaseInput(); };
    surface_->onRendererFailure = [&connection] { connection.sendRequestKeyframe(); };
    surface_->onToggleFullScreen = [this] {
        if (onToggleFullScreen) onToggleFullScreen();
    };
    surface_->onOpenSettings = [this] {
        if (onOpenSettings) onOpenSettings();
    };
    surface_->onFocusNavigation = [this] {
        if (onFocusNavigation) onFocusNavigation();
    };
    onWindowInactive = [&connection] { connection.releaseInput(); };
    refresh();
}

void SessionView::setImmersive(bool immersive) {
    immersive_ = immersive;
    if (model_) return refresh();
    OverlayFacts facts = facts_;
    facts.immersive = immersive;
    apply(facts);
}

void SessionView::refresh() {
    if (!model_) return;
    const SessionPublished& session = model_->session();
    OverlayFacts facts;
    facts.state = session.state();
    facts.receivedFrame = model_->receivedFrame()();
    facts.viewOnly = session.viewOnly();
    if (const auto entry = model_->activeEntry()) facts.hostDisplayName = entry->displayName;
    facts.streamSize = session.streamSize();
    facts.fps = model_->fps()();
    facts.inputNotice = session.inputNotice();
    facts.showingConnectScreen = model_->showingConnectScreen()();
    facts.immersive = immersive_;
    apply(facts);
    surface_->updateCursor(session.visibleCursorShape(), defaults_->real(kCursorScaleKey).value_or(1.0));
    setWindowPickerShown(model_->showingWindowPicker()());
}

// A bound view acts through the model and its session; the window state's buttons are reported.
void SessionView::act(OverlayButton button) {
    if (model_) {
        ConnectionManager& connection = model_->connection();
        switch (button) {
            case OverlayButton::disconnect:
            case OverlayButton::stop:
            case OverlayButton::close:
                connection.disconnect();
                model_->setShowingConnectScreen(false);
                break;
            case OverlayButton::takeOver:
                connection.takeOver();
                break;
            case OverlayButton::joinAsController:
                connection.joinAsController();
                break;
            case OverlayButton::showHere:
                connection.promoteToMain();
                break;
            case OverlayButton::returnHere:
                if (const auto entry = model_->activeEntry()) model_->hosts().select(entry->id);
                model_->connect();
                break;
            case OverlayButton::settings:
                if (onOpenSettings) onOpenSettings();
                break;
            case OverlayButton::fullScreen:
                if (onToggleFullScreen) onToggleFullScreen();
                break;
        }
    }
    if (onButton) onButton(button);
}

// The surface shows the session's video only while it is on screen; elsewhere frames are counted
// and acknowledged without decoding.
void SessionView::updateBinding() {
    if (!model_) return;
    const bool shown = isVisible() && showsVideoSurface(facts_);
    surface_->setSource(shown ? std::shared_ptr<VideoSource>(model_->connection().shared_from_this()) : nullptr);
}

void SessionView::apply(const OverlayFacts& facts) {
    if (facts == facts_) return;
    facts_ = facts;
    fillBar();
}

std::vector<OverlayButton> SessionView::barButtons() const {
    return isCompactBar(facts_.state) ? compactBarButtons() : actionButtons(facts_.state, facts_.viewOnly);
}

void SessionView::fillBar() {
    const bool compact = isCompactBar(facts_.state);
    const QString status = qtText(statusLine(facts_));
    status_->setText(status);
    status_->setToolTip(status);
    status_->setAccessibleName(status);
    dot_->setColour(stateColour(facts_.state));
    stateLabel_->setVisible(showsStateLabel(facts_));

    while (actionsLayout_->count() > 0) delete actionsLayout_->takeAt(0);
    for (auto& [which, button] : buttons_) button->hide();
    for (const OverlayButton which : barButtons()) {
        QPushButton* button = buttons_.at(which);
        actionsLayout_->addWidget(button, 0, Qt::AlignLeft);
        button->setEnabled(which != OverlayButton::fullScreen || facts_.receivedFrame);
        button->show();
    }
    // The buttons keep their own width when the row is given more.
    actionsLayout_->addStretch(1);
    actions_->setMinimumHeight(compact ? kCompactHeight : 0);
    bar_->setToolTip(compact ? qtText(compactTooltip(facts_)) : QString());
    bar_->layout()->setContentsMargins(kBarPadding, compact ? 0 : kBarVerticalPadding, kBarPadding,
                                       compact ? 0 : kBarVerticalPadding);
    topRow_->setSpacing(compact ? 8 : static_cast<int>(kBarSpacing));

    const auto captionText = caption(facts_.state);
    caption_->setVisible(captionText.has_value());
    notice_->setVisible(facts_.inputNotice.has_value());
    notice_->setText(facts_.inputNotice ? QString::fromStdString(*facts_.inputNotice) : QString());

    bar_->setVisible(!facts_.immersive);
    surface_->setStreamSize(facts_.streamSize);
    surface_->setImmersive(facts_.immersive);
    surface_->setVisible(showsVideoSurface(facts_));
    chooseLayout();
    updateBinding();
}

// The row when the label and the buttons fit side by side, else one below the other.
void SessionView::chooseLayout() {
    if (isCompactBar(facts_.state)) {
        layout_ = {true, true};
    } else {
        const int offered = std::min(kBarMaxWidth, width() - 2 * kBarPadding);
        const int labelWidth = kDotSize + kLabelSpacing + status_->fontMetrics().horizontalAdvance(status_->text());
        int actionsWidth = 0;
        for (int i = 0; i < actionsLayout_->count(); ++i) {
            if (QWidget* button = actionsLayout_->itemAt(i)->widget())
                actionsWidth += button->sizeHint().width() + (i > 0 ? static_cast<int>(kActionSpacing) : 0);
        }
        layout_ = overlayLayout(offered, labelWidth, actionsWidth);
    }
    topRow_->setDirection(layout_.barInRow ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom);
    actionsLayout_->setDirection(layout_.actionsInRow ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom);
}

void SessionView::focusSettings() { buttons_.at(OverlayButton::settings)->setFocus(Qt::OtherFocusReason); }

void SessionView::setWindowPickerShown(bool shown) {
    if (shown == pickerShown_) return;
    pickerShown_ = shown;
    if (presentWindowPicker) presentWindowPicker(shown);
}

QString SessionView::statusText() const { return status_->text(); }

QString SessionView::barToolTip() const { return bar_->toolTip(); }

std::vector<OverlayButton> SessionView::visibleButtons() const {
    std::vector<OverlayButton> shown;
    for (int i = 0; i < actionsLayout_->count(); ++i) {
        for (const auto& [which, button] : buttons_)
            if (actionsLayout_->itemAt(i)->widget() == button) shown.push_back(which);
    }
    return shown;
}

bool SessionView::buttonEnabled(OverlayButton which) const { return buttons_.at(which)->isEnabled(); }

bool SessionView::statusBarShown() const { return !bar_->isHidden(); }

void SessionView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    chooseLayout();
}

void SessionView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateBinding();
}

void SessionView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    updateBinding();
}

void SessionView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && !isActiveWindow() && onWindowInactive) onWindowInactive();
}

}  // namespace orvanta::client
