#include "host/transport/PairRequest.h"

#include <unicode/ubrk.h>
#include <unicode/ustring.h>

#include <string_view>
#include <vector>

#include "base/Json.h"

namespace orvanta::host {
namespace {

// Whether valid UTF-8 text has more than `limit` grapheme clusters.
bool exceedsGraphemes(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return false;  // every cluster takes at least one byte
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return true;
    std::vector<UChar> units(static_cast<std::size_t>(length));
    status = U_ZERO_ERROR;
    u_strFromUTF8(units.data(), length, nullptr, text.data(), static_cast<int32_t>(text.size()), &status);
    if (U_FAILURE(status)) return true;
    UBreakIterator* breaks = ubrk_open(UBRK_CHARACTER, nullptr, units.data(), length, &status);
    if (U_FAILURE(status)) return true;
    std::size_t clusters = 0;
    ubrk_first(breaks);
    while (ubrk_next(breaks) != UBRK_DONE && clusters <= limit) ++clusters;
    ubrk_close(breaks);
    return clusters > limit;
}

}  // namespace

std::optional<PairRequest> PairRequest::decode(base::ByteView body, std::size_t maxIdCharacters,
                                               std::size_t maxCodeCharacters) {
    auto object = base::parseJsonObject(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    if (!object) return std::nullopt;
    auto text = [&](const char* key) -> const std::string* {
        auto found = object->find(key);
        return found != object->end() && found->is_string() ? found->get_ptr<const std::string*>() : nullptr;
    };
    const auto* code = text("code");
    const auto* deviceId = text("deviceId");
    const auto* deviceName = text("deviceName");
    if (!code || !deviceId || !deviceName || deviceId->empty() || exceedsGraphemes(*deviceId, maxIdCharacters) ||
        exceedsGraphemes(*deviceName, maxIdCharacters) || exceedsGraphemes(*code, maxCodeCharacters)) {
        return std::nullopt;
    }
    return PairRequest{*code, *deviceId, *deviceName};
}

}  // namespace orvanta::host
