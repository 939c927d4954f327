// The body of a pairing request, as any device on the LAN may send it before it holds a token.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "base/Bytes.h"

namespace orvanta::host {

struct PairRequest {
    std::string code;
    std::string deviceId;
    std::string deviceName;

    // Nothing unless `body` is a JSON object with text "code", "deviceId" and "deviceName", the
    // device id not empty, the id and name within `maxIdCharacters` grapheme clusters and the code
    // within `maxCodeCharacters`.
    static std::optional<PairRequest> decode(base::ByteView body, std::size_t maxIdCharacters,
                                             std::size_t maxCodeCharacters);

    bool operator==(const PairRequest&) const = default;
};

}  // namespace orvanta::host
