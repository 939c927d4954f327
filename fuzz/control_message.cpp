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
#include "support/JsonSameValue.h"

namespace {

using orvanta::base::Json;
using orvanta::protocol::ClipboardImage;
using orvanta::protocol::ControlMessage;

using orvanta::testing::sameValue;

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
