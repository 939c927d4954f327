// How every device or host name is trimmed before it is shown.
#pragma once

#include <string>
#include <string_view>

namespace orvanta::protocol {

// The text from the first to the last visible scalar, or empty when there is none. Invisible are
// U+200B, U+200C, U+200D, U+FE0E, U+FE0F, U+FEFF and the control characters (Cc); spaces count as
// visible, and invisible scalars inside the name stay. Bytes that are not UTF-8 read as U+FFFD.
std::string trimmedDeviceNameForDisplay(std::string_view name);

}  // namespace orvanta::protocol
