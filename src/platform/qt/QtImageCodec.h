// Picture decoding through Qt Gui's image plugins.
#pragma once

#include "platform/ImageCodec.h"

namespace orvanta::platform::qt {

class QtImageCodec final : public ImageCodec {
public:
    bool isDecodablePng(base::ByteView png) const override;
    std::optional<base::Bytes> pngData(base::ByteView picture) const override;
};

}  // namespace orvanta::platform::qt
