// Hashes, secure random bytes and constant-time comparison over OpenSSL.
#pragma once

#include <array>
#include <cstddef>

#include "base/Bytes.h"

namespace orvanta::base {

using Sha256Digest = std::array<std::uint8_t, 32>;
using Sha1Digest = std::array<std::uint8_t, 20>;

Sha256Digest sha256(ByteView bytes);
Sha1Digest sha1(ByteView bytes);

// Bytes from the system's secure generator. Stops the process when the generator fails: a secret
// is never made from any other source.
Bytes secureRandomBytes(std::size_t count);

// Same length and same bytes, in a time that depends on the length only.
bool constantTimeEqual(ByteView a, ByteView b);

}  // namespace orvanta::base
