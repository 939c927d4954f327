#include "client/ui/VideoSurface.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyleHints>
#include <QTimer>
#include <QWheelEvent>
#include <QWindow>

#include "client/ui/PictureViews.h"
#include "client/ui/RemoteCursor.h"

namespace orvanta::client {

VideoSurface::VideoSurface(base::Executor& main, const base::Clock& clock, PaintPath path, QWidget* parent)
    : QWidget(parent), presenter_(std::make_shared<VideoPresenter>(main, clock)) {
    // Keys arrive raw: composition by an input method would keep them from the host.
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setFocusPolicy(Qt::ClickFocus);
    setMouseTracking(true);
    presenter_->onPictureDue = [this] {
        if (pictureView_) pictureView_->widget()->update();
    };
    presenter_->onFailure = [this](const DecodeError&) {
        auto source = source_.lock();
        if (source && source->videoDisplayFailed()) call(onRendererFailure);
    };
    // A software rasterizer spends more of the processor on the shader and the window's
    // composition than libswscale does on the whole conversion.
    const OpenGLSupport support = openGLSupport();
    if (path == PaintPath::automatic) path = support == OpenGLSupport::hardware ? PaintPath::openGL : PaintPath::raster;
    if (support == OpenGLSupport::none) path = PaintPath::raster;
    usePictureView(path);
}

VideoSurface::~VideoSurface() {
    if (auto source = source_.lock()) source->unbindVideoDisplay();
    pictureView_->nextPicture = nullptr;
    pictureView_->onPainted = nullptr;
    call(onFocusLost);
}

void VideoSurface::usePictureView(PaintPath path) {
    if (pictureView_) pictureView_->widget()->deleteLater();
    paintPath_ = path;
    pictureView_ = path == PaintPath::openGL ? makeOpenGLPictureView(this) : makeRasterPictureView(this);
    QWidget* view = pictureView_->widget();
    pictureView_->nextPicture = [this] { return presenter_->takePicture(); };
    pictureView_->onPainted = [this, view](std::uint64_t receivedMicros) {
        // Pictures still waiting are shown one a paint, in order.
        if (presenter_->waitingPictures() > 0) QTimer::singleShot(0, view, [view] { view->update(); });
        if (onPainted) onPainted(receivedMicros);
    };
    pictureView_->onUnusable = [this] { usePictureView(PaintPath::raster); };
    layOutPicture();
    view->show();
}

void VideoSurface::setSource(const std::shared_ptr<VideoSource>& source) {
    auto current = source_.lock();
    if (current == source) return;
    if (current) current->unbindVideoDisplay();
    presenter_->flush();
    source_ = source;
    if (source) source->bindVideoDisplay(presenter_);
}

void VideoSurface::setStreamSize(StreamSize size) {
    if (size == streamSize_) return;
    streamSize_ = size;
    layOutPicture();
    showCursorAt(mapFromGlobal(QCursor::pos()));
}

void VideoSurface::updateCursor(const std::optional<protocol::CursorPosition::Shape>& shape, double scale) {
    const double quantized = quantizedCursorScale(scale);
    if (shape == cursorShape_ && quantized == cursorScale_) return;
    cursorShape_ = shape;
    cursorScale_ = quantized;
    remoteCursor_ = shape ? RemoteCursor::make(*shape, quantized) : std::nullopt;
    cursorKind_.reset();
    showCursorAt(mapFromGlobal(QCursor::pos()));
}

void VideoSurface::setImmersive(bool immersive) {
    if (immersive == immersive_) return;
    immersive_ = immersive;
    layOutPicture();
    showCursorAt(mapFromGlobal(QCursor::pos()));
    geometryChanged();
}

Rect VideoSurface::videoRect() const { return client::videoRect(viewport().bounds, streamSize_, immersive_); }

ViewportMetrics VideoSurface::viewport() const {
    return {{0, 0, static_cast<double>(width()), static_cast<double>(height())}, devicePixelRatioF()};
}

void VideoSurface::layOutPicture() {
    if (!pictureView_) return;
    pictureView_->widget()->setGeometry(rect());
    const Rect video = videoRect();
    pictureView_->setVideoRect(QRectF(video.x, video.y, video.width, video.height));
}

// ---- Pointer

void VideoSurface::sendPointer(std::string action, std::optional<NormalizedPoint> point,
                               std::optional<ScrollAmount> scroll) {
    if (!onInput) return;
    SurfacePointer pointer{std::move(action), point, {}, {}};
    if (scroll) {
        pointer.dx = scroll->dx;
        pointer.dy = scroll->dy;
    }
    onInput(pointer);
}

void VideoSurface::send(std::string action, const QPointF& at, bool clamp, std::optional<ScrollAmount> scroll) {
    const auto point = normalized(at.x(), at.y(), viewport().bounds, videoRect(), clamp);
    if (point) sendPointer(std::move(action), point, scroll);
}

void VideoSurface::mouseMoveEvent(QMouseEvent* event) {
    showCursorAt(event->position());
    if (leftDown_) return send("drag", event->position(), true);
    // Qt also reports hovering over an inactive window, which must not move the host's pointer.
    if (event->buttons() == Qt::NoButton && isActiveWindow()) send("move", event->position(), false);
}

void VideoSurface::press(QMouseEvent* event) {
    const QPointF at = event->position();
    switch (event->button()) {
        case Qt::LeftButton: {
            setFocus(Qt::MouseFocusReason);
            const int clicks = clicks_.press(Qt::LeftButton, at.x(), at.y(), event->timestamp(),
                                             QGuiApplication::styleHints()->mouseDoubleClickInterval(),
                                             QGuiApplication::styleHints()->mouseDoubleClickDistance());
            const auto point = normalized(at.x(), at.y(), viewport().bounds, videoRect(), false);
            if (!point || !onInput) return;
            leftDown_ = true;
            return sendPointer(clicks < 2 ? "down" : "double", point, {});
        }
        case Qt::RightButton:
            setFocus(Qt::MouseFocusReason);
            return send("right", at, false);
        case Qt::MiddleButton:
            return send("middle", at, false);
        default:
            return;
    }
}

void VideoSurface::mousePressEvent(QMouseEvent* event) { press(event); }

// Qt reports the second press of a double click only as this event.
void VideoSurface::mouseDoubleClickEvent(QMouseEvent* event) { press(event); }

void VideoSurface::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !leftDown_) return;
    leftDown_ = false;
    const QPointF at = event->position();
    sendPointer("up", normalized(at.x(), at.y(), viewport().bounds, videoRect(), true), {});
}

