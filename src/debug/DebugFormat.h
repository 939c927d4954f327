// The texts of the debug log: its time stamp, decimals, optionals and sizes, all without the locale.
#pragma once

#include <optional>
#include <string>

#include "base/NumberText.h"
#include "protocol/ControlMessages.h"

namespace orvanta::debug {

// The shortest text that reads back as the same double, with at least one decimal: "2.0".
using base::decimalText;
// `value` with `decimals` fixed decimals, right-aligned in `width` characters ("%7.3f").
std::string fixedText(double value, int decimals, int width = 0);
// "[%7.3f] " of the seconds since the log's start.
std::string logPrefix(double seconds);
// The stored per-host values as the log prints them: "Optional(true)", "Optional(1.5)" or "nil".
std::string optionalText(std::optional<bool> value);
std::string optionalText(std::optional<double> value);
// A size truncated toward zero: "1280x720".
std::string sizeText(double width, double height);
// The host's cursor as "(%.4f, %.4f)", or "nil".
std::string cursorText(const std::optional<protocol::CursorPosition>& cursor);

}  // namespace orvanta::debug
