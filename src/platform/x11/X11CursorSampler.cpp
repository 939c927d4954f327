#include "platform/x11/X11CursorSampler.h"

#include <xcb/xfixes.h>

namespace orvanta::platform::x11 {

std::expected<std::unique_ptr<X11CursorSampler>, std::string> X11CursorSampler::open(const std::string& display) {
    auto connection = XConnection::open(display);
    if (!connection) return std::unexpected(connection.error());
    xcb_connection_t* c = (*connection)->get();
    // XFixes answers nothing else before its version is negotiated.
    Reply<xcb_xfixes_query_version_reply_t> version(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
    if (!version || version->major_version < 2) return std::unexpected("the X server lacks XFixes 2");
    return std::unique_ptr<X11CursorSampler>(new X11CursorSampler(std::move(*connection)));
}

std::optional<CursorImage> X11CursorSampler::current() {
    if (connection_->hasError()) return std::nullopt;
    xcb_connection_t* c = connection_->get();
    Reply<xcb_xfixes_get_cursor_image_reply_t> reply(
        xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
    if (!reply) return std::nullopt;
    const int width = reply->width;
    const int height = reply->height;
    if (width <= 0 || height <= 0 || width > kMaxSidePixels || height > kMaxSidePixels) return std::nullopt;
    const int length = xcb_xfixes_get_cursor_image_cursor_image_length(reply.get());
    if (length != width * height) return std::nullopt;
    const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
    return CursorImage{width, height, reply->xhot, reply->yhot, std::vector<std::uint32_t>(pixels, pixels + length)};
}

}  // namespace orvanta::platform::x11
