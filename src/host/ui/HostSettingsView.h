// The settings page of the one window: appearance, this device's name, the login item, the local
// address, high resolution and blackout, the client's rows, the permissions and the diagnostic
// summary. Made at each opening and dropped at closing; it reports its content height so the
// window can fit it.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Settings.h"
#include "client/ui/UnifiedWindowState.h"
#include "client/viewer/ClientModel.h"
#include "host/ui/HostScreenSource.h"
#include "host/ui/LoginItem.h"
#include "host/ui/PermissionCenter.h"

class QAbstractButton;
class QLabel;
class QScrollArea;

namespace orvanta::clipboard {
class ClipboardSync;
}

namespace orvanta::host::ui {

// What the page is made from besides the host.
struct SettingsPageParts {
    std::shared_ptr<PermissionCenter> permissions;
    std::shared_ptr<base::Settings> defaults;
    std::shared_ptr<client::ClientModel> model;
    clipboard::ClipboardSync* hub = nullptr;
    std::shared_ptr<client::UnifiedWindowState> windowState;
    std::optional<std::string> computerName;
    std::function<LoginItem()> loginItem = LoginItem::standard;
    std::function<void(std::string_view)> log;
    std::string appVersion;
    std::string appBuild;
};

// The permission list's order on the page, and each one's title and purpose.
std::string_view permissionTitle(HostPermission permission);
std::string_view permissionPurpose(HostPermission permission);
inline constexpr HostPermission kPagePermissionOrder[] = {HostPermission::screenRecording,
                                                          HostPermission::accessibility, HostPermission::localNetwork,
                                                          HostPermission::systemAudio, HostPermission::pasteboard};
// The two columns stand side by side from an available width of 680 points.
int settingsContentWidth(int pageWidth);

// The diagnostic summary as the page copies it.
StatusSummary settingsSummary(const HostPublishedState& state, const PermissionCenter& permissions,
                              LoginItemStatus loginItem, const std::string& appVersion, const std::string& appBuild,
                              std::chrono::system_clock::time_point now);

class HostSettingsView final : public QWidget {
public:
    HostSettingsView(HostScreenSource source, SettingsPageParts parts, QWidget* parent = nullptr);
    ~HostSettingsView() override;

    QAbstractButton* copySummaryButton() const { return copy_; }
    QLabel* copiedNote() const { return copiedNote_; }
    bool twoColumns() const { return twoColumns_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* preferences();
    QWidget* permissionsColumn();
    void refreshHost();
    void refreshPermissions();
    void refreshLoginItem();
    void copySummary();
    void arrange();

    HostScreenSource source_;
    SettingsPageParts parts_;
    LoginItemController loginItem_;
    QScrollArea* scroll_;
    QWidget* content_;
    QWidget* left_;
    QWidget* right_;
    bool twoColumns_ = false;
    QAbstractButton* copy_ = nullptr;
    QLabel* copiedNote_ = nullptr;
    struct Rows;
    std::unique_ptr<Rows> rows_;
    client::Subscription subscription_;
};

}  // namespace orvanta::host::ui
