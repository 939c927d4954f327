#include "client/ui/MacWindowPicker.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "client/ui/ThemeStyles.h"

namespace orvanta::client {
namespace {

constexpr int kIconSize = 20;
constexpr int kPadding = 12;
constexpr int kSpacing = 8;

bool holds(const std::string& text, const QString& query) { return qtText(text).contains(query, Qt::CaseInsensitive); }

QString trimmed(std::string_view query) { return qtText(query).trimmed(); }

// One choice: an optional icon, a name and an optional second line; the whole row takes clicks.
class PickerRow final : public QAbstractButton {
public:
    PickerRow(const QString& name, const QString& detail, const base::Bytes* iconPng, QWidget* parent)
        : QAbstractButton(parent) {
        setFocusPolicy(Qt::StrongFocus);
        setCursor(Qt::PointingHandCursor);
        setAccessibleName(detail.isEmpty() ? name : name + ", " + detail);
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(4, 4, 4, 4);
        layout->setSpacing(kSpacing);
        if (iconPng) {
            QPixmap icon;
            if (icon.loadFromData(iconPng->data(), uint(iconPng->size()), "PNG")) {
                auto* image = new QLabel(this);
                image->setPixmap(icon.scaled(kIconSize, kIconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
                image->setFixedSize(kIconSize, kIconSize);
                layout->addWidget(image, 0, Qt::AlignTop);
            }
        }
        auto* texts = new QVBoxLayout;
        texts->setSpacing(2);
        auto* title = new QLabel(name, this);
        texts->addWidget(title);
        if (!detail.isEmpty()) {
            auto* second = new QLabel(detail, this);
            second->setFont(Theme::font(TextStyle::caption));
            Theme::tint(second, ThemeColour::muted);
            texts->addWidget(second);
        }
        layout->addLayout(texts, 1);
        for (auto* child : findChildren<QLabel*>()) child->setAttribute(Qt::WA_TransparentForMouseEvents);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        if (isDown()) painter.fillRect(rect(), Theme::color(ThemeColour::surface2));
        if (hasFocus()) {
            painter.setPen(QPen(Theme::color(ThemeColour::accent), 1));
            painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
        }
    }
};

}  // namespace

std::vector<protocol::WindowListEntry> WindowPickerFilter::windows(const std::vector<protocol::WindowListEntry>& list,
                                                                   std::string_view query) {
    const QString q = trimmed(query);
    std::vector<protocol::WindowListEntry> shown;
    for (const auto& entry : list) {
        if (q.isEmpty() || holds(entry.appName, q) || holds(entry.title, q)) shown.push_back(entry);
    }
    return shown;
}

std::vector<protocol::AppListEntry> WindowPickerFilter::applications(const std::vector<protocol::AppListEntry>& list,
                                                                     std::string_view query) {
    const QString q = trimmed(query);
    std::vector<protocol::AppListEntry> shown;
    for (const auto& entry : list) {
        if (!entry.running && (q.isEmpty() || holds(entry.name, q))) shown.push_back(entry);
    }
    return shown;
}

MacWindowPicker::MacWindowPicker(ConnectionManager& connection, QWidget* parent)
    : QDialog(parent), connection_(connection) {
    setObjectName("windowPicker");
    setWindowModality(Qt::WindowModal);
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    layout->setSpacing(kSpacing);
    auto* searchRow = new QHBoxLayout;
    search_ = new QLineEdit(this);
    search_->setPlaceholderText("アプリやウィンドウを検索");
    search_->setAccessibleName("アプリやウィンドウを検索");
    auto* cancel = new QPushButton("キャンセル", this);
    cancel->setAutoDefault(false);
    searchRow->addWidget(search_, 1);
    searchRow->addWidget(cancel);
    layout->addLayout(searchRow);

    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    auto* list = new QWidget;
    list->setAutoFillBackground(false);
    auto* listLayout = new QVBoxLayout(list);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->setSpacing(0);
    rows_ = new QVBoxLayout;
    rows_->setSpacing(2);
    listLayout->addLayout(rows_);
    listLayout->addStretch();
    scroll->setWidget(list);
    layout->addWidget(scroll, 1);

    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(search_, &QLineEdit::textChanged, this, [this] { rebuild(); });
    observer_ = connection_.observe([this] { rebuild(); });
    rebuild();
}

MacWindowPicker::~MacWindowPicker() { connection_.removeObserver(observer_); }

void MacWindowPicker::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    connection_.requestWindowList();
}

void MacWindowPicker::rebuild() {
    // The connection reports every change of the session (cursor moves too); most leave the rows alone.
    Shown now{connection_.windowFitActive(), connection_.windowList(),   connection_.appList(),
              connection_.windowAppIcons(),  connection_.appListIcons(), search_->text()};
    if (now == lastShown_) return;
    lastShown_ = std::move(now);
    // A row may be the sender of the click that led here.
    for (QWidget* row : shown_) {
        row->hide();
        row->deleteLater();
    }
    shown_.clear();
    const auto add = [this](QWidget* row) {
        rows_->addWidget(row);
        shown_.push_back(row);
    };
    const std::string query = search_->text().toStdString();

    if (connection_.windowFitActive()) {
        auto* whole = new PickerRow("全体表示に戻す", {}, nullptr, this);
        connect(whole, &QAbstractButton::clicked, this, [this] {
            connection_.setWindowFit(false);
            accept();
        });
        add(whole);
    }
    const auto& windowIcons = connection_.windowAppIcons();
    for (const auto& entry : WindowPickerFilter::windows(connection_.windowList(), query)) {
        const auto icon = windowIcons.find(entry.appName);
        auto* row = new PickerRow(qtText(entry.appName), qtText(entry.title),
                                  icon == windowIcons.end() ? nullptr : &icon->second, this);
        connect(row, &QAbstractButton::clicked, this, [this, entry] {
            connection_.fitWindow(entry);
            accept();
        });
        add(row);
    }
    const auto applications = WindowPickerFilter::applications(connection_.appList(), query);
    if (applications.empty()) return;
    auto* header = new QLabel("未起動のアプリ", this);
    header->setFont(Theme::font(TextStyle::subheadline));
    Theme::tint(header, ThemeColour::muted);
    add(header);
    const auto& appIcons = connection_.appListIcons();
    for (const auto& entry : applications) {
        const auto icon = appIcons.find(entry.bundleId);
        auto* row = new PickerRow(qtText(entry.name), {}, icon == appIcons.end() ? nullptr : &icon->second, this);
        connect(row, &QAbstractButton::clicked, this, [this, entry] {
            if (connection_.launchApp(entry)) accept();
        });
        add(row);
    }
}

}  // namespace orvanta::client
