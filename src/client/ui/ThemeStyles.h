// The theme on screen: one application palette built from the stored theme mode and the system's
// appearance, rebuilt when either changes, the theme's colours for widgets that draw with more than
// the palette's roles, and the two shared button styles.
#pragma once

#include <QObject>
#include <QPalette>
#include <QPushButton>

#include <memory>
#include <optional>
#include <string_view>

#include "base/Settings.h"
#include "client/ui/Theme.h"

namespace orvanta::client {

enum class TextStyle { body, subheadline, caption, footnote, statusTitle, code };

namespace Theme {

// The application font in a text style's size and weight.
QFont font(TextStyle style);
// The colour in the appearance the application draws in now.
QColor color(ThemeColour colour);
// True when the palette reads dark: its window is darker than its text.
bool isDark(const QPalette& palette);
// The application palette for an appearance, with `system` answering the system colours.
QPalette palette(Appearance appearance, const QPalette& system);
// Gives the widget's text the colour, now and after every theme change.
void tint(QWidget* widget, ThemeColour colour);

}  // namespace Theme

// Owns the application palette: made once after the application object; the palette follows
// "lumicrate.themeMode" and the system's appearance. The system's appearance is read from the
// platform theme's palette, apart from the palette this controller sets: changes it causes
// itself are not system changes. High contrast is never reported on this platform.
class ThemeController final : public QObject {
public:
    explicit ThemeController(std::shared_ptr<base::Settings> defaults);
    ~ThemeController() override;
    ThemeController(const ThemeController&) = delete;
    ThemeController& operator=(const ThemeController&) = delete;

    Appearance appearance() const;
    bool systemDark() const { return Theme::isDark(system_); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void apply();
    void readSystemPalette();

    std::shared_ptr<base::Settings> defaults_;
    std::optional<base::Settings::ObserverId> observer_;
    QPalette system_;
    bool applying_ = false;
    bool rereadPending_ = false;
};

// A one-point rule in the line colour, as wide as it is laid out.
class SeparatorLine final : public QWidget {
public:
    explicit SeparatorLine(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A filled circle in a theme colour: the dot beside a session state.
class StateDot final : public QWidget {
public:
    StateDot(int diameter, QWidget* parent = nullptr);
    void setColour(ThemeColour colour);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    ThemeColour colour_ = ThemeColour::danger;
};

// UTF-8 text as Qt holds it.
inline QString qtText(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

// A borderless button: text in `foreground`, `horizontalPadding` left and right and 4 above and
// below, a rounded surface2 ground while pressed.
class FlatButton : public QPushButton {
public:
    FlatButton(const QString& text, ThemeColour foreground, int horizontalPadding, QWidget* parent = nullptr);
    void setForeground(ThemeColour foreground);
    void setTrailingSpace(int points);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    ThemeColour foreground_;
    int horizontalPadding_;
    int trailingSpace_ = 0;
};

// A bordered button: body text, 12 points of padding, at least 40 points high, a 1-point rounded
// outline in the line colour and a surface2 ground while pressed.
class OutlinedButton : public QPushButton {
public:
    explicit OutlinedButton(const QString& text, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace orvanta::client
