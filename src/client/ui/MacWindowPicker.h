// The window-modal sheet in which the user picks what a running session shows: one of the host's
// windows, an application of the host that is not running yet, or the whole display again. It only
// filters and chooses; the connection asks for the lists, receives them and sends the choice. Every
// opening asks the host afresh.
#pragma once

#include <QDialog>

#include <optional>
#include <string_view>
#include <vector>

#include "client/session/ConnectionManager.h"
#include "protocol/ControlMessages.h"

class QLineEdit;
class QVBoxLayout;

namespace orvanta::client {

namespace WindowPickerFilter {
// The windows whose application name or title holds the trimmed query, case-insensitively; all of
// them for an empty query.
std::vector<protocol::WindowListEntry> windows(const std::vector<protocol::WindowListEntry>& list,
                                               std::string_view query);
// The applications not running whose name holds the trimmed query.
std::vector<protocol::AppListEntry> applications(const std::vector<protocol::AppListEntry>& list,
                                                 std::string_view query);
}  // namespace WindowPickerFilter

class MacWindowPicker final : public QDialog {
public:
    static constexpr int kWidth = 420;
    static constexpr int kHeight = 360;

    MacWindowPicker(ConnectionManager& connection, QWidget* parent);
    ~MacWindowPicker() override;

    QLineEdit* search() const { return search_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rebuild();

    struct Shown {
        bool windowFitActive = false;
        std::vector<protocol::WindowListEntry> windows;
        std::vector<protocol::AppListEntry> applications;
        protocol::AppIcons windowIcons;
        protocol::AppIcons applicationIcons;
        QString query;
        bool operator==(const Shown&) const = default;
    };

    ConnectionManager& connection_;
    std::optional<Shown> lastShown_;
    ConnectionManager::ObserverId observer_;
    QLineEdit* search_;
    QVBoxLayout* rows_;
    std::vector<QWidget*> shown_;
};

}  // namespace orvanta::client