void VideoSurface::wheelEvent(QWheelEvent* event) {
    // pixelDelta on X11 depends on the driver; angleDelta is the same for every wheel.
    const auto amount = wheelScroll(event->angleDelta().x(), event->angleDelta().y());
    if (amount) send("scroll", event->position(), false, amount);
}

void VideoSurface::showCursorAt(const QPointF& at) {
    const bool overVideo = normalized(at.x(), at.y(), viewport().bounds, videoRect(), false).has_value();
    const CursorKind kind = !overVideo ? CursorKind::normal : remoteCursor_ ? CursorKind::remote : CursorKind::hidden;
    if (kind == cursorKind_) return;
    cursorKind_ = kind;
    switch (kind) {
        case CursorKind::normal:
            unsetCursor();
            break;
        case CursorKind::remote:
            setCursor(*remoteCursor_);
            break;
        case CursorKind::hidden:
            setCursor(Qt::BlankCursor);
            break;
    }
}

// ---- Keys

bool VideoSurface::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        // Accepting it keeps the window's shortcuts from taking a chord meant for the host.
        auto* key = static_cast<QKeyEvent*>(event);
        if (localShortcut(key->modifiers(), key->key(), immersive_) == LocalShortcut::none) {
            key->accept();
            return true;
        }
    } else if (event->type() == QEvent::KeyPress) {
        // Tab would otherwise move the focus instead of reaching the host.
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            return true;
        }
    }
    return QWidget::event(event);
}

void VideoSurface::keyPressEvent(QKeyEvent* event) {
    const LocalShortcut shortcut = localShortcut(event->modifiers(), event->key(), immersive_);
    if (shortcut != LocalShortcut::none) {
        if (!event->isAutoRepeat() || actsOnRepeat(shortcut)) performShortcut(shortcut);
        return;
    }
    if (onInput)
        onInput(SurfaceKey{SurfaceKey::Phase::press, event->nativeScanCode(), event->text().toStdString(),
                           event->isAutoRepeat()});
}

void VideoSurface::keyReleaseEvent(QKeyEvent* event) {
    if (onInput)
        onInput(SurfaceKey{SurfaceKey::Phase::release, event->nativeScanCode(), event->text().toStdString(),
                           event->isAutoRepeat()});
}

void VideoSurface::performShortcut(LocalShortcut shortcut) {
    switch (shortcut) {
        case LocalShortcut::toggleFullScreen:
            return call(onToggleFullScreen);
        case LocalShortcut::openSettings:
            return call(onOpenSettings);
        case LocalShortcut::focusNavigation:
            return call(onFocusNavigation);
        case LocalShortcut::none:
            return;
    }
}

// ---- Focus and geometry

void VideoSurface::focusOutEvent(QFocusEvent* event) {
    call(onFocusLost);
    QWidget::focusOutEvent(event);
}

void VideoSurface::resizeEvent(QResizeEvent* event) {
    layOutPicture();
    if (event->oldSize() != event->size()) geometryChanged();
}

void VideoSurface::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (QWindow* handle = window()->windowHandle(); handle && handle != watchedWindow_) {
        watchedWindow_ = handle;
        connect(handle, &QWindow::screenChanged, this, [this] { geometryChanged(); });
    }
    setFocus(Qt::OtherFocusReason);
    geometryChanged();
}

void VideoSurface::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    geometryChanged();
}

void VideoSurface::geometryChanged() { call(onGeometryChange); }

}  // namespace orvanta::client
