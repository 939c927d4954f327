#include "host/ui/HostSettingsView.h"

#include <sys/utsname.h>

#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "client/ui/ClientSettings.h"
#include "client/ui/ThemeStyles.h"
#include "host/ui/StyledLabel.h"

namespace orvanta::host::ui {

using client::qtText;
using client::TextStyle;
using client::Theme::tint;

namespace {

constexpr int kSectionSpacing = 8;
constexpr char kLoopbackEndpoint[] = "http://127.0.0.1:8766";

QLabel* purpose(std::string_view text, QWidget* parent) {
    return styledLabel(qtText(text), TextStyle::footnote, ThemeColour::muted, parent);
}

QWidget* section(const QString& title, const std::vector<QWidget*>& rows, QWidget* parent) {
    auto* box = new QWidget(parent);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* header = new QLabel(title, box);
    header->setFont(client::Theme::font(TextStyle::subheadline));
    tint(header, ThemeColour::muted);
    layout->addWidget(header);
    layout->addSpacing(4);
    for (QWidget* row : rows) {
        row->setParent(box);
        layout->addWidget(row);
    }
    return box;
}

client::SettingsRow* row(const std::vector<QWidget*>& parts) {
    auto* container = new client::SettingsRow;
    for (QWidget* part : parts) container->add(part);
    return container;
}

std::string osVersion() {
    utsname names{};
    if (uname(&names) != 0) return "不明";
    // The kernel's release, as major.minor.patch.
    std::string release = names.release;
    const auto end = release.find_first_not_of("0123456789.");
    return release.substr(0, end);
}

}  // namespace

std::string_view permissionTitle(HostPermission permission) {
    switch (permission) {
        case HostPermission::screenRecording:
            return "画面収録";
        case HostPermission::systemAudio:
            return "システムオーディオ録音";
        case HostPermission::accessibility:
            return "アクセシビリティ";
        case HostPermission::localNetwork:
            return "ローカルネットワーク";
        case HostPermission::pasteboard:
            break;
    }
    return "ペーストボード（コピーした内容）";
}

std::string_view permissionPurpose(HostPermission permission) {
    switch (permission) {
        case HostPermission::screenRecording:
            return "この Mac の画面を 接続した端末に映すために使います。許可がないと、端末に映像が届きません。";
        case HostPermission::systemAudio:
            return "この Mac で鳴っている音を、接続した端末で鳴らすために使います。macOS "
                   "では「画面とシステムオーディオ録音」として画面収録と一緒に許可します。許可がないと、映像だけが届き"
                   "ます。";
        case HostPermission::accessibility:
            return "端末からのクリックやキー入力を、この Mac "
                   "の操作として受け取るために使います。許可がないと、見るだけになります。";
        case HostPermission::localNetwork:
            return "「他の端末を見る」で、同じ家や職場のネットワークにある Mac や Windows につなぐときに使います。";
        case HostPermission::pasteboard:
            break;
    }
    return "この Mac でコピーした文字や画像を、「他の端末を見る」でつないだ先へ送るときに使います。";
}

int settingsContentWidth(int pageWidth) {
    return std::clamp(pageWidth - 2 * int(client::DesktopLayout::kPadding), 0, int(client::DesktopLayout::kMaxWidth));
}

StatusSummary settingsSummary(const HostPublishedState& state, const PermissionCenter& permissions,
                              LoginItemStatus loginItem, const std::string& appVersion, const std::string& appBuild,
                              std::chrono::system_clock::time_point now) {
    StatusSummary summary;
    summary.appVersion = appVersion.empty() ? "不明" : appVersion;
    summary.appBuild = appBuild.empty() ? "不明" : appBuild;
    summary.osVersion = osVersion();
    summary.listen = state.listenState;
    summary.devices = state.devices;
    summary.links = state.links;
    for (const HostPermission permission : kAllHostPermissions)
        summary.permissions.emplace_back(permission, permissions.status(permission, state.bonjourPolicyDenied));
    summary.loginItem = std::string(loginItemText(loginItem));
    summary.highRes = !state.highResAvailable ? "使えない環境" : state.highResEnabled ? "入" : "切";
    summary.generatedAt = now;
    summary.audio = state.audioSending ? "送信中" : "送っていません";
    return summary;
}

// The widgets the page refreshes after it is built.
struct HostSettingsView::Rows {
    client::SettingsToggle* loginItem = nullptr;
    QLabel* loginError = nullptr;
    client::SettingsToggle* highRes = nullptr;
    QLabel* highResPurpose = nullptr;
    client::SettingsToggle* blackout = nullptr;
    struct Permission {
        HostPermission permission;
        QLabel* status;
        QLabel* restartNote;
    };
    std::vector<Permission> permissions;
    client::Subscription permissionsChanged;
};

HostSettingsView::HostSettingsView(HostScreenSource source, SettingsPageParts parts, QWidget* parent)
    : QWidget(parent),
      source_(std::move(source)),
      parts_(std::move(parts)),
      loginItem_(parts_.loginItem(), parts_.log),
      rows_(std::make_unique<Rows>()) {
    setObjectName("settingsPage");
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    outer->addWidget(scroll_);
    auto* page = new QWidget;
    auto* centring = new QHBoxLayout(page);
    centring->setContentsMargins(0, kSectionSpacing, 0, kSectionSpacing);
    content_ = new QWidget(page);
    centring->addStretch();
    centring->addWidget(content_);
    centring->addStretch();
    left_ = preferences();
    right_ = permissionsColumn();
    left_->setParent(content_);
    right_->setParent(content_);
    scroll_->setWidget(page);
    content_->installEventFilter(this);

    loginItem_.onChange = [this] { refreshLoginItem(); };
    subscription_ = source_.state->observe([this](const auto&) { refreshHost(); });
    if (parts_.permissions) rows_->permissionsChanged = parts_.permissions->observe([this] { refreshPermissions(); });
    loginItem_.refresh();
    refreshHost();
    refreshPermissions();
    arrange();
}

HostSettingsView::~HostSettingsView() = default;

QWidget* HostSettingsView::preferences() {
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kSectionSpacing);

