// The system pointer's current image, for clients that draw the pointer themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace orvanta::platform {

struct CursorImage {
    int width = 0;  // pixels
    int height = 0;
    int hotX = 0;
    int hotY = 0;
    // width x height pixels, rows top to bottom, each 0xAARRGGBB with premultiplied colour.
    std::vector<std::uint32_t> argb;

    bool operator==(const CursorImage&) const = default;
};

class CursorSampler {
public:
    virtual ~CursorSampler() = default;
    // Nothing when the display server is gone or has no pointer image. Any thread, one call at a time.
    virtual std::optional<CursorImage> current() = 0;
};

}  // namespace orvanta::platform
