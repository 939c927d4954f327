// Feeds arbitrary bytes to the control-message decoder. Whatever decodes must encode, its text must
// decode to an equal message, and that message must encode to the same text again. The JSON parser
// underneath must accept exactly what nlohmann's reference parser accepts, with the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "base/Json.h"
#include "protocol/ControlMessages.h"

namespace {

using orvanta::base::Json;
using orvanta::protocol::ClipboardImage;
using orvanta::protocol::ControlMessage;

// Same JSON types and values, doubles bit for bit.
bool sameValue(const Json& a, const Json& b) {
    if (a.type() != b.type()) return false;
    if (a.is_number_float()) {
        double x = a.get<double>();
        double y = b.get<double>();
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (!a.is_structured()) return a == b;
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if ((a.is_object() && i.key() != j.key()) || !sameValue(*i, *j)) return false;
    }
    return true;
}

void checkParserAgreesWithReference(std::string_view text) {
    auto ours = orvanta::base::parseJson(text);
    // The reference stops reading at a NUL byte; ours refuses it like any stray byte.
    if (text.find('\0') != std::string_view::npos) {
        if (ours) std::abort();
        return;
    }
    Json reference = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (ours.has_value() == reference.is_discarded()) std::abort();
    if (ours && !sameValue(*ours, reference)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    checkParserAgreesWithReference(text);

    auto message = ControlMessage::decode(text);
    std::ostringstream printed;
    if (!message) {
        printed << message.error();
        return 0;
    }
    printed << *message;
    if (const auto* image = message->as<ClipboardImage>()) (void)image->decodePng();

    auto encoded = message->jsonString();
    if (!encoded) std::abort();
    auto again = ControlMessage::decode(*encoded);
    if (!again || *again != *message) std::abort();
    if (again->jsonString() != encoded) std::abort();
    return 0;
}
