// The paired-devices section: one block per device name with its newest record and connection
// badge, older records behind a toggle, and removal of one record or all older ones after a
// confirmation. Results show in a coloured line, are announced, and move the keyboard focus.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/ui/Announcer.h"
#include "host/ui/DeviceRemoval.h"
#include "host/ui/HostScreenSource.h"

class QAbstractButton;
class QLabel;
class QVBoxLayout;

namespace orvanta::host::ui {

class PairedDevicesView final : public QWidget {
public:
    PairedDevicesView(const HostScreenSource& source, std::shared_ptr<client::Announcer> announcer,
                      QWidget* parent = nullptr);

    // The control with a focus key: a record's removal button (its device id), "toggle:" or
    // "bulk:" and a group id; null when it is not on screen.
    QAbstractButton* control(const std::string& key) const;
    QMessageBox* confirmation() const { return confirmation_; }
    const DeviceRemoval& removal() const { return removal_; }
    // The "コードを発行" button, which takes the focus when no record is left.
    void setCodeButton(QAbstractButton* button) { codeButton_ = button; }

private:
    void rebuild();
    void addGroup(const DeviceGroup& group);
    QWidget* recordRow(const DeviceRecord& record, const DeviceGroup& group, bool child);
    QAbstractButton* removalButton(const Removal& removal, const std::string& key, QWidget* parent);
    void confirm(const Removal& removal);
    void focusKey(const std::string& key);

    HostScreenSource source_;
    std::shared_ptr<client::Announcer> announcer_;
    DeviceRemoval removal_;
    std::vector<std::string> expanded_;
    QLabel* result_;
    QLabel* empty_;
    QWidget* list_;
    QVBoxLayout* listLayout_;
    std::map<std::string, QPointer<QAbstractButton>> controls_;
    QPointer<QMessageBox> confirmation_;
    QPointer<QAbstractButton> codeButton_;
    std::optional<std::string> pendingFocus_;
    client::Subscription subscription_;
};

}  // namespace orvanta::host::ui
