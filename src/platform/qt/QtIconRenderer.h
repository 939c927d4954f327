// Icons drawn with Qt Gui: theme icons by name, image files by absolute path and window pixels,
// each scaled into a small square and written as PNG. Theme icons need the application's
// QGuiApplication and its thread, as every pixmap does.
#pragma once

#include "platform/IconRenderer.h"

namespace orvanta::platform::qt {

class QtIconRenderer final : public IconRenderer {
public:
    static constexpr int kMaxPixels = 1024;
    std::optional<base::Bytes> renderPNG(const IconSource& icon, int pixels) override;
};

}  // namespace orvanta::platform::qt
