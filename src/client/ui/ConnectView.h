// The client side's home screen: the connection's status bar, the saved hosts with their state,
// the selected host's detail and connect button, removal after a confirmation, the hosts found
// nearby and the add-and-pair form, in one column or, from 720 points, two. Built once and kept
// while a session is shown, so its fields, selection and form survive; inactive, it is hidden and
// takes no input. Its state and decisions live in ConnectScreenState; this view renders them.
#pragma once

#include <QPointer>
#include <QWidget>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/ui/ClientWindow.h"
#include "client/ui/ConnectScreenState.h"

class QBoxLayout;
class QComboBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QVBoxLayout;

namespace orvanta::client {

class AddPairForm;
class DetailPanel;
class FlatButton;
class HostRow;
class StateDot;

class ConnectView final : public QWidget {
public:
    ConnectView(const ClientScreens& screens, QWidget* parent = nullptr);
    ~ConnectView() override;

    // Active: the client side's screen now. Inactive: hidden and disabled, browsing stopped.
    void setActive(bool active);
    void setDiscoveryDenied(bool denied);

    ConnectScreenState& state() const { return *state_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Row {
        QWidget* separator;
        QWidget* line;
        HostRow* row;
        FlatButton* remove;
        QVBoxLayout* detailSlot;
    };

    void buildStatusBar(QVBoxLayout* layout);
    void refresh();
    void refreshStatusBar();
    void refreshHosts();
    void rebuildRows();
    void refreshNearby();
    void placeDetail();
    void askForRemoval();
    void moveFocus(const ConnectScreenState::Field& field);
    std::optional<ConnectScreenState::Field> fieldOf(const QWidget* widget) const;

    ClientScreens screens_;
    std::shared_ptr<ConnectScreenState> state_;
    bool discoveryDenied_ = false;

    StateDot* statusDot_ = nullptr;
    QLabel* statusTitle_ = nullptr;
    FlatButton* backToSession_ = nullptr;
    QWidget* content_ = nullptr;
    QBoxLayout* columns_ = nullptr;
    QWidget* leftColumn_ = nullptr;
    QWidget* rightColumn_ = nullptr;
    QVBoxLayout* rightLayout_ = nullptr;
    QLabel* removalResult_ = nullptr;
    QLabel* emptyHosts_ = nullptr;
    QVBoxLayout* rowsLayout_ = nullptr;
    QLabel* deniedWarning_ = nullptr;
    QVBoxLayout* nearbyLayout_ = nullptr;
    std::vector<NearbyHosts::Host> shownNearby_;
    std::vector<QWidget*> nearbyItems_;
    std::vector<QWidget*> nearbyButtons_;
    FlatButton* addButton_ = nullptr;
    DetailPanel* detail_ = nullptr;
    AddPairForm* form_ = nullptr;
    QPointer<QMessageBox> removalAlert_;

    std::vector<std::string> rowIds_;
    std::map<std::string, Row> rows_;
    std::vector<Subscription> subscriptions_;
};

}  // namespace orvanta::client
