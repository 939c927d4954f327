#include "client/ui/QtAppWindow.h"

#include <QEvent>
#include <QScreen>
#include <QTimer>
#include <QWindowStateChangeEvent>

namespace orvanta::client {
namespace {

platform::Rect rect(const QRect& r) { return {double(r.x()), double(r.y()), double(r.width()), double(r.height())}; }

}  // namespace

QtAppWindow::QtAppWindow(QWidget* window, QWidget* content) : window_(window), content_(content) {
    window->installEventFilter(this);
}

QtAppWindow::~QtAppWindow() {
    if (window_) window_->removeEventFilter(this);
}

platform::Rect QtAppWindow::frame() const { return window_ ? rect(window_->frameGeometry()) : platform::Rect{}; }

Size QtAppWindow::contentSize() const {
    const QWidget* content = content_ ? content_.data() : window_.data();
    if (!content) return {};
    return {double(content->width()), double(content->height())};
}

std::optional<platform::Rect> QtAppWindow::screenVisibleFrame() const {
    if (!window_ || !window_->screen()) return std::nullopt;
    return rect(window_->screen()->availableGeometry());
}

void QtAppWindow::setFrame(const platform::Rect& frame) {
    if (!window_) return;
    const QRect outer = window_->frameGeometry();
    const QRect inner = window_->geometry();
    const int decorationWidth = outer.width() - inner.width();
    const int decorationHeight = outer.height() - inner.height();
    window_->resize(std::max(int(frame.width) - decorationWidth, 1), std::max(int(frame.height) - decorationHeight, 1));
    window_->move(int(frame.x), int(frame.y));
}

bool QtAppWindow::isVisible() const { return window_ && window_->isVisible() && !window_->isMinimized(); }
bool QtAppWindow::isMiniaturized() const { return window_ && window_->isMinimized(); }
bool QtAppWindow::isZoomed() const { return window_ && window_->isMaximized(); }
bool QtAppWindow::isFullScreen() const { return window_ && window_->isFullScreen(); }

void QtAppWindow::zoom() {
    if (window_) window_->setWindowState(window_->windowState() | Qt::WindowMaximized);
}

void QtAppWindow::toggleFullScreen() {
    if (!window_) return;
    if (window_->isFullScreen()) {
        announced_ = Transition::exiting;
        call(onWillExitFullScreen);
        if (window_) window_->setWindowState(window_->windowState() & ~Qt::WindowFullScreen);
    } else {
        announced_ = Transition::entering;
        call(onWillEnterFullScreen);
        if (window_) window_->setWindowState(window_->windowState() | Qt::WindowFullScreen);
    }
}

void QtAppWindow::deminiaturize() {
    if (window_) window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
}

void QtAppWindow::activate() {
    if (!window_) return;
    window_->show();
    window_->raise();
    window_->activateWindow();
}

std::shared_ptr<const MeasuredView> QtAppWindow::videoSurface() const {
    return findVideoSurface ? findVideoSurface() : nullptr;
}

void QtAppWindow::focusVideoSurface() { call(focusSurface); }

bool QtAppWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_) {
        switch (event->type()) {
            case QEvent::Close:
                call(onWillClose);
                break;
            case QEvent::Resize:
            case QEvent::Move:
                call(onResizeOrMove);
                break;
            case QEvent::WindowStateChange:
                stateChanged(static_cast<QWindowStateChangeEvent*>(event)->oldState());
                break;
            default:
                break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void QtAppWindow::stateChanged(Qt::WindowStates old) {
    const bool was = old.testFlag(Qt::WindowFullScreen);
    const bool now = window_ && window_->isFullScreen();
    if (was == now) return;
    const Transition transition = now ? Transition::entering : Transition::exiting;
    // A change the window manager made was not announced by toggleFullScreen.
    if (announced_ != transition) call(now ? onWillEnterFullScreen : onWillExitFullScreen);
    announced_ = Transition::none;
    QTimer::singleShot(0, this, [this, now] { call(now ? onDidEnterFullScreen : onDidExitFullScreen); });
}

}  // namespace orvanta::client
