// Reads a pointer PNG back to straight-alpha RGBA bytes.
#pragma once

#include <png.h>

#include <optional>
#include <vector>

#include "base/Bytes.h"

namespace orvanta::testing {

struct DecodedPng {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

inline std::optional<DecodedPng> decodePng(const base::Bytes& png) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return std::nullopt;
    image.format = PNG_FORMAT_RGBA;
    DecodedPng out{static_cast<int>(image.width), static_cast<int>(image.height), {}};
    out.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr)) return std::nullopt;
    return out;
}

}  // namespace orvanta::testing
