#include "platform/x11/X11DisplaySleep.h"

#include <xcb/dpms.h>
#include <xcb/screensaver.h>

namespace orvanta::platform::x11 {

std::expected<std::unique_ptr<X11DisplaySleep>, std::string> X11DisplaySleep::open(const std::string& display) {
    auto connection = XConnection::open(display);
    if (!connection) return std::unexpected(connection.error());
    return std::unique_ptr<X11DisplaySleep>(new X11DisplaySleep(std::move(*connection)));
}

bool X11DisplaySleep::dpmsEnabled() {
    xcb_connection_t* c = connection_->get();
    const auto* dpms = xcb_get_extension_data(c, &xcb_dpms_id);
    if (!dpms || !dpms->present) return false;
    Reply<xcb_dpms_info_reply_t> info(xcb_dpms_info_reply(c, xcb_dpms_info(c), nullptr));
    return info && info->state != 0;
}

std::optional<bool> X11DisplaySleep::displayAsleep() {
    xcb_connection_t* c = connection_->get();
    if (dpmsEnabled()) {
        Reply<xcb_dpms_info_reply_t> info(xcb_dpms_info_reply(c, xcb_dpms_info(c), nullptr));
        if (info && info->power_level != XCB_DPMS_DPMS_MODE_ON) return true;
    }
    const auto* saver = xcb_get_extension_data(c, &xcb_screensaver_id);
    if (!saver || !saver->present) return std::nullopt;
    Reply<xcb_screensaver_query_info_reply_t> info(
        xcb_screensaver_query_info_reply(c, xcb_screensaver_query_info(c, connection_->root()), nullptr));
    if (!info) return std::nullopt;
    return info->state == XCB_SCREENSAVER_STATE_ON;
}

bool X11DisplaySleep::wakeDisplay() {
    const bool wasAsleep = displayAsleep() == true;
    xcb_connection_t* c = connection_->get();
    if (dpmsEnabled()) xcb_dpms_force_level(c, XCB_DPMS_DPMS_MODE_ON);
    xcb_force_screen_saver(c, XCB_SCREEN_SAVER_RESET);
    // A round trip, so that the server has acted before the caller looks again.
    Reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    return wasAsleep;
}

}  // namespace orvanta::platform::x11
