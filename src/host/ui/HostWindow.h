// The host side of the window: the status bar, the pairing code with its QR image and link, and
// the paired devices with their removal. Two columns from a content width of 720 points, one
// scrolling column below. It reads the host's published state and calls its operations only.
#pragma once

#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "client/ui/Announcer.h"
#include "host/ui/HostScreenSource.h"
#include "host/ui/PermissionCenter.h"

class QAbstractButton;
class QImage;
class QBoxLayout;
class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace orvanta::host::ui {

class CodeRowView;
class PairedDevicesView;

// The status line with its dot, and the capture warning.
class HostStatusBar final : public QWidget {
public:
    HostStatusBar(std::shared_ptr<HostState> state, QWidget* parent = nullptr);
    QLabel* text() const { return text_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();
    std::shared_ptr<HostState> state_;
    QWidget* inner_;
    QWidget* dot_;
    QLabel* text_;
    QLabel* captureWarning_;
    client::Subscription subscription_;
};

// The code cells, the QR image and link, and the button that issues a code.
class PairingCodeArea final : public QWidget {
public:
    PairingCodeArea(const HostScreenSource& source, QWidget* parent = nullptr);
    CodeRowView* codeRow() const { return codeRow_; }
    QLabel* qr() const { return qr_; }
    QAbstractButton* copyLink() const { return copyLink_; }
    QAbstractButton* issue() const { return issue_; }

private:
    void refresh();
    HostScreenSource source_;
    CodeRowView* codeRow_;
    QLabel* qr_;
    QAbstractButton* copyLink_;
    QAbstractButton* issue_;
    QLabel* note_;
    client::Subscription subscription_;
};

class HostWindow final : public QWidget {
public:
    HostWindow(HostScreenSource source, std::shared_ptr<client::Announcer> announcer = nullptr,
               QWidget* parent = nullptr);
    ~HostWindow() override;

    // The height of the same content, without scroll views, `width` wide inside the margins:
    // what a new window is measured by. Built afresh each time.
    static int measuredHeight(const HostScreenSource& source, int width);
    // The QR image of a matrix: 3 points a module, 12 points of white around it.
    static QImage qrImage(const QrMatrix& matrix);

    bool wide() const { return wide_.value_or(false); }
    HostStatusBar* statusBar() const { return statusBar_; }
    PairingCodeArea* pairing() const { return pairing_; }
    PairedDevicesView* devices() const { return devices_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void setWide(bool wide);

    HostScreenSource source_;
    HostStatusBar* statusBar_;
    PairingCodeArea* pairing_;
    PairedDevicesView* devices_;
    QWidget* content_;
    QScrollArea* narrowScroll_ = nullptr;
    QWidget* wideColumns_ = nullptr;
    QScrollArea* leftScroll_ = nullptr;
    QScrollArea* rightScroll_ = nullptr;
    std::optional<bool> wide_;
};

}  // namespace orvanta::host::ui
