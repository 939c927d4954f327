#include "client/ui/ConnectView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QVBoxLayout>

#include "base/Url.h"
#include "client/ui/AccessibleAnnouncer.h"
#include "client/ui/ClientScreenRules.h"
#include "client/ui/SessionOverlay.h"
#include "client/ui/ThemeStyles.h"

namespace orvanta::client {
namespace {

using Field = ConnectScreenState::Field;
using Target = Field::Target;

constexpr int kDetailIndent = 12;
constexpr int kRowPadding = 8;
constexpr int kCheckWidth = 20;
constexpr int kStatusDot = 8;

QLabel* label(const QString& text, TextStyle style, std::optional<ThemeColour> colour, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setFont(Theme::font(style));
    l->setWordWrap(true);
    if (colour) Theme::tint(l, *colour);
    return l;
}

// Paints the selected row's check mark in the padding to the row's left.
class ColumnsHost final : public QWidget {
public:
    using QWidget::QWidget;
    QPointer<QWidget> checkedRow;

protected:
    void paintEvent(QPaintEvent*) override {
        if (!checkedRow || !checkedRow->isVisible()) return;
        const QPoint at = checkedRow->mapTo(this, QPoint(-kCheckWidth, kRowPadding));
        const QFontMetrics metrics(Theme::font(TextStyle::caption));
        const double size = metrics.height() * 0.6;
        const QPointF origin(at.x() + (kCheckWidth - size) / 2, at.y() + (metrics.height() - size) / 2);
        QPainterPath check;
        check.moveTo(origin + QPointF(0, size * 0.55));
        check.lineTo(origin + QPointF(size * 0.38, size * 0.9));
        check.lineTo(origin + QPointF(size, size * 0.1));
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Theme::color(ThemeColour::accent), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(check);
    }
};

}  // namespace

// One saved host: name, distinction, session state and failure lines. The whole row takes clicks;
// a click or the space key selects, a double click connects.
class HostRow final : public QAbstractButton {
public:
    explicit HostRow(QWidget* parent) : QAbstractButton(parent) {
        setCheckable(true);
        setFocusPolicy(Qt::StrongFocus);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, kRowPadding, 0, kRowPadding);
        layout->setSpacing(4);
        name_ = label({}, TextStyle::body, std::nullopt, this);
        distinction_ = label({}, TextStyle::caption, ThemeColour::muted, this);
        status_ = label({}, TextStyle::caption, std::nullopt, this);
        failure_ = label({}, TextStyle::caption, ThemeColour::danger, this);
        for (QLabel* part : {name_, distinction_, status_, failure_}) {
            part->setAttribute(Qt::WA_TransparentForMouseEvents);
            layout->addWidget(part);
        }
    }

    struct Content {
        QString name;
        std::optional<QString> distinction;
        std::optional<std::pair<QString, ThemeColour>> status;
        std::optional<QString> failure;
        bool selected = false;
    };

    void render(const Content& content) {
        name_->setText(content.name);
        distinction_->setText(content.distinction.value_or(QString()));
        distinction_->setVisible(content.distinction.has_value());
        status_->setVisible(content.status.has_value());
        if (content.status) {
            status_->setText(content.status->first);
            Theme::tint(status_, content.status->second);
        }
        failure_->setText(content.failure.value_or(QString()));
        failure_->setVisible(content.failure.has_value());
        setChecked(content.selected);
        QStringList spoken{content.name};
        for (const QLabel* part : {distinction_, status_, failure_}) {
            if (part->isVisibleTo(this)) spoken << part->text();
        }
        setAccessibleName(spoken.join(", "));
    }

    std::function<void()> onDoubleClick;

protected:
    void paintEvent(QPaintEvent*) override {
        if (!hasFocus()) return;
        QPainter painter(this);
        painter.setPen(QPen(Theme::color(ThemeColour::accent), 1));
        painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        event->accept();
        if (onDoubleClick) onDoubleClick();
    }
    // A click toggles nothing: the selection is the directory's.
    void nextCheckState() override {}

private:
    QLabel* name_;
    QLabel* distinction_;
    QLabel* status_;
    QLabel* failure_;
};

