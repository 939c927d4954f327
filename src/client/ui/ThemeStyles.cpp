#include "client/ui/ThemeStyles.h"

#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionButton>
#include <QTimer>
#include <QWidget>

namespace orvanta::client {
namespace {

constexpr char kTintProperty[] = "orvantaTint";
constexpr double kCornerRadius = 4;
constexpr int kFlatVerticalPadding = 4;
constexpr int kOutlinedPadding = 12;
constexpr int kOutlinedMinimumHeight = 40;
// The family that draws Japanese with Japanese glyph forms; the system's own family stays first for
// everything it covers.
constexpr char kJapaneseFamily[] = "Noto Sans CJK JP";

// The palette is one for the whole application, so the appearance it was built for is too.
struct Drawn {
    Appearance appearance = Appearance::light;
    std::optional<QPalette> system;
};
Drawn& drawn() {
    static Drawn current;
    return current;
}

QColor qColor(Rgb rgb) { return {rgb.red, rgb.green, rgb.blue}; }

QColor systemColour(SystemColour colour, const QPalette& system) {
    switch (colour) {
        case SystemColour::windowBackground:
            return system.color(QPalette::Window);
        case SystemColour::controlBackground:
            return system.color(QPalette::Base);
        case SystemColour::unemphasizedSelectedContentBackground:
            return system.color(QPalette::AlternateBase);
        case SystemColour::label:
            return system.color(QPalette::WindowText);
        case SystemColour::secondaryLabel:
            return system.color(QPalette::PlaceholderText);
        case SystemColour::separator:
            return system.color(QPalette::Mid);
        case SystemColour::controlAccent:
            return system.color(QPalette::Highlight);
        case SystemColour::green:
        case SystemColour::orange:
        case SystemColour::red:
            break;
    }
    return {};
}

QColor resolved(ThemeColour colour, Appearance appearance, const QPalette& system) {
    const auto value = Theme::resolve(colour, appearance);
    if (const auto* rgb = std::get_if<Rgb>(&value)) return qColor(*rgb);
    const QColor fromSystem = systemColour(std::get<SystemColour>(value), system);
    if (fromSystem.isValid()) return fromSystem;
    // The system palette has no green, orange or red: the theme's own for the same brightness.
    const bool dark = appearance == Appearance::highContrastDark;
    return qColor(std::get<Rgb>(Theme::resolve(colour, dark ? Appearance::dark : Appearance::light)));
}

void applyTint(QWidget* widget, ThemeColour colour) {
    QPalette palette = widget->palette();
    const QColor value = Theme::color(colour);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(QPalette::Active, role, value);
        palette.setColor(QPalette::Inactive, role, value);
    }
    widget->setPalette(palette);
}

QPainterPath rounded(const QRectF& rect) {
    QPainterPath path;
    path.addRoundedRect(rect, kCornerRadius, kCornerRadius);
    return path;
}

void paintFocus(QPainter& painter, const QWidget& widget) {
    if (!widget.hasFocus()) return;
    painter.setPen(QPen(Theme::color(ThemeColour::accent), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(rounded(QRectF(widget.rect()).adjusted(0.5, 0.5, -0.5, -0.5)));
}

}  // namespace

namespace Theme {

QFont font(TextStyle style) {
    QFont font = QApplication::font();
    switch (style) {
        case TextStyle::body:
            font.setPixelSize(14);
            break;
        case TextStyle::subheadline:
            font.setPixelSize(12);
            break;
        case TextStyle::caption:
        case TextStyle::footnote:
            font.setPixelSize(11);
            break;
        case TextStyle::statusTitle:
            font.setPixelSize(17);
            font.setWeight(QFont::DemiBold);
            break;
        case TextStyle::code:
            font.setPixelSize(20);
            font.setStyleHint(QFont::Monospace);
            font.setFamilies({QFontDatabase::systemFont(QFontDatabase::FixedFont).family(), kJapaneseFamily});
            break;
    }
    return font;
}

QColor color(ThemeColour colour) {
    const auto& current = drawn();
    return resolved(colour, current.appearance, current.system.value_or(QGuiApplication::palette()));
}

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightnessF() < palette.color(QPalette::WindowText).lightnessF();
}

QPalette palette(Appearance appearance, const QPalette& system) {
    const auto c = [&](ThemeColour colour) { return resolved(colour, appearance, system); };
    QPalette p;
    const QColor bg = c(ThemeColour::bg);
    const QColor text = c(ThemeColour::text);
    const QColor accent = c(ThemeColour::accent);
    const QColor onAccent = accent.lightnessF() > 0.5 ? QColor(Qt::black) : QColor(Qt::white);
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool disabled = group == QPalette::Disabled;
        const QColor foreground = disabled ? c(ThemeColour::muted) : text;
        p.setColor(group, QPalette::Window, bg);
        p.setColor(group, QPalette::WindowText, foreground);
        p.setColor(group, QPalette::Base, c(ThemeColour::surface));
        p.setColor(group, QPalette::AlternateBase, c(ThemeColour::surface2));
        p.setColor(group, QPalette::Text, foreground);
        p.setColor(group, QPalette::Button, c(ThemeColour::surface));
        p.setColor(group, QPalette::ButtonText, foreground);
        p.setColor(group, QPalette::PlaceholderText, c(ThemeColour::muted));
        p.setColor(group, QPalette::Highlight, accent);
        p.setColor(group, QPalette::HighlightedText, onAccent);
        p.setColor(group, QPalette::Light, c(ThemeColour::surface2));
        p.setColor(group, QPalette::Midlight, c(ThemeColour::surface2));
        p.setColor(group, QPalette::Mid, c(ThemeColour::line));
        p.setColor(group, QPalette::Dark, c(ThemeColour::line));
        p.setColor(group, QPalette::Shadow, c(ThemeColour::keyEdge));
        p.setColor(group, QPalette::BrightText, c(ThemeColour::danger));
        p.setColor(group, QPalette::ToolTipBase, c(ThemeColour::surface));
        p.setColor(group, QPalette::ToolTipText, text);
        p.setColor(group, QPalette::Link, accent);
        p.setColor(group, QPalette::LinkVisited, accent);
    }
    return p;
}

void tint(QWidget* widget, ThemeColour colour) {
    widget->setProperty(kTintProperty, static_cast<int>(colour));
    applyTint(widget, colour);
}

}  // namespace Theme

