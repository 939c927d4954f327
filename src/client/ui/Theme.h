// The palette every screen of both sides draws with, its stored mode and the layout constants, free
// of any toolkit: twelve named colours with a dark and a light value each and a system colour for
// the high-contrast appearances, and the rule that picks one for an appearance.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

namespace orvanta::client {

enum class ThemeColour {
    bg,
    surface,
    surface2,
    text,
    muted,
    line,
    accent,
    stateOK,
    stateWarn,
    danger,
    keyFace,
    keyEdge
};

// The system's own colours that the high-contrast appearances use, named by their use.
enum class SystemColour {
    windowBackground,
    controlBackground,
    unemphasizedSelectedContentBackground,
    label,
    secondaryLabel,
    separator,
    controlAccent,
    green,
    orange,
    red,
};

enum class Appearance { light, dark, highContrastLight, highContrastDark };
enum class ColourScheme { light, dark };

struct Rgb {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    bool operator==(const Rgb&) const = default;
};

namespace Theme {

inline constexpr std::string_view kModeKey = "lumicrate.themeMode";
inline constexpr double kNavigationHeight = 38;

// Dark in the low 32 bits, light in the high 32 bits, each 0x00RRGGBB.
struct Entry {
    std::uint64_t packed;
    std::optional<SystemColour> highContrast;
};
const Entry& entry(ThemeColour colour);

// The stored mode as a scheme: exactly "light" or "dark"; anything else follows the system.
std::optional<ColourScheme> colourScheme(std::string_view mode);

// The appearance to draw in: the stored mode's scheme, else the system's; high contrast only when
// the system asks for it.
Appearance appearance(std::optional<ColourScheme> chosen, bool systemDark, bool systemHighContrast);

// A colour's value in an appearance: the system colour in high contrast where the entry has one,
// otherwise the dark value for the dark appearances and the light value for the others.
std::variant<Rgb, SystemColour> resolve(ThemeColour colour, Appearance appearance);

}  // namespace Theme

namespace DesktopLayout {
inline constexpr double kPadding = 20;
inline constexpr double kLeftWidth = 300;
inline constexpr double kColumnSpacing = 20;
inline constexpr double kRightWidth = 420;
inline constexpr double kMaxWidth = 740;
inline constexpr double kTwoColumnMinWidth = 680;
}  // namespace DesktopLayout

}  // namespace orvanta::client
