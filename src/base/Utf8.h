// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Bytes.h"

namespace orvanta::base {

bool isValidUtf8(ByteView bytes);
inline bool isValidUtf8(std::string_view text) { return isValidUtf8(asBytes(text)); }

// Validates UTF-8 that arrives in pieces (a WebSocket text message split across frames): a
// sequence may straddle two pieces, so the end of a piece is only an error once `finish` says so.
class Utf8Validator {
public:
    // False as soon as the bytes so far cannot begin valid UTF-8.
    bool feed(ByteView bytes);
    // True when everything fed is valid and no sequence is left open.
    bool finish() const { return state_ == kAccept; }
    void reset() { state_ = kAccept; }

    static constexpr std::uint8_t kAccept = 0;
    static constexpr std::uint8_t kReject = 1;

private:
    std::uint8_t state_ = kAccept;
};

// The scalars of valid UTF-8 text; nothing for invalid text.
std::optional<std::u32string> decodeUtf8(std::string_view text);
// The scalars of any bytes, each byte that does not begin a valid sequence read as U+FFFD.
std::u32string decodeUtf8Lossy(std::string_view text);
void appendUtf8(std::string& out, char32_t scalar);
std::string encodeUtf8(std::u32string_view scalars);

}  // namespace orvanta::base
