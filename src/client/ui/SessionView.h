// The client side's screen while a session exists: a status bar with the state, the stream facts
// and the state's buttons above the video surface on black; in immersive mode only the video. It
// shows what it is given and reports what the user did; the model's wiring decides the rest.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <map>

#include "base/Clock.h"
#include "base/Executor.h"
#include "client/ui/SessionOverlay.h"
#include "client/ui/VideoSurface.h"

class QBoxLayout;

namespace orvanta::client {

class SessionView final : public QWidget {
public:
    SessionView(base::Executor& main, const base::Clock& clock,
                VideoSurface::PaintPath path = VideoSurface::PaintPath::automatic, QWidget* parent = nullptr);

    // Shows the session as `facts` say.
    void apply(const OverlayFacts& facts);
    const OverlayFacts& facts() const { return facts_; }
    VideoSurface& surface() { return *surface_; }
    // The window state asked for the navigation: the focus goes to "設定".
    void focusSettings();
    // The picker's sheet comes with the client window; it is shown through this hook.
    void setWindowPickerShown(bool shown);

    // Set after construction.
    std::function<void(OverlayButton)> onButton;
    // The window stopped being the active one: held remote keys and buttons are to be released.
    std::function<void()> onWindowInactive;
    std::function<void(bool shown)> presentWindowPicker;

    // For tests: what the bar shows.
    QString statusText() const;
    QString barToolTip() const;
    std::vector<OverlayButton> visibleButtons() const;
    bool buttonEnabled(OverlayButton button) const;
    bool statusBarShown() const;
    bool barInRow() const { return layout_.barInRow; }
    bool actionsInRow() const { return layout_.actionsInRow; }
    QPushButton* button(OverlayButton which) const { return buttons_.at(which); }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void fillBar();
    void chooseLayout();
    std::vector<OverlayButton> barButtons() const;

    OverlayFacts facts_;
    bool pickerShown_ = false;
    OverlayLayout layout_;
    QWidget* bar_ = nullptr;
    QBoxLayout* topRow_ = nullptr;
    QWidget* stateLabel_ = nullptr;
    QWidget* dot_ = nullptr;
    QLabel* status_ = nullptr;
    QWidget* actions_ = nullptr;
    QBoxLayout* actionsLayout_ = nullptr;
    QLabel* caption_ = nullptr;
    QLabel* notice_ = nullptr;
    QWidget* videoArea_ = nullptr;
    VideoSurface* surface_ = nullptr;
    std::map<OverlayButton, QPushButton*> buttons_;
};

}  // namespace orvanta::client
