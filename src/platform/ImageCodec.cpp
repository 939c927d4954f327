#include "platform/ImageCodec.h"

#include <algorithm>
#include <array>

namespace orvanta::platform {

namespace {

constexpr std::array<std::uint8_t, 8> kPngSignature{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
// Signature, IHDR length and type, width and height.
constexpr std::size_t kHeaderBytes = 8 + 4 + 4 + 4 + 4;

std::uint32_t bigEndian32(base::ByteView bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 | std::uint32_t{bytes[at + 2]} << 8 |
           std::uint32_t{bytes[at + 3]};
}

}  // namespace

std::optional<PngHeader> readPngHeader(base::ByteView png) {
    if (png.size() < kHeaderBytes || !std::equal(kPngSignature.begin(), kPngSignature.end(), png.begin()))
        return std::nullopt;
    const bool ihdr = bigEndian32(png, 8) == 13 && png[12] == 'I' && png[13] == 'H' && png[14] == 'D' && png[15] == 'R';
    if (!ihdr) return std::nullopt;
    return PngHeader{bigEndian32(png, 16), bigEndian32(png, 20)};
}

bool pngHeaderAcceptable(base::ByteView png) {
    const auto header = readPngHeader(png);
    return header && header->width > 0 && header->height > 0 &&
           std::uint64_t{header->width} * header->height <= kMaxDecodedImagePixels;
}

}  // namespace orvanta::platform
