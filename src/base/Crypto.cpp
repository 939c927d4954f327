#include "base/Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace orvanta::base {
namespace {

[[noreturn]] void fatal(const char* what) {
    std::fprintf(stderr, "fatal: %s\n", what);
    std::abort();
}

template <std::size_t N>
std::array<std::uint8_t, N> digest(const EVP_MD* md, ByteView bytes) {
    std::array<std::uint8_t, N> out{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, md, nullptr) != 1 || length != N) {
        fatal("digest failed");
    }
    return out;
}

}  // namespace

Sha256Digest sha256(ByteView bytes) { return digest<32>(EVP_sha256(), bytes); }

Sha1Digest sha1(ByteView bytes) { return digest<20>(EVP_sha1(), bytes); }

Bytes secureRandomBytes(std::size_t count) {
    Bytes out(count);
    std::size_t done = 0;
    while (done < count) {
        int chunk = static_cast<int>(std::min<std::size_t>(count - done, INT_MAX));
        if (RAND_bytes(out.data() + done, chunk) != 1) fatal("secure random generator failed");
        done += static_cast<std::size_t>(chunk);
    }
    return out;
}

bool constantTimeEqual(ByteView a, ByteView b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace orvanta::base
