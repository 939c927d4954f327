// The client side's screen while a session exists: a status bar with the state, the stream facts
// and the state's buttons above the video surface on black; in immersive mode only the video.
// Bound to the client model it follows the model's published state and acts through the model and
// its session; the shared window state's part (settings, full screen, navigation, immersive mode,
// the window picker's sheet) goes through hooks that the client window sets.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "base/Clock.h"
#include "base/Executor.h"
#include "base/Settings.h"
#include "client/ui/SessionOverlay.h"
#include "client/ui/VideoSurface.h"
#include "client/viewer/ClientModel.h"

class QBoxLayout;

namespace orvanta::client {

class StateDot;

class SessionView final : public QWidget {
public:
    static constexpr std::string_view kCursorScaleKey = "tessaril.client.cursorScale";

    SessionView(base::Executor& main, const base::Clock& clock,
                VideoSurface::PaintPath path = VideoSurface::PaintPath::automatic, QWidget* parent = nullptr);
    ~SessionView() override;

    // Follows the model from now on: its state is shown, the buttons and the video surface act on
    // it and its session. `defaults` holds the cursor scale.
    void bind(std::shared_ptr<ClientModel> model, std::shared_ptr<base::Settings> defaults);
    // The shared window state's immersive mode.
    void setImmersive(bool immersive);

    // Shows the session as `facts` say.
    void apply(const OverlayFacts& facts);
    const OverlayFacts& facts() const { return facts_; }
    VideoSurface& surface() { return *surface_; }
    // The window state asked for the navigation: the focus goes to "設定".
    void focusSettings();
    // The picker's sheet comes with the client window; it is shown through this hook.
    void setWindowPickerShown(bool shown);

    // Set after construction: every button pressed. A bound view has already acted on it; the
    // window state's hooks below take "設定" and "全画面".
    std::function<void(OverlayButton)> onButton;
    // The window stopped being the active one: held remote keys and buttons are to be released.
    std::function<void()> onWindowInactive;
    // The window state's hooks, with the client window.
    std::function<void(bool shown)> presentWindowPicker;
    std::function<void()> onOpenSettings;
    std::function<void()> onToggleFullScreen;
    std::function<void()> onFocusNavigation;

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
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    class SurfaceMeasure;

    void fillBar();
    void refresh();
    void updateBinding();
    void act(OverlayButton button);
    void chooseLayout();
    std::vector<OverlayButton> barButtons() const;

    OverlayFacts facts_;
    bool pickerShown_ = false;
    OverlayLayout layout_;
    QWidget* bar_ = nullptr;
    QBoxLayout* topRow_ = nullptr;
    QWidget* stateLabel_ = nullptr;
    StateDot* dot_ = nullptr;
    QLabel* status_ = nullptr;
    QWidget* actions_ = nullptr;
    QBoxLayout* actionsLayout_ = nullptr;
    QLabel* caption_ = nullptr;
    QLabel* notice_ = nullptr;
    QWidget* videoArea_ = nullptr;
    VideoSurface* surface_ = nullptr;
    std::map<OverlayButton, QPushButton*> buttons_;

    std::shared_ptr<ClientModel> model_;
    std::shared_ptr<base::Settings> defaults_;
    std::optional<base::Settings::ObserverId> cursorScaleObserver_;
    std::vector<Subscription> subscriptions_;
    std::shared_ptr<SurfaceMeasure> measure_;
    bool immersive_ = false;
};

}  // namespace orvanta::client
