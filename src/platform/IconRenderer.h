// Draws application icons into small square PNG images.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "base/Bytes.h"
#include "platform/WindowSystem.h"

namespace orvanta::platform {

// An icon-theme name, an absolute image path, or the pixels a window offers.
using IconSource = std::variant<std::string, IconImage>;

class IconRenderer {
public:
    virtual ~IconRenderer() = default;
    // The whole icon scaled into a `pixels` x `pixels` RGBA image, as PNG; nothing when the icon
    // cannot be found or drawn.
    virtual std::optional<base::Bytes> renderPNG(const IconSource& icon, int pixels) = 0;
};

}  // namespace orvanta::platform