    auto* theme = new QComboBox;
    theme->setObjectName("themePicker");
    theme->setAccessibleName("テーマ");
    const std::pair<const char*, const char*> choices[] = {{"端末に従う", "system"}, {"白", "light"}, {"黒", "dark"}};
    for (const auto& [title, value] : choices) theme->addItem(title, QString(value));
    const auto stored =
        parts_.defaults ? parts_.defaults->string(client::Theme::kModeKey).value_or("system") : "system";
    theme->setCurrentIndex(std::max(0, theme->findData(QString::fromStdString(stored))));
    connect(theme, &QComboBox::activated, this, [this, theme](int index) {
        if (parts_.defaults)
            parts_.defaults->set(client::Theme::kModeKey, theme->itemData(index).toString().toStdString());
    });
    layout->addWidget(section("外観", {row({new client::SettingsField("テーマ", theme)})}, column));

    auto* name = new client::ClientDeviceNameField(parts_.defaults, parts_.computerName);
    rows_->loginItem = new client::SettingsToggle("ログイン時に開く");
    rows_->loginItem->setObjectName("loginItem");
    rows_->loginItem->onToggle = [this](bool on) { loginItem_.set(on); };
    rows_->loginError = purpose({}, nullptr);
    tint(rows_->loginError, ThemeColour::danger);
    rows_->loginError->setObjectName("loginItemError");
    auto* endpoint = new QLabel(kLoopbackEndpoint);
    tint(endpoint, ThemeColour::muted);
    endpoint->setTextInteractionFlags(Qt::TextSelectableByMouse);
    endpoint->setAccessibleName("接続先");
    endpoint->setAccessibleDescription(kLoopbackEndpoint);
    layout->addWidget(
        section("接続",
                {row({name, purpose("次にペアリングするとき、相手にこの名前を送ります。", nullptr)}),
                 row({rows_->loginItem, rows_->loginError}), row({new client::SettingsField("接続先", endpoint)})},
                column));

    rows_->highRes = new client::SettingsToggle("高解像度");
    rows_->highRes->setObjectName("highRes");
    rows_->highRes->onToggle = [this](bool on) {
        if (source_.setHighRes) source_.setHighRes(on);
    };
    rows_->highResPurpose = purpose({}, nullptr);
    rows_->blackout = new client::SettingsToggle("ブラックアウト");
    rows_->blackout->setObjectName("blackout");
    rows_->blackout->onToggle = [this](bool on) {
        if (source_.setBlackout) source_.setBlackout(on);
    };
    std::vector<QWidget*> screenRows = {
        row({rows_->highRes, rows_->highResPurpose}),
        row({rows_->blackout, purpose("接続中、この端末の画面を黒く覆います。", nullptr)})};
    if (parts_.model && parts_.hub)
        screenRows.push_back(new client::ClientSettingsSection(parts_.model, *parts_.hub, parts_.defaults));
    layout->addWidget(section("画面と操作", screenRows, column));
    layout->addStretch();
    return column;
}

