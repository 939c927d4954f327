#include "host/ui/FocusOutline.h"

#include <QEvent>
#include <QPainter>

#include "client/ui/ThemeStyles.h"

namespace orvanta::host::ui {

void FocusOutline::attach(QWidget* control) { new FocusOutline(control); }

FocusOutline::FocusOutline(QWidget* control) : QWidget(control) {
    setObjectName("focusOutline");
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    hide();
    control->installEventFilter(this);
}

bool FocusOutline::eventFilter(QObject* watched, QEvent* event) {
    auto* control = parentWidget();
    if (watched == control) {
        switch (event->type()) {
            case QEvent::FocusIn:
            case QEvent::FocusOut:
            case QEvent::Resize:
                setGeometry(control->rect());
                setVisible(control->hasFocus());
                raise();
                break;
            default:
                break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FocusOutline::paintEvent(QPaintEvent*) {
    constexpr qreal kLineWidth = 2;
    constexpr qreal kRadius = 4;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(client::Theme::color(client::ThemeColour::accent), kLineWidth));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), kRadius, kRadius);
}

}  // namespace orvanta::host::ui
