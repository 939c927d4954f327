#include "platform/x11/X11WindowProperties.h"

#include <xcb/res.h>

#include <climits>

namespace orvanta::platform::x11 {

std::vector<std::uint32_t> propertyLongs(const xcb_get_property_reply_t* reply) {
    if (!reply || reply->format != 32) return {};
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
    return {values, values + xcb_get_property_value_length(reply) / 4};
}

std::vector<std::optional<std::int32_t>> clientPids(xcb_connection_t* c, const std::vector<xcb_window_t>& windows) {
    std::vector<std::optional<std::int32_t>> pids(windows.size());
    const auto* extension = xcb_get_extension_data(c, &xcb_res_id);
    if (!extension || !extension->present) return pids;
    std::vector<xcb_res_query_client_ids_cookie_t> cookies;
    for (auto window : windows) {
        const xcb_res_client_id_spec_t spec{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        cookies.push_back(xcb_res_query_client_ids(c, 1, &spec));
    }
    for (std::size_t i = 0; i < windows.size(); ++i) {
        xcb_generic_error_t* error = nullptr;
        auto reply = take(xcb_res_query_client_ids_reply(c, cookies[i], &error), &error);
        if (!reply) continue;
        for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0;
             xcb_res_client_id_value_next(&it)) {
            if (!(it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) ||
                xcb_res_client_id_value_value_length(it.data) < 1) {
                continue;
            }
            const std::uint32_t pid = *xcb_res_client_id_value_value(it.data);
            if (pid > 1 && pid <= INT32_MAX) pids[i] = static_cast<std::int32_t>(pid);
        }
    }
    return pids;
}

}  // namespace orvanta::platform::x11