// ---------------------------------------------------------------------------------------------

ThemeController::ThemeController(std::shared_ptr<base::Settings> defaults) : defaults_(std::move(defaults)) {
    system_ = QGuiApplication::palette();
    QFont font = QApplication::font();
    if (QFontDatabase::hasFamily(kJapaneseFamily)) {
        font.setFamilies({font.family(), kJapaneseFamily});
        QApplication::setFont(font);
    }
    observer_ = defaults_->observe(Theme::kModeKey, [this](const auto&) {
        QMetaObject::invokeMethod(
            this, [this] { apply(); }, Qt::QueuedConnection);
    });
    qApp->installEventFilter(this);
    apply();
}

ThemeController::~ThemeController() {
    if (observer_) defaults_->removeObserver(*observer_);
    qApp->removeEventFilter(this);
    drawn().system.reset();
    // Give back the system's palette.
    QGuiApplication::setPalette(QPalette());
}

Appearance ThemeController::appearance() const {
    const auto mode = defaults_->string(Theme::kModeKey).value_or("system");
    return Theme::appearance(Theme::colourScheme(mode), systemDark(), false);
}

void ThemeController::apply() {
    auto& current = drawn();
    current.appearance = appearance();
    current.system = system_;
    applying_ = true;
    QApplication::setPalette(Theme::palette(current.appearance, system_));
    for (QWidget* widget : QApplication::allWidgets()) {
        const QVariant tinted = widget->property(kTintProperty);
        if (tinted.isValid()) applyTint(widget, static_cast<ThemeColour>(tinted.toInt()));
        widget->update();
    }
    applying_ = false;
}

void ThemeController::readSystemPalette() {
    // Resetting the application palette falls back to the platform theme's, which is the system's.
    applying_ = true;
    QGuiApplication::setPalette(QPalette());
    system_ = QGuiApplication::palette();
    applying_ = false;
}

bool ThemeController::eventFilter(QObject* watched, QEvent* event) {
    // Every window hears of a theme change; read the system once for all of them.
    if (event->type() == QEvent::ThemeChange && !applying_ && !rereadPending_) {
        rereadPending_ = true;
        QTimer::singleShot(0, this, [this] {
            rereadPending_ = false;
            readSystemPalette();
            apply();
        });
    }
    return QObject::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------------

SeparatorLine::SeparatorLine(QWidget* parent) : QWidget(parent) {
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void SeparatorLine::paintEvent(QPaintEvent*) { QPainter(this).fillRect(rect(), Theme::color(ThemeColour::line)); }

StateDot::StateDot(int diameter, QWidget* parent) : QWidget(parent) { setFixedSize(diameter, diameter); }

void StateDot::setColour(ThemeColour colour) {
    colour_ = colour;
    update();
}

void StateDot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::color(colour_));
    painter.drawEllipse(rect());
}

FlatButton::FlatButton(const QString& text, ThemeColour foreground, int horizontalPadding, QWidget* parent)
    : QPushButton(text, parent), foreground_(foreground), horizontalPadding_(horizontalPadding) {
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
}

void FlatButton::setForeground(ThemeColour foreground) {
    foreground_ = foreground;
    update();
}

void FlatButton::setTrailingSpace(int points) {
    trailingSpace_ = points;
    updateGeometry();
}

QSize FlatButton::sizeHint() const {
    const QSize textSize = fontMetrics().size(Qt::TextShowMnemonic, text());
    return {textSize.width() + 2 * horizontalPadding_ + trailingSpace_, textSize.height() + 2 * kFlatVerticalPadding};
}

void FlatButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = rect();
    if (isDown()) painter.fillPath(rounded(area), Theme::color(ThemeColour::surface2));
    QColor foreground = Theme::color(foreground_);
    if (!isEnabled()) foreground.setAlphaF(0.4);
    painter.setPen(foreground);
    const QRect textArea = rect().adjusted(horizontalPadding_, 0, -horizontalPadding_ - trailingSpace_, 0);
    painter.drawText(textArea, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextShowMnemonic, text());
    paintFocus(painter, *this);
}

OutlinedButton::OutlinedButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
}

QSize OutlinedButton::sizeHint() const {
    const QSize textSize = fontMetrics().size(Qt::TextShowMnemonic, text());
    return {textSize.width() + 2 * kOutlinedPadding,
            std::max(textSize.height() + 2 * kOutlinedPadding, kOutlinedMinimumHeight)};
}

void OutlinedButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF inside = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (isDown()) painter.fillPath(rounded(inside), Theme::color(ThemeColour::surface2));
    painter.setPen(QPen(hasFocus() ? Theme::color(ThemeColour::accent) : Theme::color(ThemeColour::line), 1));
    painter.drawPath(rounded(inside));
    QColor foreground = Theme::color(ThemeColour::text);
    if (!isEnabled()) foreground.setAlphaF(0.4);
    painter.setPen(foreground);
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextShowMnemonic, text());
}

}  // namespace orvanta::client
