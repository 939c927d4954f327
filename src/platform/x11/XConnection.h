// One connection to the X server for a backend. xcb rather than Xlib: it is thread-safe, and a
// lost connection is an error value (hasError) instead of a process exit.
#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace orvanta::platform::x11 {

class XConnection {
public:
    // `display` empty means $DISPLAY. The error says why the server could not be reached.
    static std::expected<std::unique_ptr<XConnection>, std::string> open(const std::string& display = {});
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    xcb_connection_t* get() const { return connection_; }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_->root; }
    // Interned once per name; XCB_ATOM_NONE when the server cannot be asked.
    xcb_atom_t atom(std::string_view name);
    // True once the connection is lost: every later request fails.
    bool hasError() const { return xcb_connection_has_error(connection_) != 0; }

private:
    XConnection(xcb_connection_t* connection, xcb_screen_t* screen) : connection_(connection), screen_(screen) {}

    xcb_connection_t* connection_;
    xcb_screen_t* screen_;
    std::mutex atomsMutex_;
    std::unordered_map<std::string, xcb_atom_t> atoms_;
};

// Replies from xcb are malloc'd; this frees them.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// The name of an atom; empty when the server has none.
std::string atomName(XConnection& x, xcb_atom_t atom);

}  // namespace orvanta::platform::x11
