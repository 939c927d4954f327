#include "client/ui/ClientSettings.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QSlider>
#include <QVBoxLayout>

#include "client/ui/ClientScreenRules.h"
#include "client/ui/ThemeStyles.h"
#include "clipboard/ClipboardSync.h"

namespace orvanta::client {
namespace {

constexpr int kTitleWidth = 148;
constexpr int kValueTextWidth = 48;
constexpr int kRowPadding = 3;
constexpr char kFallbackComputerName[] = "Mac";

QLabel* caption(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(Theme::font(TextStyle::footnote));
    label->setWordWrap(true);
    Theme::tint(label, ThemeColour::muted);
    return label;
}

QLabel* title(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFixedWidth(kTitleWidth);
    label->setWordWrap(true);
    return label;
}

}  // namespace

SettingsRow::SettingsRow(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(new SeparatorLine(this));
    auto* content = new QVBoxLayout;
    content->setContentsMargins(0, kRowPadding, 0, kRowPadding);
    content->setSpacing(2);
    layout->addLayout(content);
}

void SettingsRow::add(QWidget* part) {
    auto* content = static_cast<QVBoxLayout*>(layout()->itemAt(1)->layout());
    part->setParent(this);
    content->addWidget(part);
}

Switch::Switch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
}

QSize Switch::sizeHint() const { return {38, 22}; }

void Switch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
    const double radius = track.height() / 2;
    QColor ground = isChecked() ? Theme::color(ThemeColour::accent) : Theme::color(ThemeColour::surface2);
    if (!isEnabled()) ground.setAlphaF(0.4);
    painter.setPen(hasFocus() ? QPen(Theme::color(ThemeColour::text), 1) : QPen(Theme::color(ThemeColour::line), 1));
    painter.setBrush(ground);
    painter.drawRoundedRect(track, radius, radius);
    const double knob = track.height() - 4;
    const double x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(Qt::white));
    painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
}

SettingsToggle::SettingsToggle(const QString& text, QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(title(text, this));
    layout->addStretch();
    switch_ = new Switch(this);
    switch_->setAccessibleName(text);
    layout->addWidget(switch_);
    connect(switch_, &QAbstractButton::clicked, this, [this](bool on) {
        if (onToggle) onToggle(on);
    });
}

void SettingsToggle::setOn(bool on) {
    const QSignalBlocker quiet(switch_);
    switch_->setChecked(on);
}

SettingsField::SettingsField(const QString& text, QWidget* control, QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(title(text, this), 0, Qt::AlignVCenter);
    control->setParent(this);
    layout->addWidget(control, 1, Qt::AlignVCenter);
}

ScaleSlider::ScaleSlider(const QString& name, int steps, QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    slider_ = new QSlider(Qt::Horizontal, this);
    slider_->setRange(0, steps);
    slider_->setSingleStep(1);
    slider_->setPageStep(1);
    slider_->setAccessibleName(name);
    value_ = new QLabel(this);
    value_->setFixedWidth(kValueTextWidth);
    value_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    layout->addWidget(slider_, 1);
    layout->addWidget(value_);
    connect(slider_, &QSlider::valueChanged, this, [this](int step) {
        if (!showing_ && onMoved) onMoved(step);
    });
}

void ScaleSlider::show(int step, const QString& text) {
    showing_ = true;
    slider_->setValue(step);
    showing_ = false;
    value_->setText(text);
    slider_->setAccessibleDescription(text);
}

ClientDeviceNameField::ClientDeviceNameField(std::shared_ptr<base::Settings> defaults,
                                             std::optional<std::string> computerName, QWidget* parent)
    : QWidget(parent), defaults_(std::move(defaults)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    field_ = new QLineEdit;
    field_->setAccessibleName(qtText(kLabel));
    field_->setPlaceholderText(QString::fromStdString(computerName.value_or(kFallbackComputerName)));
    field_->setText(QString::fromStdString(defaults_->string(ClientModel::kDeviceNameKey).value_or("")));
    layout->addWidget(new SettingsField(qtText(kLabel), field_, this));
    connect(field_, &QLineEdit::textEdited, this,
            [this](const QString& text) { defaults_->set(ClientModel::kDeviceNameKey, text.toStdString()); });
}

// ---------------------------------------------------------------------------------------------

