// Defines an ARGB pointer image on the root window of a test X server (through Render), so a
// sampler has a known cursor to read back.
#pragma once

#include <xcb/render.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <expected>
#include <string>

#include "platform/CursorSampler.h"
#include "platform/x11/XConnection.h"

namespace orvanta::testing {

inline xcb_render_pictformat_t argb32Format(xcb_connection_t* c) {
    platform::x11::Reply<xcb_render_query_pict_formats_reply_t> reply(
        xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), nullptr));
    if (!reply) return 0;
    for (auto it = xcb_render_query_pict_formats_formats_iterator(reply.get()); it.rem;
         xcb_render_pictforminfo_next(&it)) {
        const auto& f = *it.data;
        if (f.type == XCB_RENDER_PICT_TYPE_DIRECT && f.depth == 32 && f.direct.alpha_shift == 24 &&
            f.direct.red_shift == 16 && f.direct.green_shift == 8 && f.direct.blue_shift == 0 &&
            f.direct.alpha_mask == 0xFF && f.direct.red_mask == 0xFF) {
            return f.id;
        }
    }
    return 0;
}

// Makes `image` the root window's pointer; the pointer of a bare server is over the root.
inline std::expected<void, std::string> defineRootCursor(platform::x11::XConnection& connection,
                                                         const platform::CursorImage& image) {
    xcb_connection_t* c = connection.get();
    const xcb_render_pictformat_t format = argb32Format(c);
    if (!format) return std::unexpected("no ARGB32 picture format");
    const auto width = static_cast<std::uint16_t>(image.width);
    const auto height = static_cast<std::uint16_t>(image.height);
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, 32, pixmap, connection.root(), width, height);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pixmap, 0, nullptr);
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, width, height, 0, 0, 0, 32,
                  static_cast<std::uint32_t>(image.argb.size() * 4),
                  reinterpret_cast<const std::uint8_t*>(image.argb.data()));
    const xcb_render_picture_t picture = xcb_generate_id(c);
    xcb_render_create_picture(c, picture, pixmap, format, 0, nullptr);
    const xcb_cursor_t cursor = xcb_generate_id(c);
    xcb_render_create_cursor(c, cursor, picture, static_cast<std::uint16_t>(image.hotX),
                             static_cast<std::uint16_t>(image.hotY));
    const std::uint32_t value = cursor;
    xcb_change_window_attributes(c, connection.root(), XCB_CW_CURSOR, &value);
    xcb_render_free_picture(c, picture);
    xcb_free_gc(c, gc);
    xcb_free_pixmap(c, pixmap);
    // A round trip: every request above has been handled.
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (connection.hasError()) return std::unexpected("the X server refused the cursor");
    return {};
}

// A 16x16 image with opaque, translucent (premultiplied) and transparent pixels.
inline platform::CursorImage testCursorImage(int hotX = 3, int hotY = 5) {
    platform::CursorImage image{16, 16, hotX, hotY, std::vector<std::uint32_t>(256)};
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            const std::uint32_t alpha = x < 8 ? 0xFF : y < 8 ? 0x80 : 0;
            const std::uint32_t red = (x * 16) * alpha / 255, green = (y * 16) * alpha / 255, blue = alpha / 2;
            image.argb[static_cast<std::size_t>(y * 16 + x)] = alpha << 24 | red << 16 | green << 8 | blue;
        }
    }
    return image;
}

}  // namespace orvanta::testing