QWidget* HostSettingsView::permissionsColumn() {
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kSectionSpacing);
    std::vector<QWidget*> rows;
    for (const HostPermission permission : kPagePermissionOrder) {
        auto* box = new QWidget;
        box->setObjectName(qtText("permission:" + std::string(rawValue(permission))));
        auto* boxLayout = new QVBoxLayout(box);
        boxLayout->setContentsMargins(0, 0, 0, 0);
        boxLayout->setSpacing(2);
        auto* line = new QHBoxLayout;
        line->setSpacing(8);
        line->addWidget(new QLabel(qtText(permissionTitle(permission)), box));
        auto* status = new QLabel(box);
        status->setObjectName("status");
        status->setFont(client::Theme::font(TextStyle::footnote));
        line->addWidget(status);
        line->addStretch();
        boxLayout->addLayout(line);
        boxLayout->addWidget(purpose(permissionPurpose(permission), box));
        auto* restart = purpose("許可したら Orvanta を開き直してください。", box);
        boxLayout->addWidget(restart);
        rows_->permissions.push_back({permission, status, restart});
        rows.push_back(row({box}));
    }
    layout->addWidget(section("権限", rows, column));

    auto* copy = new QPushButton("診断をコピー");
    copy->setObjectName("copySummary");
    copy_ = copy;
    copiedNote_ = purpose({}, nullptr);
    copiedNote_->setObjectName("copiedNote");
    copiedNote_->hide();
    connect(copy, &QPushButton::clicked, this, [this] { copySummary(); });
    layout->addWidget(section("診断", {row({copy, copiedNote_})}, column));
    layout->addStretch();
    return column;
}

void HostSettingsView::refreshHost() {
    const HostPublishedState& state = (*source_.state)();
    rows_->highRes->setOn(state.highResEnabled && state.highResAvailable);
    rows_->highRes->control()->setEnabled(state.highResAvailable);
    rows_->highResPurpose->setText(state.highResAvailable ? "対応端末の全体表示で、Macの画面を実画素で取得します。"
                                                          : "この端末では使えません。");
    rows_->blackout->setOn(state.blackoutEnabled);
    refreshPermissions();
}

void HostSettingsView::refreshPermissions() {
    const bool policyDenied = (*source_.state)().bonjourPolicyDenied;
    for (const auto& each : rows_->permissions) {
        const bool denialNote = each.permission == HostPermission::localNetwork && policyDenied;
        const PermissionStatus status =
            parts_.permissions ? parts_.permissions->status(each.permission, denialNote) : PermissionStatus::checking();
        switch (status.kind) {
            case PermissionStatus::Kind::granted:
                // The dot in the state colour, the word in the text colour.
                each.status->setText(QString("<span style=\"color:%1\">●</span> 許可済み")
                                         .arg(client::Theme::color(ThemeColour::stateOK).name()));
                tint(each.status, ThemeColour::text);
                break;
            case PermissionStatus::Kind::denied:
                each.status->setText("未許可");
                tint(each.status, ThemeColour::stateWarn);
                break;
            case PermissionStatus::Kind::checking:
                each.status->setText("確認中");
                tint(each.status, ThemeColour::muted);
                break;
            case PermissionStatus::Kind::undetermined:
                each.status->setText(qtText(status.text));
                tint(each.status, ThemeColour::muted);
                break;
        }
        each.restartNote->setVisible(denialNote);
    }
}

void HostSettingsView::refreshLoginItem() {
    rows_->loginItem->setOn(loginItem_.isOn());
    rows_->loginError->setText(qtText(loginItem_.errorText().value_or("")));
    rows_->loginError->setVisible(loginItem_.errorText().has_value());
}

void HostSettingsView::copySummary() {
    if (parts_.permissions) parts_.permissions->refresh();
    loginItem_.refresh();
    if (!parts_.permissions) return;
    const auto summary = settingsSummary((*source_.state)(), *parts_.permissions, loginItem_.status(),
                                         parts_.appVersion, parts_.appBuild, std::chrono::system_clock::now());
    const bool copied = source_.copy && source_.copy(summary.text());
    copiedNote_->setText(copied ? "コピーしました" : "コピーできませんでした");
    copiedNote_->show();
}

void HostSettingsView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    arrange();
}

// Side by side from 680 points of content: 300 on the left and the rest on the right; one above
// the other below that.
void HostSettingsView::arrange() {
    const int width = settingsContentWidth(this->width());
    content_->setFixedWidth(width);
    twoColumns_ = width >= int(client::DesktopLayout::kTwoColumnMinWidth);
    delete content_->layout();
    if (twoColumns_) {
        auto* layout = new QHBoxLayout(content_);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(int(client::DesktopLayout::kColumnSpacing));
        left_->setFixedWidth(int(client::DesktopLayout::kLeftWidth));
        right_->setMinimumWidth(0);
        right_->setMaximumWidth(QWIDGETSIZE_MAX);
        layout->addWidget(left_, 0, Qt::AlignTop);
        layout->addWidget(right_, 1, Qt::AlignTop);
    } else {
        auto* layout = new QVBoxLayout(content_);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(kSectionSpacing);
        left_->setFixedWidth(width);
        right_->setFixedWidth(width);
        layout->addWidget(left_);
        layout->addWidget(right_);
    }
}

bool HostSettingsView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == content_ && (event->type() == QEvent::Show || event->type() == QEvent::LayoutRequest) &&
        parts_.windowState) {
        QTimer::singleShot(
            0, this, [this] { parts_.windowState->fitSettings(content_->sizeHint().height() + 2 * kSectionSpacing); });
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace orvanta::host::ui
