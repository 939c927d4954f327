#include "host/ui/PairedDevices.h"

#include <QAbstractButton>
#include <QEnterEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "client/ui/ThemeStyles.h"
#include "host/ui/FocusOutline.h"
#include "host/ui/StyledLabel.h"

namespace orvanta::host::ui {

using client::qtText;
using client::TextStyle;
using client::Theme::tint;

namespace {

constexpr int kChildIndent = 20;
constexpr int kToggleIconPoints = 11;

std::chrono::seconds currentUtcOffset(std::chrono::sys_seconds date) {
    tzset();
    const std::time_t seconds = date.time_since_epoch().count();
    std::tm local{};
    return std::chrono::seconds(localtime_r(&seconds, &local) ? local.tm_gmtoff : 0);
}

// "削除" or "まとめて削除": muted text at the trailing edge of a box at least 52 by 28, on a
// rounded surface2 ground while pressed or under the pointer.
class RemoveButton final : public QAbstractButton {
public:
    RemoveButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
        setText(text);
        setFocusPolicy(Qt::StrongFocus);
        setCursor(Qt::PointingHandCursor);
        setAttribute(Qt::WA_Hover);
    }
    QSize sizeHint() const override {
        return {std::max(52, fontMetrics().horizontalAdvance(text()) + 8), std::max(28, fontMetrics().height())};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isDown() || underMouse()) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(client::Theme::color(ThemeColour::surface2));
            painter.drawRoundedRect(QRectF(rect()), 4, 4);
        }
        painter.setPen(client::Theme::color(isEnabled() ? ThemeColour::muted : ThemeColour::line));
        painter.drawText(rect().adjusted(0, 0, -4, 0), Qt::AlignRight | Qt::AlignVCenter, text());
    }
    void enterEvent(QEnterEvent*) override { update(); }
    void leaveEvent(QEvent*) override { update(); }
};

// The show/hide button of a group's older records: a turning triangle and the count.
class OlderToggle final : public QAbstractButton {
public:
    OlderToggle(std::size_t count, bool expanded, QWidget* parent) : QAbstractButton(parent), expanded_(expanded) {
        setText("以前の記録 " + QString::number(count) + "件");
        QFont small = font();
        small.setPixelSize(11);
        setFont(small);
        setFocusPolicy(Qt::StrongFocus);
        setCursor(Qt::PointingHandCursor);
        setAccessibleDescription(expanded ? "展開中" : "折りたたみ");
    }
    QSize sizeHint() const override {
        return {kToggleIconPoints + 4 + fontMetrics().horizontalAdvance(text()) + 2,
                std::max(28, fontMetrics().height())};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor muted = client::Theme::color(ThemeColour::muted);
        const QPointF centre(kToggleIconPoints / 2.0, height() / 2.0);
        painter.translate(centre);
        if (expanded_) painter.rotate(90);
        const double half = kToggleIconPoints / 2.0;
        const QPointF triangle[] = {{-half * 0.6, -half}, {half * 0.9, 0}, {-half * 0.6, half}};
        painter.setPen(Qt::NoPen);
        painter.setBrush(muted);
        painter.drawPolygon(triangle, 3);
        painter.resetTransform();
        painter.setPen(muted);
        painter.drawText(rect().adjusted(kToggleIconPoints + 4, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, text());
    }

private:
    bool expanded_;
};

}  // namespace

PairedDevicesView::PairedDevicesView(const HostScreenSource& source, std::shared_ptr<client::Announcer> announcer,
                                     QWidget* parent)
    : QWidget(parent),
      source_(source),
      announcer_(std::move(announcer)),
      removal_(
          source.revoke, [state = source.state] { return (*state)().devices; }, [this] { return expanded_; }) {
    setObjectName("pairedDevices");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(styledLabel("ペアリング済みの端末", TextStyle::subheadline, ThemeColour::muted, this));
    result_ = styledLabel({}, TextStyle::body, ThemeColour::stateOK, this);
    result_->setObjectName("removalResult");
    layout->addWidget(result_);
    empty_ = styledLabel("ペアリング済みの端末がありません", TextStyle::body, ThemeColour::muted, this);
    empty_->setObjectName("noDevices");
    layout->addWidget(empty_);
    list_ = new QWidget(this);
    listLayout_ = new QVBoxLayout(list_);
    listLayout_->setContentsMargins(0, 0, 0, 0);
    listLayout_->setSpacing(8);
    layout->addWidget(list_);
    layout->addStretch();

    removal_.onChange = [this] { rebuild(); };
    removal_.onFinished = [this](const std::string& key, const std::string& text) {
        focusKey(key);
        if (announcer_) announcer_->announce(text);
    };
    subscription_ = source_.state->observe([this](const auto&) { rebuild(); });
    rebuild();
}

QAbstractButton* PairedDevicesView::control(const std::string& key) const {
    const auto found = controls_.find(key);
    return found == controls_.end() ? nullptr : found->second.data();
}

