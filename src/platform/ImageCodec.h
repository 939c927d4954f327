// Picture decoding for code below the user interface: whether PNG bytes are a picture the
// platform can show, and any picture the pasteboard offers turned into PNG.
#pragma once

#include <cstdint>
#include <optional>

#include "base/Bytes.h"

namespace orvanta::platform {

class ImageCodec {
public:
    virtual ~ImageCodec() = default;
    // True when the bytes are a PNG that decodes; the header is checked (pngHeaderAcceptable)
    // before any decoding.
    virtual bool isDecodablePng(base::ByteView png) const = 0;
    // PNG bytes are kept as they are; a picture in another format (TIFF, BMP, JPEG ...) is
    // converted to PNG. Nothing when the bytes are no picture.
    virtual std::optional<base::Bytes> pngData(base::ByteView picture) const = 0;
};

// The largest picture we decode, so that a small file cannot claim an enormous one.
inline constexpr std::uint64_t kMaxDecodedImagePixels = 8192ull * 8192ull;

struct PngHeader {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const PngHeader&) const = default;
};

// The PNG signature and the IHDR chunk's dimensions, without decoding anything.
std::optional<PngHeader> readPngHeader(base::ByteView png);
// A signature, an IHDR chunk first, non-zero dimensions and at most kMaxDecodedImagePixels.
bool pngHeaderAcceptable(base::ByteView png);

}  // namespace orvanta::platform
