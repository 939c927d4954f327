#include "debug/ui/LocalEventMonitor.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyleHints>
#include <QWheelEvent>

#include <cmath>

#include "client/viewer/KeyMapping.h"

namespace orvanta::debug {
namespace {

constexpr double kWheelNotch = 120;

bool isMonitored(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseButtonRelease:
        case QEvent::KeyPress:
        case QEvent::Wheel:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool LocalEventMonitor::eventFilter(QObject* watched, QEvent* event) {
    // A window's events reach its widgets after it: recording at the window keeps one entry each,
    // and consuming there keeps them from the widgets.
    if (!watched->isWindowType()) return isMonitored(event->type());
    switch (event->type()) {
        case QEvent::MouseButtonPress:
            return mousePressed(*static_cast<QMouseEvent*>(event));
        // The press before it was already counted as the second click.
        case QEvent::MouseButtonDblClick:
            return true;
        case QEvent::MouseButtonRelease:
            return mouseReleased(*static_cast<QMouseEvent*>(event));
        case QEvent::MouseMove:
            return mouseMoved(*static_cast<QMouseEvent*>(event));
        case QEvent::ShortcutOverride:
            // Claimed, so that no shortcut takes the key before its press arrives here.
            event->accept();
            return true;
        case QEvent::KeyPress: {
            const auto code = client::virtualKeyCode(static_cast<QKeyEvent*>(event)->nativeScanCode());
            record_({.type = ObservedEvent::Type::keyDown, .keyCode = code ? *code : client::kNoKeyCode});
            return true;
        }
        case QEvent::Wheel: {
            // In lines: notches of the wheel.
            const double lines = static_cast<QWheelEvent*>(event)->angleDelta().y() / kWheelNotch;
            record_({.type = ObservedEvent::Type::scroll, .scrollDy = lines});
            return true;
        }
        default:
            return false;
    }
}

// A press soon after the last one, close to it, is the second click of a double click: the toolkit
// delivers it as a plain press and only then as a double click.
bool LocalEventMonitor::mousePressed(const QMouseEvent& event) {
    if (event.button() == Qt::RightButton) {
        record_({.type = ObservedEvent::Type::rightDown});
        return true;
    }
    if (event.button() != Qt::LeftButton) return true;
    const QPointF at = event.scenePosition();
    const auto* hints = QGuiApplication::styleHints();
    const bool second =
        lastPress_ && clickCount_ == 1 &&
        event.timestamp() - lastPress_->timestamp <= static_cast<std::uint64_t>(hints->mouseDoubleClickInterval()) &&
        (at - lastPress_->at).manhattanLength() <= hints->mouseDoubleClickDistance();
    clickCount_ = second ? 2 : 1;
    lastPress_ = Press{event.timestamp(), at};
    record_({.type = ObservedEvent::Type::leftDown, .clickCount = clickCount_, .x = at.x(), .y = at.y()});
    return true;
}

bool LocalEventMonitor::mouseReleased(const QMouseEvent& event) {
    if (event.button() == Qt::LeftButton) record_({.type = ObservedEvent::Type::leftUp, .clickCount = clickCount_});
    return true;
}

bool LocalEventMonitor::mouseMoved(const QMouseEvent& event) {
    if (!(event.buttons() & Qt::LeftButton)) return false;
    record_({.type = ObservedEvent::Type::dragged});
    return true;
}

}  // namespace orvanta::debug