// The selected host's name (in two columns), failure and main button.
class DetailPanel final : public QWidget {
public:
    explicit DetailPanel(QWidget* parent) : QWidget(parent) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(12);
        auto* heading = new QWidget(this);
        auto* headingLayout = new QVBoxLayout(heading);
        headingLayout->setContentsMargins(0, 0, 0, 0);
        headingLayout->setSpacing(2);
        name_ = label({}, TextStyle::body, ThemeColour::text, heading);
        distinction_ = label({}, TextStyle::caption, ThemeColour::muted, heading);
        headingLayout->addWidget(name_);
        headingLayout->addWidget(distinction_);
        heading_ = heading;
        failure_ = label({}, TextStyle::body, ThemeColour::danger, this);
        button = new OutlinedButton({}, this);
        button->setObjectName("detailButton");
        layout->addWidget(heading_);
        layout->addWidget(failure_);
        layout->addWidget(button, 0, Qt::AlignLeft);
    }

    void render(const ConnectScreenState& state, const HostListStore::Entry& entry, bool wide) {
        const auto& model = state.model();
        heading_->setVisible(wide);
        name_->setText(qtText(hostName(entry)));
        const auto second = distinction(entry, model.hosts().entries());
        distinction_->setText(second ? qtText(*second) : QString());
        distinction_->setVisible(second.has_value());
        const bool failed = state.isFailed(entry);
        failure_->setVisible(failed);
        failure_->setText(model.needsPairing()() ? "ペアリングし直してください" : "接続できません");
        switch (state.detailAction(entry)) {
            case ConnectScreenState::DetailAction::repair:
                button->setText("再ペアリング");
                break;
            case ConnectScreenState::DetailAction::backToSession:
                button->setText("映像に戻る");
                break;
            case ConnectScreenState::DetailAction::connect:
                button->setText("接続");
                break;
        }
        button->setEnabled(model.session().state() != SessionState::connecting && !model.pairing()());
    }

    OutlinedButton* button;

private:
    QWidget* heading_;
    QLabel* name_;
    QLabel* distinction_;
    QLabel* failure_;
};

// The add-and-pair form: address, kind, code, the model's error and the two buttons.
class AddPairForm final : public QWidget {
public:
    AddPairForm(ConnectScreenState& state, QWidget* parent) : QWidget(parent), state_(state) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(12);
        const auto section = [&](const QString& title, QWidget* control) {
            auto* box = new QVBoxLayout;
            box->setSpacing(4);
            box->addWidget(label(title, TextStyle::body, std::nullopt, this));
            box->addWidget(control);
            layout->addLayout(box);
        };
        address = new QLineEdit(this);
        address->setObjectName("addressField");
        address->setPlaceholderText("入力");
        address->setAccessibleName("接続先");
        section("接続先", address);
        kind = new QComboBox(this);
        kind->setObjectName("kindPicker");
        kind->setAccessibleName("ホストの種類");
        for (const auto each : HostListStore::kAllKinds) kind->addItem(qtText(HostListStore::label(each)));
        section("ホストの種類", kind);
        code = new QLineEdit(this);
        code->setObjectName("codeField");
        code->setPlaceholderText("入力");
        code->setAccessibleName("ペアリングコード");
        code->setFont(Theme::font(TextStyle::code));
        section("ペアリングコード", code);
        error_ = label({}, TextStyle::body, ThemeColour::danger, this);
        error_->setObjectName("pairingError");
        layout->addWidget(error_);
        auto* buttons = new QHBoxLayout;
        pair_ = new QPushButton(this);
        pair_->setObjectName("pairButton");
        cancel_ = new QPushButton("キャンセル", this);
        cancel_->setObjectName("cancelButton");
        buttons->addWidget(pair_);
        buttons->addWidget(cancel_);
        buttons->addStretch();
        layout->addLayout(buttons);

        connect(address, &QLineEdit::textEdited, this,
                [this](const QString& text) { state_.setAddressText(text.toStdString()); });
        connect(address, &QLineEdit::returnPressed, this, [this] { code->setFocus(Qt::OtherFocusReason); });
        connect(code, &QLineEdit::textEdited, this,
                [this](const QString& text) { state_.setCode(text.toStdString()); });
        connect(code, &QLineEdit::returnPressed, this, [this] { state_.pair(); });
        connect(kind, &QComboBox::activated, this,
                [this](int index) { state_.setKind(HostListStore::kAllKinds[std::size_t(index)]); });
        connect(pair_, &QPushButton::clicked, this, [this] { state_.pair(); });
        connect(cancel_, &QPushButton::clicked, this, [this] { state_.cancelAdding(); });
        auto* escape =
            new QShortcut(QKeySequence(Qt::Key_Escape), this, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
        connect(escape, &QShortcut::activated, this, [this] {
            if (cancel_->isEnabled()) cancel_->click();
        });
    }

