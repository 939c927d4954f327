#include "platform/x11/XConnection.h"

#include <cstdlib>

namespace orvanta::platform::x11 {

std::expected<std::unique_ptr<XConnection>, std::string> XConnection::open(const std::string& display) {
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
    if (const int error = xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        const char* env = std::getenv("DISPLAY");
        const std::string name = !display.empty() ? display : env ? env : "(DISPLAY unset)";
        return std::unexpected("cannot connect to X display " + name + " (xcb error " + std::to_string(error) + ")");
    }
    auto roots = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && roots.rem > 0; ++i) xcb_screen_next(&roots);
    if (roots.rem == 0) {
        xcb_disconnect(connection);
        return std::unexpected("X display has no screen " + std::to_string(screenNumber));
    }
    return std::unique_ptr<XConnection>(new XConnection(connection, roots.data));
}

XConnection::~XConnection() { xcb_disconnect(connection_); }

xcb_atom_t XConnection::atom(std::string_view name) {
    std::lock_guard lock(atomsMutex_);
    const std::string key(name);
    if (auto found = atoms_.find(key); found != atoms_.end()) return found->second;
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection_, xcb_intern_atom(connection_, 0, static_cast<uint16_t>(key.size()), key.data()), nullptr));
    if (!reply) return XCB_ATOM_NONE;
    atoms_.emplace(key, reply->atom);
    return reply->atom;
}

std::string atomName(XConnection& x, xcb_atom_t atom) {
    Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(x.get(), xcb_get_atom_name(x.get(), atom), nullptr));
    if (!reply) return {};
    return {xcb_get_atom_name_name(reply.get()), static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get()))};
}

}  // namespace orvanta::platform::x11
