#include "host/ui/HostWindow.h"

#include <QAbstractButton>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "client/ui/AccessibleAnnouncer.h"
#include "client/ui/ThemeStyles.h"
#include "host/ui/FocusOutline.h"
#include "host/ui/HostScreenRules.h"
#include "host/ui/PairedDevices.h"
#include "host/ui/StyledLabel.h"

namespace orvanta::host::ui {

using client::qtText;
using client::TextStyle;
using client::Theme::tint;

namespace {

constexpr int kMargin = 20;
constexpr int kStatusVertical = 12;
constexpr int kCodeFontPixels = 40;
constexpr double kCodeShrink = 0.6;

QScrollArea* verticalScroll(QWidget* parent) {
    auto* scroll = new QScrollArea(parent);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    return scroll;
}

}  // namespace

// The ten cells of the pairing code: one element for accessibility, a click copies the code as
// published, and a context menu offers the same.
class CodeRowView final : public QWidget {
public:
    CodeRowView(const HostScreenSource& source, QWidget* parent) : QWidget(parent), source_(source) {
        setObjectName("codeRow");
        setAccessibleName("ペアリングコード");
        setCursor(Qt::PointingHandCursor);
        refresh();
    }

    void refresh() {
        row_ = codeRow(source_.state->operator()().codeText);
        setFixedSize(int(std::ceil(row_.width)), int(row_.height));
        setAccessibleDescription(qtText(row_.accessibilityValue));
        update();
    }
    const CodeRow& row() const { return row_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        for (const CodeCell& cell : row_.cells) {
            if (cell.lead == CellLead::separator && row_.showsSeparators)
                drawText(painter, QRectF(cell.leadX, 0, kSeparatorWidth, row_.height), "-");
            const QRectF box(cell.x, 0, kCellWidth, row_.height);
            drawText(painter, box, qtText(cell.character));
            painter.fillRect(QRectF(box.left(), box.bottom() - 1, box.width(), 1),
                             client::Theme::color(ThemeColour::muted));
        }
    }
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) copy();
    }
    void contextMenuEvent(QContextMenuEvent* event) override {
        if (!source_.state->operator()().codeText) return;
        QMenu menu(this);
        menu.addAction("コードをコピー", this, [this] { copy(); });
        menu.exec(event->globalPos());
    }

private:
    void copy() {
        if (const auto& code = source_.state->operator()().codeText; code && source_.copy) source_.copy(*code);
    }
    // One line, shrunk down to 0.6 of the size when the glyph is wider than its box.
    void drawText(QPainter& painter, const QRectF& box, const QString& text) const {
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(kCodeFontPixels);
        const QFontMetricsF metrics(font);
        const double advance = metrics.horizontalAdvance(text);
        if (advance > box.width()) {
            font.setPixelSize(int(std::max(kCodeFontPixels * kCodeShrink, kCodeFontPixels * box.width() / advance)));
        }
        painter.setFont(font);
        painter.setPen(client::Theme::color(ThemeColour::text));
        painter.drawText(box, Qt::AlignCenter, text);
    }

    HostScreenSource source_;
    CodeRow row_;
};

// ---------------------------------------------------------------------------------------------

HostStatusBar::HostStatusBar(std::shared_ptr<HostState> state, QWidget* parent)
    : QWidget(parent), state_(std::move(state)) {
    setObjectName("hostStatusBar");
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(kMargin, kStatusVertical, kMargin, kStatusVertical);
    auto* inner = new QWidget(this);
    inner_ = inner;
    auto* column = new QVBoxLayout(inner);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    auto* line = new QHBoxLayout;
    line->setSpacing(8);
    auto* dot = new client::StateDot(8, inner);
    dot_ = dot;
    text_ = new QLabel(inner);
    text_->setObjectName("hostStatus");
    text_->setFont(client::Theme::font(TextStyle::statusTitle));
    tint(text_, ThemeColour::text);
    line->addWidget(dot_, 0, Qt::AlignVCenter);
    line->addWidget(text_, 1, Qt::AlignVCenter);
    column->addLayout(line);
    // Where capture is refused this system has no settings pane to send the user to.
    captureWarning_ = styledLabel("画面を取得できません", TextStyle::body, ThemeColour::danger, inner);
    captureWarning_->setObjectName("captureWarning");
    column->addWidget(captureWarning_);
    outer->addWidget(inner, 0, Qt::AlignHCenter);
    subscription_ = state_->observe([this](const auto&) { refresh(); });
    refresh();
}

