#include "host/transport/Pairing.h"

#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <cmath>
#include <vector>

#include "base/Bytes.h"
#include "host/transport/Support.h"

namespace orvanta::host {
namespace {

constexpr std::uint8_t kAlphabetIndexMask = 0x1F;

// Full Unicode upper-casing (root locale), so that "ß" or a ligature presented by a device is read
// as the letters it stands for. Bytes that are not UTF-8 become U+FFFD and can never match.
std::string upperCased(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    std::vector<UChar> utf16(text.size() + 1);
    u_strFromUTF8WithSub(utf16.data(), static_cast<int32_t>(utf16.size()), &length, text.data(),
                         static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) return std::string(text);

    // Upper-casing at most triples the length of UTF-16 text.
    std::vector<UChar> upper(static_cast<std::size_t>(length) * 3 + 1);
    status = U_ZERO_ERROR;
    const int32_t upperLength =
        u_strToUpper(upper.data(), static_cast<int32_t>(upper.size()), utf16.data(), length, "", &status);
    if (U_FAILURE(status)) return std::string(text);

    std::string out(static_cast<std::size_t>(upperLength) * 3 + 1, '\0');
    int32_t outLength = 0;
    status = U_ZERO_ERROR;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &outLength, upper.data(), upperLength, &status);
    if (U_FAILURE(status)) return std::string(text);
    out.resize(static_cast<std::size_t>(outLength));
    return out;
}

}  // namespace

std::string PairingCode::display() const {
    if (normalized.size() != PairingManager::kCodeLength) return normalized;
    return normalized.substr(0, 4) + "-" + normalized.substr(4, 4) + "-" + normalized.substr(8, 2);
}

PairingCode PairingManager::issue(double now) {
    const base::Bytes random = Secret::randomBytes(kCodeLength);
    std::string code;
    // 32 characters: the low five bits of each byte pick one with equal chance.
    for (std::uint8_t byte : random) code.push_back(kAlphabet[byte & kAlphabetIndexMask]);
    active = PairingCode{std::move(code), now, now + kValiditySeconds, 0};
    return *active;
}

PairingResult PairingManager::attempt(std::string_view input, double now) {
    // Written so that a NaN difference counts as too soon.
    if (!(now - lastAttempt >= kAttemptSpacingSeconds)) return PairingResult::tooSoon;
    lastAttempt = now;
    if (!active) return PairingResult::noActiveCode;
    if (now >= active->expiresAt) {
        active.reset();
        return PairingResult::noActiveCode;
    }
    if (Secret::constantTimeEqual(base::asBytes(normalize(input)), base::asBytes(active->normalized))) {
        active.reset();
        return PairingResult::success;
    }
    if (++active->failures >= kMaxFailures) active.reset();
    return PairingResult::wrongCode;
}

std::string PairingManager::normalize(std::string_view text) {
    std::string out;
    for (char c : upperCased(text)) {
        switch (c) {
            case '-':
            case ' ':
                break;
            case 'O':
                out.push_back('0');
                break;
            case 'I':
            case 'L':
                out.push_back('1');
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

}  // namespace orvanta::host
