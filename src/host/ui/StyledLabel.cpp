#include "host/ui/StyledLabel.h"

namespace orvanta::host::ui {

QLabel* styledLabel(const QString& text, client::TextStyle style, client::ThemeColour colour, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(client::Theme::font(style));
    client::Theme::tint(label, colour);
    label->setWordWrap(true);
    return label;
}

}  // namespace orvanta::host::ui