ClientSettingsSection::ClientSettingsSection(std::shared_ptr<ClientModel> model, clipboard::ClipboardSync& hub,
                                             std::shared_ptr<base::Settings> defaults, QWidget* parent)
    : QWidget(parent), model_(std::move(model)), hub_(hub), defaults_(std::move(defaults)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    aspectGroup_ = new QWidget(this);
    auto* group = new QVBoxLayout(aspectGroup_);
    group->setContentsMargins(0, 0, 0, 0);
    group->setSpacing(0);
    auto* fitRow = new SettingsRow(aspectGroup_);
    aspectFit_ = new SettingsToggle("比率合わせ");
    aspectFit_->onToggle = [this](bool on) {
        model_->setAspectFit(on);
        refresh();
    };
    fitRow->add(aspectFit_);
    group->addWidget(fitRow);
    auto* scaleRow = new SettingsRow(aspectGroup_);
    const auto& choices = ConnectionManager::kDisplayAspectScaleChoices;
    displayScale_ = new ScaleSlider("表示倍率", int(choices.size()) - 1);
    displayScale_->onMoved = [this, &choices](int step) {
        model_->setAspectScale(choices[std::size_t(step)]);
        refresh();
    };
    scaleRow->add(new SettingsField("表示倍率", displayScale_));
    target_ = caption({}, this);
    scaleRow->add(target_);
    group->addWidget(scaleRow);
    layout->addWidget(aspectGroup_);

    auto* cursorRow = new SettingsRow(this);
    cursorScale_ = new ScaleSlider("カーソルの大きさ", kCursorScaleSteps);
    cursorScale_->onMoved = [this](int step) {
        defaults_->set(kCursorScaleKey, kCursorScaleMin + step * kCursorScaleStep);
    };
    cursorRow->add(new SettingsField("カーソルの大きさ", cursorScale_));
    layout->addWidget(cursorRow);
    refreshers_.push_back([this] {
        const double shown = shownCursorScale(defaults_->real(kCursorScaleKey).value_or(1.0));
        cursorScale_->show(int(std::lround((shown - kCursorScaleMin) / kCursorScaleStep)), qtText(timesText(shown)));
    });

    auto* fullScreenRow = new SettingsRow(this);
    fullScreenRow->add(storedToggle("接続したら全画面で表示", ClientModel::kConnectFullScreenKey, false));
    layout->addWidget(fullScreenRow);
    auto* audioRow = new SettingsRow(this);
    audioRow->add(storedToggle("音声", ClientModel::kAudioEnabledKey, true));
    audioRow->add(caption("接続先の音声をこの端末で再生します。", this));
    layout->addWidget(audioRow);
    auto* sendRow = new SettingsRow(this);
    sendRow->add(storedToggle("コピーした内容を送る", ClientModel::kSendClipboardKey, true));
    layout->addWidget(sendRow);

    auto* shareRow = new SettingsRow(this);
    auto* share = new SettingsToggle("クリップボードを常に共有");
    share->onToggle = [this](bool on) {
        hub_.setEnabled(on);
        refresh();
    };
    toggles_.emplace_back("クリップボードを常に共有", share);
    refreshers_.push_back([this, share] { share->setOn(hub_.enabled()); });
    shareRow->add(share);
    layout->addWidget(shareRow);

    for (const auto key : {kCursorScaleKey, ClientModel::kConnectFullScreenKey, ClientModel::kAudioEnabledKey,
                           ClientModel::kSendClipboardKey}) {
        settingsObservers_.push_back(defaults_->observe(key, [this](const auto&) {
            QMetaObject::invokeMethod(
                this, [this] { refresh(); }, Qt::QueuedConnection);
        }));
    }
    const auto again = [this](const auto&) { refresh(); };
    const auto& session = model_->session();
    subscriptions_.push_back(session.state.observe(again));
    subscriptions_.push_back(session.hostEntryId.observe(again));
    subscriptions_.push_back(session.viewOnly.observe(again));
    subscriptions_.push_back(model_->hostList().entries.observe(again));
    subscriptions_.push_back(model_->hostList().selectedId.observe(again));
    refresh();
}

ClientSettingsSection::~ClientSettingsSection() {
    for (const auto id : settingsObservers_) defaults_->removeObserver(id);
}

SettingsToggle* ClientSettingsSection::storedToggle(const QString& text, std::string_view key, bool fallback) {
    auto* toggle = new SettingsToggle(text);
    toggle->onToggle = [this, key](bool on) { defaults_->set(key, on); };
    refreshers_.push_back([this, toggle, key, fallback] { toggle->setOn(defaults_->boolean(key).value_or(fallback)); });
    toggles_.emplace_back(text.toStdString(), toggle);
    return toggle;
}

SettingsToggle* ClientSettingsSection::toggle(std::string_view text) const {
    for (const auto& [title, toggle] : toggles_) {
        if (title == text) return toggle;
    }
    return nullptr;
}

std::optional<HostListStore::Entry> ClientSettingsSection::targetEntry() const {
    return ClientModel::isLive(model_->connection().state()) ? model_->activeEntry() : model_->hosts().selected();
}

void ClientSettingsSection::refresh() {
    const auto entry = targetEntry();
    aspectGroup_->setEnabled(model_->canEditDisplaySettings());
    aspectFit_->setOn(entry && entry->displayAspectFit.value_or(false) && !model_->isSelfConnection());
    const double scale = model_->aspectScale();
    displayScale_->show(int(nearestScaleIndex(scale)), qtText(timesText(scale)));
    target_->setText(entry ? "接続先：" + QString::fromStdString(entry->displayName)
                           : QString("クライアントで接続先を選んでください。"));
    for (const auto& refresher : refreshers_) refresher();
}

}  // namespace orvanta::client
