// The pairing endpoint's body, which any device on the LAN may send without a token: decoded with
// the host's limits and, when it decodes, its code checked against an active one as the endpoint
// does. What decodes must hold text within the limits that writes back to a body decoding the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/Json.h"
#include "base/Utf8.h"
#include "host/transport/PairRequest.h"
#include "host/transport/Pairing.h"

namespace {

using orvanta::host::PairRequest;

constexpr std::size_t kMaxIdCharacters = 64;
constexpr std::size_t kMaxCodeCharacters = 32;

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const orvanta::base::ByteView body(data, size);
    const auto request = PairRequest::decode(body, kMaxIdCharacters, kMaxCodeCharacters);
    if (!request) return 0;
    check(!request->deviceId.empty());
    for (const auto* text : {&request->code, &request->deviceId, &request->deviceName}) {
        check(orvanta::base::isValidUtf8(*text));
    }
    // Looser limits never refuse what tighter ones took.
    check(PairRequest::decode(body, kMaxIdCharacters * 2, kMaxCodeCharacters * 2) == request);

    const orvanta::base::Json written{
        {"code", request->code}, {"deviceId", request->deviceId}, {"deviceName", request->deviceName}};
    const auto text = orvanta::base::writeJsonText(written);
    check(text.has_value());
    const orvanta::base::ByteView rewritten(reinterpret_cast<const std::uint8_t*>(text->data()), text->size());
    check(PairRequest::decode(rewritten, kMaxIdCharacters, kMaxCodeCharacters) == request);

    orvanta::host::PairingManager pairing;
    pairing.issue(0);
    (void)pairing.attempt(request->code, 1);
    return 0;
}
