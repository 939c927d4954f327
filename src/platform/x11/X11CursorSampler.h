// CursorSampler on X11: the current pointer image through XFixes, premultiplied ARGB with its hot
// spot, as the server reports it.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "platform/CursorSampler.h"
#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {

class X11CursorSampler final : public CursorSampler {
public:
    // Larger images are treated as garbage rather than copied.
    static constexpr int kMaxSidePixels = 1024;

    // `display` empty means $DISPLAY. Fails when the server is unreachable or lacks XFixes 2.
    static std::expected<std::unique_ptr<X11CursorSampler>, std::string> open(const std::string& display = {});

    std::optional<CursorImage> current() override;

private:
    explicit X11CursorSampler(std::unique_ptr<XConnection> connection) : connection_(std::move(connection)) {}

    std::unique_ptr<XConnection> connection_;
};

}  // namespace orvanta::platform::x11