    void render() {
        const auto& model = state_.model();
        const QString addressText = QString::fromStdString(state_.address());
        if (address->text() != addressText) address->setText(addressText);
        const QString codeText = QString::fromStdString(state_.code());
        if (code->text() != codeText) code->setText(codeText);
        const auto kindIndex =
            std::ranges::find(HostListStore::kAllKinds, state_.kind()) - HostListStore::kAllKinds.begin();
        kind->setCurrentIndex(int(kindIndex));
        const auto& error = model.errorMessage()();
        error_->setVisible(error.has_value());
        error_->setText(error ? QString::fromStdString(*error) : QString());
        const bool pairing = model.pairing()();
        pair_->setText(pairing ? "ペアリング中…" : "ペアリング");
        pair_->setEnabled(state_.canPair());
        cancel_->setEnabled(!pairing);
    }

    QLineEdit* address;
    QComboBox* kind;
    QLineEdit* code;

private:
    ConnectScreenState& state_;
    QLabel* error_;
    QPushButton* pair_;
    QPushButton* cancel_;
};

// ---------------------------------------------------------------------------------------------

ConnectView::ConnectView(const ClientScreens& screens, QWidget* parent) : QWidget(parent), screens_(screens) {
    setObjectName("connectView");
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    buildStatusBar(root);

    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    content_ = new QWidget;
    auto* centring = new QHBoxLayout(content_);
    centring->setContentsMargins(0, 0, 0, 0);
    auto* host = new ColumnsHost(content_);
    host->setMaximumWidth(int(DesktopLayout::kMaxWidth + 2 * DesktopLayout::kPadding));
    centring->addStretch();
    centring->addWidget(host, 1);
    centring->addStretch();
    auto* hostLayout = new QVBoxLayout(host);
    const int padding = int(DesktopLayout::kPadding);
    hostLayout->setContentsMargins(padding, padding, padding, padding);
    columns_ = new QBoxLayout(QBoxLayout::TopToBottom);
    hostLayout->addLayout(columns_);
    hostLayout->addStretch();
    scroll->setWidget(content_);
    root->addWidget(scroll);

    leftColumn_ = new QWidget(host);
    auto* left = new QVBoxLayout(leftColumn_);
    left->setContentsMargins(0, 0, 0, 0);
    left->setSpacing(12);
    auto* hosts = new QVBoxLayout;
    hosts->setSpacing(8);
    hosts->addWidget(label("接続先", TextStyle::subheadline, ThemeColour::muted, leftColumn_));
    removalResult_ = label({}, TextStyle::body, std::nullopt, leftColumn_);
    removalResult_->setObjectName("removalResult");
    hosts->addWidget(removalResult_);
    emptyHosts_ = label("接続先がありません", TextStyle::body, ThemeColour::muted, leftColumn_);
    hosts->addWidget(emptyHosts_);
    rowsLayout_ = new QVBoxLayout;
    rowsLayout_->setSpacing(8);
    hosts->addLayout(rowsLayout_);
    left->addLayout(hosts);
    auto* nearby = new QVBoxLayout;
    nearby->setSpacing(8);
    nearby->addWidget(label("近くで見つかった端末", TextStyle::subheadline, ThemeColour::muted, leftColumn_));
    deniedWarning_ = label("ローカルネットワークが未許可", TextStyle::body, ThemeColour::stateWarn, leftColumn_);
    nearby->addWidget(deniedWarning_);
    nearbyLayout_ = new QVBoxLayout;
    nearbyLayout_->setSpacing(8);
    nearby->addLayout(nearbyLayout_);
    left->addLayout(nearby);
    addButton_ = new FlatButton("追加", ThemeColour::text, 0, leftColumn_);
    addButton_->setObjectName("addButton");
    addButton_->setTrailingSpace(16);
    left->addWidget(addButton_, 0, Qt::AlignLeft);

    rightColumn_ = new QWidget(host);
    rightLayout_ = new QVBoxLayout(rightColumn_);
    rightLayout_->setContentsMargins(0, 0, 0, 0);
    rightLayout_->setSpacing(12);
    columns_->addWidget(leftColumn_, 0, Qt::AlignTop);
    columns_->addWidget(rightColumn_, 1, Qt::AlignTop);

    state_ = ConnectScreenState::create(screens_.main, screens_.model, screens_.defaults, screens_.browsers,
                                        std::make_shared<AccessibleAnnouncer>(removalResult_));
    form_ = new AddPairForm(*state_, rightColumn_);
    rightLayout_->addWidget(form_);
    detail_ = new DetailPanel(host);
    connect(detail_->button, &QPushButton::clicked, this, [this] {
        if (const auto selected = state_->model().hosts().selected()) state_->activateDetail(*selected);
    });
    connect(addButton_, &QPushButton::clicked, this,
            [this] { state_->beginAdding(std::nullopt, HostListStore::Kind::mac); });

    state_->onChange = [this] { refresh(); };
    state_->onFocus = [this](const Field& field) { moveFocus(field); };
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (isVisible()) state_->focusChanged(fieldOf(now));
    });

    const auto& model = *screens_.model;
    const auto again = [this](const auto&) { refresh(); };
    subscriptions_.push_back(model.session().state.observe(again));
    subscriptions_.push_back(model.session().hostEntryId.observe(again));
    subscriptions_.push_back(model.hostList().entries.observe(again));
    subscriptions_.push_back(model.hostList().selectedId.observe(again));
    subscriptions_.push_back(model.failedEntryID().observe(again));
    subscriptions_.push_back(model.needsPairing().observe(again));
    subscriptions_.push_back(model.errorMessage().observe(again));
    subscriptions_.push_back(model.pairing().observe(again));
    setActive(false);
    refresh();
}

