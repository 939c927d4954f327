// Helpers for tests of X11 display backends: an Xvfb of its own fitted with RandR to a desktop
// size (Xvfb's RandR maximum is its start size), plain coloured windows and pixel reads.
#pragma once

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "platform/x11/X11VirtualDisplay.h"
#include "platform/x11/XConnection.h"
#include "support/XvfbFixture.h"

namespace orvanta::testing {

using platform::x11::Reply;

// A private server started at `maxWidth` x `maxHeight` and fitted to `width` x `height`.
struct X11TestDesktop {
    std::unique_ptr<XvfbServer> server;
    std::unique_ptr<platform::x11::XConnection> x;

    static std::expected<X11TestDesktop, std::string> start(int width = 1920, int height = 1080, int maxWidth = 8192,
                                                            int maxHeight = 4096, bool windowManager = false) {
        auto server = XvfbServer::start({maxWidth, maxHeight, windowManager});
        if (!server) return std::unexpected(server.error());
        auto x = platform::x11::XConnection::open((*server)->display());
        if (!x) return std::unexpected(x.error());
        X11TestDesktop desktop{std::move(*server), std::move(*x)};
        if (auto fitted = desktop.fit(static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)); !fitted) {
            return std::unexpected(fitted.error());
        }
        return desktop;
    }

    // Gives the one CRTC a mode of this size and shrinks the screen to it.
    std::expected<void, std::string> fit(std::uint16_t width, std::uint16_t height) {
        using platform::x11::Reply;
        auto* c = x->get();
        Reply<xcb_randr_get_screen_resources_current_reply_t> res(xcb_randr_get_screen_resources_current_reply(
            c, xcb_randr_get_screen_resources_current(c, x->root()), nullptr));
        if (!res || xcb_randr_get_screen_resources_current_crtcs_length(res.get()) < 1)
            return std::unexpected("no CRTC");
        const auto crtc = xcb_randr_get_screen_resources_current_crtcs(res.get())[0];
        const auto output = xcb_randr_get_screen_resources_current_outputs(res.get())[0];
        const std::string name = "fit-" + std::to_string(width) + "x" + std::to_string(height);
        auto info = platform::x11::cvtReducedBlanking(width, height, 60);
        info.name_len = static_cast<std::uint16_t>(name.size());
        Reply<xcb_randr_create_mode_reply_t> mode(xcb_randr_create_mode_reply(
            c, xcb_randr_create_mode(c, x->root(), info, static_cast<std::uint32_t>(name.size()), name.data()),
            nullptr));
        if (!mode) return std::unexpected("cannot create the desktop mode");
        xcb_randr_add_output_mode(c, output, mode->mode);
        Reply<xcb_randr_set_crtc_config_reply_t> set(xcb_randr_set_crtc_config_reply(
            c,
            xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, res->config_timestamp, 0, 0, mode->mode,
                                      XCB_RANDR_ROTATION_ROTATE_0, 1, &output),
            nullptr));
        if (!set || set->status != XCB_RANDR_SET_CONFIG_SUCCESS) return std::unexpected("cannot set the desktop mode");
        Reply<xcb_generic_error_t> error(xcb_request_check(
            c, xcb_randr_set_screen_size_checked(c, x->root(), width, height, width * 254 / 960, height * 254 / 960)));
        if (error) return std::unexpected("cannot fit the screen");
        return {};
    }

    // A mapped, unmanaged window filled with `rgb` (24-bit TrueColor).
    xcb_window_t window(std::int16_t wx, std::int16_t wy, std::uint16_t width, std::uint16_t height, std::uint32_t rgb,
                        bool overrideRedirect = true) {
        auto* c = x->get();
        const xcb_window_t id = xcb_generate_id(c);
        const std::uint32_t values[] = {rgb, overrideRedirect ? 1u : 0u};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, id, x->root(), wx, wy, width, height, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, x->screen()->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c, id);
        sync();
        return id;
    }

    // A solid desktop background, published in _XROOTPMAP_ID as desktops do.
    void setBackground(std::uint32_t rgb) {
        auto* c = x->get();
        const auto* screen = x->screen();
        Reply<xcb_get_geometry_reply_t> root(xcb_get_geometry_reply(c, xcb_get_geometry(c, x->root()), nullptr));
        const xcb_pixmap_t pixmap = xcb_generate_id(c);
        xcb_create_pixmap(c, screen->root_depth, pixmap, x->root(), root->width, root->height);
        const xcb_gcontext_t gc = xcb_generate_id(c);
        xcb_create_gc(c, gc, pixmap, XCB_GC_FOREGROUND, &rgb);
        const xcb_rectangle_t all{0, 0, root->width, root->height};
        xcb_poly_fill_rectangle(c, pixmap, gc, 1, &all);
        xcb_free_gc(c, gc);
        xcb_change_window_attributes(c, x->root(), XCB_CW_BACK_PIXMAP, &pixmap);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, x->root(), x->atom("_XROOTPMAP_ID"), XCB_ATOM_PIXMAP, 32, 1,
                            &pixmap);
        xcb_clear_area(c, 0, x->root(), 0, 0, 0, 0);
        sync();
    }

    // Fills a window with a new colour, as an application redrawing would.
    void paint(xcb_window_t window, std::uint32_t rgb) {
        xcb_change_window_attributes(x->get(), window, XCB_CW_BACK_PIXEL, &rgb);
        xcb_clear_area(x->get(), 0, window, 0, 0, 0, 0);
        sync();
    }

    // Pixels of a root area, 0x00RRGGBB, row by row.
    std::vector<std::uint32_t> pixels(std::int16_t px, std::int16_t py, std::uint16_t width, std::uint16_t height) {
        platform::x11::Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
            x->get(), xcb_get_image(x->get(), XCB_IMAGE_FORMAT_Z_PIXMAP, x->root(), px, py, width, height, ~0u),
            nullptr));
        std::vector<std::uint32_t> result;
        if (!image) return result;
        const auto* data = reinterpret_cast<const std::uint32_t*>(xcb_get_image_data(image.get()));
        for (std::size_t i = 0; i < std::size_t{width} * height; ++i) result.push_back(data[i] & 0xFFFFFF);
        return result;
    }

    // Waits until the server has handled everything sent so far.
    void sync() {
        platform::x11::Reply<xcb_get_input_focus_reply_t>(
            xcb_get_input_focus_reply(x->get(), xcb_get_input_focus(x->get()), nullptr));
    }
};

}  // namespace orvanta::testing

// In a test body: `desktop` for a private fitted server, or a skip (a failure under CI=true).
#define ORVANTA_REQUIRE_X11_DESKTOP(...)                                                  \
    auto orvantaDesktop_ = ::orvanta::testing::X11TestDesktop::start(__VA_ARGS__);        \
    if (!orvantaDesktop_) {                                                               \
        ::orvanta::testing::skipOrFailWithoutService("Xvfb: " + orvantaDesktop_.error()); \
        return;                                                                           \
    }                                                                                     \
    auto& desktop = *orvantaDesktop_
