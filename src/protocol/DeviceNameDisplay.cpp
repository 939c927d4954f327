#include "protocol/DeviceNameDisplay.h"

#include <algorithm>

#include "base/Utf8.h"

namespace orvanta::protocol {
namespace {

bool isInvisible(char32_t c) {
    const bool control = c <= 0x1F || (c >= 0x7F && c <= 0x9F);
    return control || c == 0x200B || c == 0x200C || c == 0x200D || c == 0xFE0E || c == 0xFE0F || c == 0xFEFF;
}

}  // namespace

std::string trimmedDeviceNameForDisplay(std::string_view name) {
    const std::u32string scalars = base::decodeUtf8Lossy(name);
    auto first = std::find_if_not(scalars.begin(), scalars.end(), isInvisible);
    if (first == scalars.end()) return {};
    auto last = std::find_if_not(scalars.rbegin(), scalars.rend(), isInvisible).base();
    return base::encodeUtf8(std::u32string_view(&*first, static_cast<std::size_t>(last - first)));
}

}  // namespace orvanta::protocol