void PairedDevicesView::rebuild() {
    const HostPublishedState& state = (*source_.state)();
    if (const auto& result = removal_.result()) {
        result_->setText(qtText(result->text));
        tint(result_, result->success ? ThemeColour::stateOK : ThemeColour::danger);
    }
    result_->setVisible(removal_.result().has_value());
    empty_->setVisible(state.devices.empty());

    QWidget* focused = list_->focusWidget();
    std::string focusedKey;
    for (const auto& [key, button] : controls_) {
        if (button && button == focused) focusedKey = key;
    }
    controls_.clear();
    while (auto* item = listLayout_->takeAt(0)) {
        if (auto* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
    for (const DeviceGroup& group : orderedGroups(state.devices)) addGroup(group);
    // Focus stays with its control across a rebuild, or goes where a finished removal sent it.
    if (pendingFocus_ || !focusedKey.empty()) {
        // Once the layout has shown the new rows: a hidden control cannot take the focus.
        QTimer::singleShot(0, this,
                           [this, key = pendingFocus_.value_or(focusedKey), toCode = pendingFocus_.has_value()] {
                               if (auto* button = control(key))
                                   button->setFocus(Qt::OtherFocusReason);
                               else if (toCode && key.empty() && codeButton_)
                                   codeButton_->setFocus(Qt::OtherFocusReason);
                           });
    }
    pendingFocus_.reset();
}

void PairedDevicesView::addGroup(const DeviceGroup& group) {
    listLayout_->addWidget(new client::SeparatorLine(list_));
    listLayout_->addWidget(recordRow(group.latest, group, false));
    if (group.older.empty()) return;
    const bool expanded = std::find(expanded_.begin(), expanded_.end(), group.id) != expanded_.end();
    auto* line = new QWidget(list_);
    auto* row = new QHBoxLayout(line);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    auto* toggle = new OlderToggle(group.older.size(), expanded, line);
    toggle->setObjectName(qtText("toggle:" + group.id));
    FocusOutline::attach(toggle);
    connect(toggle, &QAbstractButton::clicked, this, [this, id = group.id] {
        const auto found = std::find(expanded_.begin(), expanded_.end(), id);
        if (found == expanded_.end())
            expanded_.push_back(id);
        else
            expanded_.erase(found);
        pendingFocus_ = "toggle:" + id;
        rebuild();
    });
    controls_["toggle:" + group.id] = toggle;
    row->addWidget(toggle, 1);
    row->addWidget(removalButton({.name = group.id, .records = group.older, .bulk = true, .scope = std::nullopt},
                                 "bulk:" + group.id, line));
    listLayout_->addWidget(line);
    if (!expanded) return;
    for (const DeviceRecord& record : group.older) {
        auto* child = recordRow(record, group, true);
        child->setContentsMargins(kChildIndent, 0, 0, 0);
        listLayout_->addWidget(child);
    }
}

QWidget* PairedDevicesView::recordRow(const DeviceRecord& record, const DeviceGroup& group, bool child) {
    const HostPublishedState& state = (*source_.state)();
    auto* row = new QWidget(list_);
    row->setObjectName(qtText("record:" + record.deviceId));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(12);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(4);
    if (!child) {
        auto* name = styledLabel(qtText(group.id), TextStyle::body, ThemeColour::text, row);
        name->setTextFormat(Qt::PlainText);
        texts->addWidget(name);
    }
    if (!group.older.empty()) {
        const auto detail = detailLine(record, currentUtcOffset(recordDate(record)));
        auto* label = styledLabel(qtText(detail.text()), TextStyle::subheadline, ThemeColour::muted, row);
        label->setObjectName("detail");
        texts->addWidget(label);
    }
    if (const auto link = state.links.find(record.deviceId); link != state.links.end()) {
        auto* badge =
            styledLabel(qtText(badgeText(link->second.role)), TextStyle::caption, badgeColour(link->second.role), row);
        badge->setObjectName("badge");
        texts->addWidget(badge);
    }
    line->addLayout(texts, 1);
    line->addSpacing(8);
    const auto date = localRecordDate(recordDate(record), true);
    const Removal removal{
        .name = group.id, .records = {record}, .bulk = false, .scope = singleScope(child, group.older.size(), date)};
    line->addWidget(removalButton(removal, record.deviceId, row), 0, Qt::AlignVCenter);
    return row;
}

QAbstractButton* PairedDevicesView::removalButton(const Removal& removal, const std::string& key, QWidget* parent) {
    auto* button = new RemoveButton(qtText(removal.buttonTitle()), parent);
    button->setObjectName(qtText((removal.bulk ? "" : "remove:") + key));
    button->setAccessibleName(qtText(removal.accessibilityLabel()));
    button->setEnabled(!removal_.busy());
    FocusOutline::attach(button);
    connect(button, &QAbstractButton::clicked, this, [this, removal] { confirm(removal); });
    controls_[key] = button;
    return button;
}

void PairedDevicesView::confirm(const Removal& removal) {
    if (confirmation_) return;
    auto* box = new QMessageBox(QMessageBox::Warning, "Orvanta", qtText(removal.title()), QMessageBox::NoButton, this);
    box->setInformativeText(qtText(removal.message((*source_.state)().links)));
    box->setObjectName("removalConfirmation");
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    auto* cancel = box->addButton("キャンセル", QMessageBox::RejectRole);
    cancel->setObjectName("cancelRemoval");
    auto* remove = box->addButton("削除", QMessageBox::DestructiveRole);
    remove->setObjectName("confirmRemoval");
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    connect(box, &QMessageBox::buttonClicked, this, [this, remove, removal](QAbstractButton* clicked) {
        if (clicked != remove) return;
        // After the sheet has gone, so the focus it hands back does not override the removal's.
        QTimer::singleShot(0, this, [this, removal] { removal_.remove(removal); });
    });
    confirmation_ = box;
    box->open();
}

void PairedDevicesView::focusKey(const std::string& key) {
    pendingFocus_ = key;
    rebuild();
}

}  // namespace orvanta::host::ui