// At most 740 wide, its content at the leading edge, the block centred in the window.
void HostStatusBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    inner_->setFixedWidth(std::min(width() - 2 * kMargin, int(client::DesktopLayout::kMaxWidth)));
}

void HostStatusBar::refresh() {
    const HostPublishedState& state = (*state_)();
    text_->setText(qtText(statusText(state.devices, state.links, state.connectedName, state.listenState)));
    static_cast<client::StateDot*>(dot_)->setColour(statusColour(state.listenState));
    captureWarning_->setVisible(state.screenCaptureFailed);
}

// ---------------------------------------------------------------------------------------------

PairingCodeArea::PairingCodeArea(const HostScreenSource& source, QWidget* parent) : QWidget(parent), source_(source) {
    setObjectName("pairingCode");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    layout->addWidget(styledLabel("ペアリングコード", TextStyle::subheadline, ThemeColour::muted, this));
    codeRow_ = new CodeRowView(source_, this);
    layout->addWidget(codeRow_);
    layout->addSpacing(8);
    qr_ = new QLabel(this);
    qr_->setObjectName("pairQr");
    qr_->setAccessibleName("連携リンクのQRコード");
    layout->addWidget(qr_, 0, Qt::AlignLeft);
    auto* copyLink = new client::FlatButton("リンクをコピー", ThemeColour::text, 0, this);
    copyLink->setObjectName("copyLink");
    copyLink_ = copyLink;
    layout->addWidget(copyLink_, 0, Qt::AlignLeft);
    auto* issue = new client::OutlinedButton("コードを発行", this);
    issue->setObjectName("issueCode");
    issue->setFocusPolicy(Qt::StrongFocus);
    FocusOutline::attach(issue);
    issue_ = issue;
    layout->addWidget(issue_, 0, Qt::AlignLeft);
    note_ = styledLabel("5分以内に入力してください", TextStyle::body, ThemeColour::muted, this);
    note_->setObjectName("codeNote");
    layout->addWidget(note_);
    connect(copyLink_, &QAbstractButton::clicked, this, [this] {
        const auto& link = (*source_.state)().pairLink;
        if (link && source_.copy) source_.copy(link->link);
    });
    connect(issue_, &QAbstractButton::clicked, this, [this] {
        if (source_.issueCode) source_.issueCode();
    });
    subscription_ = source_.state->observe([this](const auto&) { refresh(); });
    refresh();
}

void PairingCodeArea::refresh() {
    const HostPublishedState& state = (*source_.state)();
    codeRow_->refresh();
    const bool linked = state.pairLink.has_value();
    if (linked) qr_->setPixmap(QPixmap::fromImage(HostWindow::qrImage(state.pairLink->qr)));
    qr_->setVisible(linked);
    copyLink_->setVisible(linked);
    note_->setVisible(state.codeText.has_value());
}

// ---------------------------------------------------------------------------------------------

HostWindow::HostWindow(HostScreenSource source, std::shared_ptr<client::Announcer> announcer, QWidget* parent)
    : QWidget(parent), source_(std::move(source)) {
    setObjectName("hostSide");
    if (!announcer) announcer = std::make_shared<client::AccessibleAnnouncer>(this);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    statusBar_ = new HostStatusBar(source_.state, this);
    column->addWidget(statusBar_);
    content_ = new QWidget(this);
    auto* contentLayout = new QVBoxLayout(content_);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    column->addWidget(content_, 1);
    pairing_ = new PairingCodeArea(source_, content_);
    devices_ = new PairedDevicesView(source_, std::move(announcer), content_);
    devices_->setCodeButton(pairing_->issue());
    setWide(false);
}

HostWindow::~HostWindow() = default;

void HostWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    setWide(width() - 2 * kMargin >= int(client::DesktopLayout::kTwoColumnMinWidth));
}

// The two areas move between the one-column and the two-column arrangement; their state stays.
void HostWindow::setWide(bool wide) {
    if (wide_ == wide) return;
    wide_ = wide;
    auto* contentLayout = content_->layout();
    pairing_->setParent(nullptr);
    devices_->setParent(nullptr);
    QWidget* old = narrowScroll_ ? static_cast<QWidget*>(narrowScroll_) : wideColumns_;
    narrowScroll_ = nullptr;
    wideColumns_ = nullptr;
    if (old) {
        contentLayout->removeWidget(old);
        old->deleteLater();
    }
    if (!wide) {
        narrowScroll_ = verticalScroll(content_);
        auto* inner = new QWidget;
        auto* layout = new QVBoxLayout(inner);
        layout->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
        layout->setSpacing(32);
        layout->addWidget(pairing_);
        layout->addWidget(devices_);
        layout->addStretch();
        narrowScroll_->setWidget(inner);
        contentLayout->addWidget(narrowScroll_);
    } else {
        wideColumns_ = new QWidget(content_);
        auto* row = new QHBoxLayout(wideColumns_);
        row->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
        row->setSpacing(int(client::DesktopLayout::kColumnSpacing));
        row->addStretch();
        auto* left = verticalScroll(wideColumns_);
        left->setFixedWidth(int(client::DesktopLayout::kLeftWidth));
        auto* leftInner = new QWidget;
        auto* leftLayout = new QVBoxLayout(leftInner);
        leftLayout->setContentsMargins(0, 0, 0, 0);
        leftLayout->addWidget(pairing_);
        leftLayout->addStretch();
        left->setWidget(leftInner);
        auto* right = verticalScroll(wideColumns_);
        right->setMaximumWidth(int(client::DesktopLayout::kRightWidth));
        right->setWidget(devices_);
        row->addWidget(left);
        row->addWidget(right, 1);
        row->addStretch();
        contentLayout->addWidget(wideColumns_);
    }
    pairing_->show();
    devices_->show();
}

int HostWindow::measuredHeight(const HostScreenSource& source, int width) {
    QWidget measure;
    measure.setAttribute(Qt::WA_DontShowOnScreen);
    auto* column = new QVBoxLayout(&measure);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(new HostStatusBar(source.state, &measure));
    auto* content = new QWidget(&measure);
    const bool wide = width >= int(client::DesktopLayout::kTwoColumnMinWidth);
    QBoxLayout* layout = wide ? static_cast<QBoxLayout*>(new QHBoxLayout(content)) : new QVBoxLayout(content);
    layout->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    layout->setSpacing(wide ? int(client::DesktopLayout::kColumnSpacing) : 32);
    auto* pairing = new PairingCodeArea(source, content);
    auto* devices = new PairedDevicesView(source, nullptr, content);
    if (wide) {
        pairing->setFixedWidth(int(client::DesktopLayout::kLeftWidth));
        devices->setFixedWidth(std::min(width - 320, int(client::DesktopLayout::kRightWidth)));
    }
    layout->addWidget(pairing, 0, Qt::AlignTop);
    layout->addWidget(devices, 0, Qt::AlignTop);
    column->addWidget(content);
    const int total = width + 2 * kMargin;
    measure.setFixedWidth(total);
    measure.layout()->activate();
    return measure.hasHeightForWidth() ? measure.heightForWidth(total) : measure.sizeHint().height();
}

QImage HostWindow::qrImage(const QrMatrix& matrix) {
    const int side = matrix.size * kQrPointsPerModule + 2 * kQrPadding;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < matrix.size; ++y) {
        for (int x = 0; x < matrix.size; ++x) {
            if (!matrix.dark(x, y)) continue;
            painter.fillRect(kQrPadding + x * kQrPointsPerModule, kQrPadding + y * kQrPointsPerModule,
                             kQrPointsPerModule, kQrPointsPerModule, Qt::black);
        }
    }
    return image;
}

}  // namespace orvanta::host::ui
