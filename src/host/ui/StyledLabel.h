// The host screens' text: a wrapping label in one of the theme's text styles and colours.
#pragma once

#include <QLabel>

#include "client/ui/ThemeStyles.h"

namespace orvanta::host::ui {

// A label owned by `parent` whose colour follows the theme from now on.
QLabel* styledLabel(const QString& text, client::TextStyle style, client::ThemeColour colour, QWidget* parent);

}  // namespace orvanta::host::ui
