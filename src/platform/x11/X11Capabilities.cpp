#include "platform/x11/X11Capabilities.h"

#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {
namespace {

bool present(xcb_connection_t* connection, xcb_extension_t* extension) {
    const auto* data = xcb_get_extension_data(connection, extension);
    return data && data->present;
}

}  // namespace

std::expected<X11Capabilities, std::string> queryCapabilities(const std::string& display) {
    auto connection = XConnection::open(display);
    if (!connection) return std::unexpected(connection.error());
    xcb_connection_t* c = (*connection)->get();
    for (auto* extension : {&xcb_shm_id, &xcb_damage_id, &xcb_xfixes_id, &xcb_test_id})
        xcb_prefetch_extension_data(c, extension);
    return X11Capabilities{
        .capture = present(c, &xcb_shm_id) && present(c, &xcb_damage_id) && present(c, &xcb_xfixes_id),
        .input = present(c, &xcb_test_id)};
}

}  // namespace orvanta::platform::x11
