#include "client/ui/Theme.h"

namespace orvanta::client::Theme {
namespace {

constexpr std::uint64_t pair(std::uint32_t dark, std::uint32_t light) {
    return static_cast<std::uint64_t>(light) << 32 | dark;
}

constexpr Rgb rgb(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value)};
}

// In ThemeColour's order.
constexpr std::array<Entry, 12> kEntries = {{
    {pair(0x000000, 0xEDEDF2), SystemColour::windowBackground},
    {pair(0x1C1C1E, 0xF8F8FC), SystemColour::controlBackground},
    {pair(0x2C2C2E, 0xE2E2EA), SystemColour::unemphasizedSelectedContentBackground},
    {pair(0xF5F5F7, 0x17171A), SystemColour::label},
    {pair(0x98989F, 0x6E6E76), SystemColour::secondaryLabel},
    {pair(0x38383A, 0xD9D9E0), SystemColour::separator},
    {pair(0xFFD60A, 0xB58900), SystemColour::controlAccent},
    {pair(0x30D158, 0x248A3D), SystemColour::green},
    {pair(0xFF9F0A, 0xA65A00), SystemColour::orange},
    {pair(0xFF453A, 0xD70015), SystemColour::red},
    {pair(0x2E2F33, 0xFFFFFF), SystemColour::controlBackground},
    {pair(0x0A0A0C, 0xB9B9C6), SystemColour::separator},
}};

}  // namespace

const Entry& entry(ThemeColour colour) { return kEntries[static_cast<std::size_t>(colour)]; }

std::optional<ColourScheme> colourScheme(std::string_view mode) {
    if (mode == "light") return ColourScheme::light;
    if (mode == "dark") return ColourScheme::dark;
    return std::nullopt;
}

Appearance appearance(std::optional<ColourScheme> chosen, bool systemDark, bool systemHighContrast) {
    const bool dark = chosen ? *chosen == ColourScheme::dark : systemDark;
    if (systemHighContrast) return dark ? Appearance::highContrastDark : Appearance::highContrastLight;
    return dark ? Appearance::dark : Appearance::light;
}

std::variant<Rgb, SystemColour> resolve(ThemeColour colour, Appearance appearance) {
    const Entry& e = entry(colour);
    const bool highContrast = appearance == Appearance::highContrastDark || appearance == Appearance::highContrastLight;
    if (highContrast && e.highContrast) return *e.highContrast;
    const bool dark = appearance == Appearance::dark || appearance == Appearance::highContrastDark;
    return rgb(static_cast<std::uint32_t>(dark ? e.packed : e.packed >> 32) & 0xFFFFFF);
}

}  // namespace orvanta::client::Theme
