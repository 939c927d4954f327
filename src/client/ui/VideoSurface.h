// The widget that shows the host's video and captures the user's pointer, wheel and keys for the
// client model. It binds its display to the session's video source while it has one, paints
// decoded pictures on black inside the video rectangle, draws the host's cursor over the video
// and keeps the window's own shortcuts (full screen, settings, navigation) from the host.
#pragma once

#include <QCursor>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "base/Clock.h"
#include "base/Executor.h"
#include "client/session/ConnectionManager.h"
#include "client/ui/SurfaceRules.h"
#include "client/ui/VideoPresenter.h"
#include "client/viewer/SurfaceInput.h"
#include "protocol/ControlMessages.h"

namespace orvanta::client {

class PictureView;

class VideoSurface final : public QWidget {
public:
    enum class PaintPath { automatic, openGL, raster };

    // `main` and `clock` time the video delay. The automatic path paints through OpenGL on a
    // graphics processor, else through libswscale; without OpenGL every path is libswscale's.
    VideoSurface(base::Executor& main, const base::Clock& clock, PaintPath path = PaintPath::automatic,
                 QWidget* parent = nullptr);
    ~VideoSurface() override;

    // The session's video, or none: binding another source first unbinds the current one.
    void setSource(const std::shared_ptr<VideoSource>& source);
    void setStreamSize(StreamSize size);
    // The host's cursor image over the video, and the user's scale for it.
    void updateCursor(const std::optional<protocol::CursorPosition::Shape>& shape, double scale);
    void setImmersive(bool immersive);

    bool isImmersive() const { return immersive_; }
    StreamSize streamSize() const { return streamSize_; }
    // The picture's rectangle in the widget's coordinates.
    Rect videoRect() const;
    // The widget's bounds in its own coordinates and its device pixels per coordinate.
    ViewportMetrics viewport() const;
    // The built cursor over the video; none when the host sent no usable image.
    const std::optional<QCursor>& remoteCursor() const { return remoteCursor_; }
    PaintPath paintPath() const { return paintPath_; }
    const VideoPresenter& presenter() const { return *presenter_; }

    // Set after construction.
    std::function<void(const SurfaceInput&)> onInput;
    std::function<void()> onFocusLost;
    // The view's size, window or scale may have changed.
    std::function<void()> onGeometryChange;
    std::function<void()> onToggleFullScreen;
    std::function<void()> onOpenSettings;
    std::function<void()> onFocusNavigation;
    // The display failed and the stream has just begun to wait for a keyframe: ask for one.
    std::function<void()> onRendererFailure;
    // A new picture reached the window, with the uptime (µs) its sample was received.
    std::function<void(std::uint64_t receivedMicros)> onPainted;

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void usePictureView(PaintPath path);
    void layOutPicture();
    void press(QMouseEvent* event);
    void send(std::string action, const QPointF& at, bool clamp, std::optional<ScrollAmount> scroll = {});
    void sendPointer(std::string action, std::optional<NormalizedPoint> point, std::optional<ScrollAmount> scroll);
    void performShortcut(LocalShortcut shortcut);
    void showCursorAt(const QPointF& at);
    void geometryChanged();
    static void call(const std::function<void()>& callback) {
        if (callback) callback();
    }

    std::shared_ptr<VideoPresenter> presenter_;
    std::weak_ptr<VideoSource> source_;
    PictureView* pictureView_ = nullptr;
    PaintPath paintPath_ = PaintPath::raster;
    StreamSize streamSize_{16, 9};
    bool immersive_ = false;
    std::optional<protocol::CursorPosition::Shape> cursorShape_;
    double cursorScale_ = 1.0;
    std::optional<QCursor> remoteCursor_;
    enum class CursorKind { normal, remote, hidden };
    std::optional<CursorKind> cursorKind_;  // none: apply at the next pointer position
    bool leftDown_ = false;
    ClickCounter clicks_;
    QPointer<QWindow> watchedWindow_;
};

}  // namespace orvanta::client
