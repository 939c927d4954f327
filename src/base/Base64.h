// Strict Base64 (RFC 4648 section 4) and base64url (section 5). Decoding accepts only the exact
// alphabet with canonical padding: no white space, no missing or extra "=", and no stray bits in
// the last character, so that every accepted text has exactly one byte form.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/Bytes.h"

namespace orvanta::base {

// Standard alphabet, always padded.
std::string base64Encode(ByteView bytes);
std::optional<Bytes> base64Decode(std::string_view text);

// URL-safe alphabet ("-" and "_"); padding only when asked for.
std::string base64UrlEncode(ByteView bytes, bool padded = false);
// Accepts the unpadded form and the canonically padded one.
std::optional<Bytes> base64UrlDecode(std::string_view text);

}  // namespace orvanta::base
