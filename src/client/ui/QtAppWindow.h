// The application window as the window state sees it, over a Qt top-level widget. X11 has no
// will/did pair for full screen, so this adapter sends both: the will-notification when it starts a
// change (or, for a change the window manager made, just before the did-notification), and the
// did-notification a turn after the window's state changed. Maximised counts as zoomed; the frame
// is the window with its decorations, whose extents may read 0 until the window is mapped.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>

#include "client/ui/AppWindow.h"

namespace orvanta::client {

class QtAppWindow final : public QObject, public AppWindow {
public:
    // `content` is the part of the window the side's screens get; the rest of the frame is chrome.
    QtAppWindow(QWidget* window, QWidget* content);
    ~QtAppWindow() override;

    platform::Rect frame() const override;
    Size contentSize() const override;
    std::optional<platform::Rect> screenVisibleFrame() const override;
    void setFrame(const platform::Rect& frame) override;
    bool isVisible() const override;
    bool isMiniaturized() const override;
    bool isZoomed() const override;
    bool isFullScreen() const override;
    void zoom() override;
    void toggleFullScreen() override;
    void deminiaturize() override;
    void activate() override;
    std::shared_ptr<const MeasuredView> videoSurface() const override;
    void focusVideoSurface() override;

    // Where the video surface comes from: the client side, which knows its session view.
    std::function<std::shared_ptr<const MeasuredView>()> findVideoSurface;
    std::function<void()> focusSurface;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Transition { none, entering, exiting };

    void stateChanged(Qt::WindowStates old);
    static void call(const std::function<void()>& callback) {
        if (callback) callback();
    }

    QPointer<QWidget> window_;
    QPointer<QWidget> content_;
    Transition announced_ = Transition::none;
};

}  // namespace orvanta::client