ConnectView::~ConnectView() {
    state_->onChange = nullptr;
    state_->onFocus = nullptr;
}

void ConnectView::buildStatusBar(QVBoxLayout* layout) {
    auto* bar = new QWidget(this);
    bar->setObjectName("statusBar");
    bar->setAutoFillBackground(true);
    bar->setBackgroundRole(QPalette::Base);
    auto* outer = new QHBoxLayout(bar);
    outer->setContentsMargins(int(DesktopLayout::kPadding), 12, int(DesktopLayout::kPadding), 12);
    auto* row = new QWidget(bar);
    row->setMaximumWidth(int(DesktopLayout::kMaxWidth));
    auto* inner = new QHBoxLayout(row);
    inner->setContentsMargins(0, 0, 0, 0);
    inner->setSpacing(8);
    statusDot_ = new StateDot(kStatusDot, row);
    statusTitle_ = label({}, TextStyle::statusTitle, ThemeColour::text, row);
    statusTitle_->setObjectName("statusTitle");
    statusTitle_->setWordWrap(false);
    backToSession_ = new FlatButton("映像に戻る", ThemeColour::text, 8, row);
    backToSession_->setObjectName("backToSession");
    connect(backToSession_, &QPushButton::clicked, this, [this] { screens_.model->setShowingConnectScreen(false); });
    inner->addWidget(statusDot_);
    inner->addWidget(statusTitle_);
    inner->addWidget(backToSession_);
    inner->addStretch();
    outer->addWidget(row, 1);
    layout->addWidget(bar);
}

void ConnectView::setActive(bool active) {
    setVisible(active);
    setEnabled(active);
    state_->setVisible(active);
}

void ConnectView::setDiscoveryDenied(bool denied) {
    discoveryDenied_ = denied;
    refresh();
}

void ConnectView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    state_->widthChanged(width());
}

