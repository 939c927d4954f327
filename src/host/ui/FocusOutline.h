// The host screens' focus mark: a 2-point accent outline with rounded corners drawn inside a
// control while it holds the keyboard focus. It takes no clicks and is not seen by accessibility.
#pragma once

#include <QWidget>

namespace orvanta::host::ui {

class FocusOutline final : public QWidget {
public:
    // Follows `control`'s focus and size from now on; owned by it.
    static void attach(QWidget* control);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    explicit FocusOutline(QWidget* control);
};

}  // namespace orvanta::host::ui
