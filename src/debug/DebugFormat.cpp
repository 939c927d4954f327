#include "debug/DebugFormat.h"

#include <array>
#include <charconv>
#include <cstdint>

namespace orvanta::debug {

std::string fixedText(double value, int decimals, int width) {
    std::array<char, 64> buffer{};
    const auto [end, ec] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, decimals);
    std::string text(buffer.data(), ec == std::errc{} ? end : buffer.data());
    if (static_cast<int>(text.size()) < width) text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
    return text;
}

std::string logPrefix(double seconds) { return "[" + fixedText(seconds, 3, 7) + "] "; }

std::string optionalText(std::optional<bool> value) {
    if (!value) return "nil";
    return *value ? "Optional(true)" : "Optional(false)";
}

std::string optionalText(std::optional<double> value) {
    return value ? "Optional(" + base::decimalText(*value) + ")" : "nil";
}

std::string sizeText(double width, double height) {
    return std::to_string(static_cast<std::int64_t>(width)) + "x" + std::to_string(static_cast<std::int64_t>(height));
}

std::string cursorText(const std::optional<protocol::CursorPosition>& cursor) {
    if (!cursor) return "nil";
    return "(" + fixedText(cursor->x, 4) + ", " + fixedText(cursor->y, 4) + ")";
}

}  // namespace orvanta::debug