void ConnectView::keyPressEvent(QKeyEvent* event) {
    const bool returnKey = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (returnKey && !qobject_cast<QLineEdit*>(QApplication::focusWidget()) && detail_->isVisible() &&
        detail_->button->isEnabled()) {
        detail_->button->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

// ---------------------------------------------------------------------------------------------

void ConnectView::refresh() {
    refreshStatusBar();
    refreshHosts();
    refreshNearby();
    const bool wide = state_->wide();
    columns_->setDirection(wide ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom);
    columns_->setSpacing(wide ? int(DesktopLayout::kColumnSpacing) : 32);
    if (wide) {
        leftColumn_->setFixedWidth(int(DesktopLayout::kLeftWidth));
    } else {
        leftColumn_->setMinimumWidth(0);
        leftColumn_->setMaximumWidth(QWIDGETSIZE_MAX);
    }
    rightColumn_->setVisible(wide || state_->adding());
    form_->setVisible(state_->adding());
    form_->render();
    placeDetail();
    addButton_->setEnabled(!screens_.model->pairing()());
    askForRemoval();
    content_->update();
}

void ConnectView::refreshStatusBar() {
    const SessionState state = screens_.model->session().state();
    statusDot_->setColour(stateColour(state));
    statusTitle_->setText(qtText(indicatorTitle(state)));
    backToSession_->setVisible(ClientModel::isLive(state));
}

void ConnectView::refreshHosts() {
    const auto& model = *screens_.model;
    const auto& entries = model.hosts().entries();
    std::vector<std::string> ids;
    for (const auto& entry : entries) ids.push_back(entry.id);
    if (ids != rowIds_) rebuildRows();

    if (const auto& result = state_->removalResult()) {
        removalResult_->setText(QString::fromStdString(result->text));
        Theme::tint(removalResult_, result->success ? ThemeColour::stateOK : ThemeColour::danger);
    }
    removalResult_->setVisible(state_->removalResult().has_value());
    emptyHosts_->setVisible(entries.empty());

    const SessionState sessionState = model.session().state();
    const bool pairing = model.pairing()();
    auto* host = static_cast<ColumnsHost*>(leftColumn_->parentWidget());
    host->checkedRow = nullptr;
    for (const auto& entry : entries) {
        const Row& row = rows_.at(entry.id);
        const bool selected = model.hosts().selectedId() == entry.id;
        HostRow::Content content;
        content.name = qtText(hostName(entry));
        content.selected = selected;
        if (const auto second = distinction(entry, entries)) content.distinction = qtText(*second);
        if (state_->isCurrent(entry))
            content.status = {{qtText(indicatorTitle(sessionState)), stateColour(sessionState)}};
        if (state_->isFailed(entry) && !selected) {
            content.failure = model.needsPairing()() ? "ペアリングし直してください" : "接続できません";
        }
        row.row->render(content);
        row.row->setEnabled(!pairing);
        row.remove->setEnabled(!pairing);
        row.remove->setAccessibleName(content.name + "を削除");
        if (selected) host->checkedRow = row.row;
    }
}

void ConnectView::rebuildRows() {
    // The detail panel may sit in a row about to go.
    detail_->setParent(leftColumn_->parentWidget());
    detail_->hide();
    for (auto& [id, row] : rows_) {
        delete row.separator;
        delete row.line;
        delete row.detailSlot;
    }
    rows_.clear();
    rowIds_.clear();
    for (const auto& entry : screens_.model->hosts().entries()) {
        Row row{};
        row.separator = new SeparatorLine(leftColumn_);
        row.line = new QWidget(leftColumn_);
        auto* lineLayout = new QHBoxLayout(row.line);
        lineLayout->setContentsMargins(0, 0, 0, 0);
        lineLayout->setSpacing(8);
        row.row = new HostRow(row.line);
        row.row->setObjectName(qtText("hostRow:" + entry.id));
        row.remove = new FlatButton("削除", ThemeColour::muted, 0, row.line);
        row.remove->setObjectName(qtText("deleteButton:" + entry.id));
        lineLayout->addWidget(row.row, 1);
        lineLayout->addWidget(row.remove);
        row.detailSlot = new QVBoxLayout;
        row.detailSlot->setContentsMargins(kDetailIndent, 0, 0, 0);
        rowsLayout_->addWidget(row.separator);
        rowsLayout_->addWidget(row.line);
        rowsLayout_->addLayout(row.detailSlot);
        const std::string id = entry.id;
        connect(row.row, &QAbstractButton::clicked, this, [this, id] { state_->selectHost(id); });
        row.row->onDoubleClick = [this, id] { state_->connectHost(id); };
        connect(row.remove, &QPushButton::clicked, this, [this, id] {
            const auto& entries = screens_.model->hosts().entries();
            const auto found = std::ranges::find(entries, id, &HostListStore::Entry::id);
            if (found != entries.end()) state_->askToRemove(*found);
        });
        rows_.emplace(id, row);
        rowIds_.push_back(id);
    }
}

void ConnectView::placeDetail() {
    const auto selected = screens_.model->hosts().selected();
    const bool wide = state_->wide();
    QLayout* target = nullptr;
    if (selected && !state_->adding()) target = wide ? rightLayout_ : rows_.at(selected->id).detailSlot;
    if (!target) {
        detail_->hide();
        return;
    }
    detail_->render(*state_, *selected, wide);
    if (target->indexOf(detail_) < 0) {
        QWidget* owner = target == rightLayout_ ? rightColumn_ : leftColumn_;
        detail_->setParent(owner);
        target->addWidget(detail_);
    }
    detail_->show();
}

void ConnectView::refreshNearby() {
    deniedWarning_->setVisible(discoveryDenied_);
    const bool pairing = screens_.model->pairing()();
    // Rebuilt only when the list changed: a click on one of the buttons lands here too.
    if (state_->nearbyHosts() != shownNearby_) {
        shownNearby_ = state_->nearbyHosts();
        for (QWidget* item : nearbyItems_) item->deleteLater();
        nearbyItems_.clear();
        nearbyButtons_.clear();
        for (const auto& host : shownNearby_) {
            auto* separator = new SeparatorLine(leftColumn_);
            auto* button = new FlatButton(qtText(nearbyTitle(host.name)), ThemeColour::text, 0, leftColumn_);
            button->setObjectName("nearbyHost");
            connect(button, &QPushButton::clicked, this,
                    [this, address = host.address] { state_->beginAdding(address, HostListStore::Kind::mac); });
            nearbyLayout_->addWidget(separator);
            nearbyLayout_->addWidget(button, 0, Qt::AlignLeft);
            nearbyItems_.push_back(separator);
            nearbyItems_.push_back(button);
            nearbyButtons_.push_back(button);
        }
    }
    for (QWidget* button : nearbyButtons_) button->setEnabled(!pairing);
}

void ConnectView::askForRemoval() {
    const auto& pending = state_->pendingDelete();
    if (!pending || removalAlert_) return;
    const auto& entries = screens_.model->hosts().entries();
    const QString name = qtText(hostName(*pending));
    QString message = "この端末に保存した接続先を削除します。";
    if (const auto second = distinction(*pending, entries)) message = qtText(*second) + "\n" + message;
    auto* alert = new QMessageBox(QMessageBox::Warning, name + "を接続先から削除しますか？",
                                  name + "を接続先から削除しますか？", QMessageBox::NoButton, this);
    alert->setObjectName("removalAlert");
    alert->setInformativeText(message);
    auto* cancel = alert->addButton("キャンセル", QMessageBox::RejectRole);
    auto* remove = alert->addButton("削除", QMessageBox::DestructiveRole);
    alert->setDefaultButton(cancel);
    alert->setEscapeButton(cancel);
    alert->setWindowModality(Qt::WindowModal);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    connect(alert, &QMessageBox::finished, this,
            [this, alert, remove] { state_->removalAnswered(alert->clickedButton() == remove); });
    removalAlert_ = alert;
    alert->open();
}

// ---------------------------------------------------------------------------------------------
// Focus

void ConnectView::moveFocus(const Field& field) {
    QWidget* target = nullptr;
    switch (field.target) {
        case Target::deleteButton:
            if (const auto found = rows_.find(field.hostId); found != rows_.end()) target = found->second.remove;
            break;
        case Target::address:
            target = form_->address;
            break;
        case Target::code:
            target = form_->code;
            break;
        case Target::add:
            target = addButton_;
            break;
        case Target::connect:
            target = detail_->button;
            break;
    }
    if (target && target->isVisible()) target->setFocus(Qt::OtherFocusReason);
}

std::optional<Field> ConnectView::fieldOf(const QWidget* widget) const {
    if (!widget) return std::nullopt;
    if (widget == form_->address) return ConnectScreenState::field(Target::address);
    if (widget == form_->code) return ConnectScreenState::field(Target::code);
    if (widget == addButton_) return ConnectScreenState::field(Target::add);
    if (widget == detail_->button) return ConnectScreenState::field(Target::connect);
    for (const auto& [id, row] : rows_) {
        if (widget == row.remove) return ConnectScreenState::deleteButton(id);
    }
    return std::nullopt;
}

}  // namespace orvanta::client
