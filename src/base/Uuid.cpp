#include "base/Uuid.h"

#include "base/Crypto.h"

namespace orvanta::base {

std::string makeUuidString() {
    Bytes b = secureRandomBytes(16);
    b[6] = (b[6] & 0x0F) | 0x40;  // version 4
    b[8] = (b[8] & 0x3F) | 0x80;  // RFC 4122 variant
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(kDigits[b[i] >> 4]);
        out.push_back(kDigits[b[i] & 15]);
    }
    return out;
}

}  // namespace orvanta::base
