#include "platform/x11/X11Randr.h"

#include <sys/uio.h>
#include <xcb/xcbext.h>

#include <cmath>

namespace orvanta::platform::x11::randr {

Resources resources(XConnection& x) {
    return Resources(xcb_randr_get_screen_resources_current_reply(
        x.get(), xcb_randr_get_screen_resources_current(x.get(), x.root()), nullptr));
}

OutputInfo outputInfo(XConnection& x, xcb_randr_output_t output, xcb_timestamp_t ts) {
    return OutputInfo(
        xcb_randr_get_output_info_reply(x.get(), xcb_randr_get_output_info(x.get(), output, ts), nullptr));
}

CrtcInfo crtcInfo(XConnection& x, xcb_randr_crtc_t crtc, xcb_timestamp_t ts) {
    return CrtcInfo(xcb_randr_get_crtc_info_reply(x.get(), xcb_randr_get_crtc_info(x.get(), crtc, ts), nullptr));
}

std::vector<xcb_randr_output_t> outputsOf(const xcb_randr_get_screen_resources_current_reply_t* r) {
    const auto* p = xcb_randr_get_screen_resources_current_outputs(r);
    return {p, p + xcb_randr_get_screen_resources_current_outputs_length(r)};
}

std::vector<xcb_randr_crtc_t> crtcsOf(const xcb_randr_get_screen_resources_current_reply_t* r) {
    const auto* p = xcb_randr_get_screen_resources_current_crtcs(r);
    return {p, p + xcb_randr_get_screen_resources_current_crtcs_length(r)};
}

std::vector<std::uint32_t> crtcOutputs(const xcb_randr_get_crtc_info_reply_t* c) {
    const auto* p = xcb_randr_get_crtc_info_outputs(c);
    return {p, p + xcb_randr_get_crtc_info_outputs_length(c)};
}

std::vector<Monitor> monitors(XConnection& x, bool activeOnly) {
    Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(x.get(), xcb_randr_get_monitors(x.get(), x.root(), activeOnly ? 1 : 0), nullptr));
    std::vector<Monitor> result;
    if (!reply) return result;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
        const auto* m = it.data;
        const auto* outs = xcb_randr_monitor_info_outputs(m);
        result.push_back({m->name, atomName(x, m->name), m->primary != 0, m->automatic != 0,
                          DisplayBounds{m->x, m->y, m->width, m->height}, m->width_in_millimeters,
                          m->height_in_millimeters, std::vector<std::uint32_t>(outs, outs + m->nOutput)});
    }
    return result;
}

std::expected<void, std::string> check(XConnection& x, xcb_void_cookie_t cookie, const char* what) {
    Reply<xcb_generic_error_t> error(xcb_request_check(x.get(), cookie));
    if (error)
        return std::unexpected(std::string(what) + " failed (X error " + std::to_string(error->error_code) + ")");
    return {};
}

std::expected<void, std::string> setCrtc(XConnection& x, xcb_randr_crtc_t crtc, xcb_timestamp_t ts, std::int32_t px,
                                         std::int32_t py, xcb_randr_mode_t mode, std::uint16_t rotation,
                                         const std::vector<std::uint32_t>& outputs) {
    Reply<xcb_randr_set_crtc_config_reply_t> reply(xcb_randr_set_crtc_config_reply(
        x.get(),
        xcb_randr_set_crtc_config(x.get(), crtc, XCB_CURRENT_TIME, ts, static_cast<std::int16_t>(px),
                                  static_cast<std::int16_t>(py), mode, rotation,
                                  static_cast<std::uint32_t>(outputs.size()), outputs.data()),
        nullptr));
    if (!reply || reply->status != XCB_RANDR_SET_CONFIG_SUCCESS) {
        return std::unexpected("setting CRTC " + std::to_string(crtc) + " failed");
    }
    return {};
}

std::expected<void, std::string> setMonitor(XConnection& x, const std::string& name, bool primary,
                                            const DisplayBounds& b, std::uint32_t mmWidth, std::uint32_t mmHeight,
                                            const std::vector<std::uint32_t>& outputs) {
    const xcb_atom_t atom = x.atom(name);
    Reply<xcb_generic_error_t>(xcb_request_check(x.get(), xcb_randr_delete_monitor_checked(x.get(), x.root(), atom)));
    struct Header {
        std::uint8_t major = 0;
        std::uint8_t minor = XCB_RANDR_SET_MONITOR;
        std::uint16_t length = 0;
        xcb_window_t window;
    } header{.window = x.root()};
    xcb_randr_monitor_info_t info{};
    info.name = atom;
    info.primary = primary ? 1 : 0;
    info.nOutput = static_cast<std::uint16_t>(outputs.size());
    info.x = static_cast<std::int16_t>(b.x);
    info.y = static_cast<std::int16_t>(b.y);
    info.width = static_cast<std::uint16_t>(b.width);
    info.height = static_cast<std::uint16_t>(b.height);
    info.width_in_millimeters = mmWidth;
    info.height_in_millimeters = mmHeight;
    iovec parts[5] = {};
    parts[2] = {&header, sizeof header};
    parts[3] = {&info, sizeof info};
    parts[4] = {const_cast<std::uint32_t*>(outputs.data()), outputs.size() * sizeof(std::uint32_t)};
    xcb_protocol_request_t request{3, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    const xcb_void_cookie_t cookie{xcb_send_request(x.get(), XCB_REQUEST_CHECKED, parts + 2, &request)};
    return check(x, cookie, "setting monitor");
}

std::uint32_t millimetres(std::uint32_t pixels, std::uint32_t refPixels, std::uint32_t refMm) {
    if (refPixels == 0 || refMm == 0) return static_cast<std::uint32_t>(std::lround(pixels * 25.4 / 96.0));
    return static_cast<std::uint32_t>(std::lround(static_cast<double>(pixels) * refMm / refPixels));
}

}  // namespace orvanta::platform::x11::randr
