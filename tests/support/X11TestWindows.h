// Client windows for tests against a real X server: made on a connection of their own with the
// properties a real application sets, and a wait that blocks on the server's events.
#pragma once

#include <poll.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvanta::testing {

struct TestWindowSpec {
    std::string title = "window";
    std::int64_t pid = 0;  // 0 sets no _NET_WM_PID
    std::string instance = "tester";
    std::string className = "Tester";
    int width = 640;
    int height = 480;
    bool dialog = false;
    std::string rawTitle;             // bytes for _NET_WM_NAME as given, when not empty
    std::string latin1Name;           // WM_NAME as STRING, when not empty
    std::vector<std::uint32_t> icon;  // _NET_WM_ICON as given
};

class X11TestWindows {
public:
    static std::expected<std::unique_ptr<X11TestWindows>, std::string> open(const std::string& display) {
        int screen = 0;
        auto* c = xcb_connect(display.c_str(), &screen);
        if (xcb_connection_has_error(c)) {
            xcb_disconnect(c);
            return std::unexpected("cannot connect to " + display);
        }
        return std::unique_ptr<X11TestWindows>(new X11TestWindows(c));
    }
    ~X11TestWindows() { xcb_disconnect(c_); }

    xcb_connection_t* get() const { return c_; }
    xcb_window_t root() const { return root_; }

    xcb_atom_t atom(const char* name) {
        auto* reply = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, std::strlen(name), name), nullptr);
        const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(reply);
        return atom;
    }

    xcb_window_t create(const TestWindowSpec& spec) {
        auto window = xcb_generate_id(c_);
        const std::uint32_t values[] = {
            0xffffff, std::uint32_t{XCB_EVENT_MASK_STRUCTURE_NOTIFY} | XCB_EVENT_MASK_PROPERTY_CHANGE};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, root_, 0, 0, spec.width, spec.height, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK,
                          values);
        auto set = [&](xcb_atom_t property, xcb_atom_t type, int format, std::size_t count, const void* data) {
            xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, property, type, format, count, data);
        };
        const auto utf8 = atom("UTF8_STRING");
        const auto& title = spec.rawTitle.empty() ? spec.title : spec.rawTitle;
        set(atom("_NET_WM_NAME"), utf8, 8, title.size(), title.data());
        if (!spec.latin1Name.empty()) {
            set(XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, spec.latin1Name.size(), spec.latin1Name.data());
        }
        const auto wmClass = spec.instance + '\0' + spec.className + '\0';
        set(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, wmClass.size(), wmClass.data());
        if (spec.pid != 0) {
            const auto pid = static_cast<std::uint32_t>(spec.pid);
            set(atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
        }
        const auto type = atom(spec.dialog ? "_NET_WM_WINDOW_TYPE_DIALOG" : "_NET_WM_WINDOW_TYPE_NORMAL");
        set(atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &type);
        if (!spec.icon.empty()) set(atom("_NET_WM_ICON"), XCB_ATOM_CARDINAL, 32, spec.icon.size(), spec.icon.data());
        xcb_map_window(c_, window);
        xcb_flush(c_);
        return window;
    }

    void destroy(xcb_window_t window) {
        xcb_destroy_window(c_, window);
        xcb_flush(c_);
    }

    // Asks the window manager, as a pager would, to change a window's state.
    void requestState(xcb_window_t window, bool add, const char* state, const char* other = nullptr) {
        send(window, atom("_NET_WM_STATE"), {add ? 1u : 0u, atom(state), other ? atom(other) : 0, 2, 0});
    }
    bool hasState(xcb_window_t window, const char* state) {
        auto* reply = xcb_get_property_reply(
            c_, xcb_get_property(c_, 0, window, atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 0, 32), nullptr);
        bool found = false;
        if (reply && reply->format == 32) {
            auto* values = static_cast<xcb_atom_t*>(xcb_get_property_value(reply));
            auto wanted = atom(state);
            found = std::find(values, values + xcb_get_property_value_length(reply) / 4, wanted) !=
                    values + xcb_get_property_value_length(reply) / 4;
        }
        std::free(reply);
        return found;
    }
    void iconify(xcb_window_t window) { send(window, atom("WM_CHANGE_STATE"), {3, 0, 0, 0, 0}); }

    std::vector<xcb_window_t> clientList() {
        auto* reply = xcb_get_property_reply(
            c_, xcb_get_property(c_, 0, root_, atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW, 0, 4096), nullptr);
        std::vector<xcb_window_t> out;
        if (reply && reply->format == 32) {
            auto* values = static_cast<xcb_window_t*>(xcb_get_property_value(reply));
            out.assign(values, values + xcb_get_property_value_length(reply) / 4);
        }
        std::free(reply);
        return out;
    }
    bool managed(xcb_window_t window) {
        auto list = clientList();
        return std::find(list.begin(), list.end(), window) != list.end();
    }
    // Waits until the window manager lists the window. Openbox announces itself before it takes
    // over map requests, so a window mapped just after it started may stay unmanaged: map it again.
    bool waitManaged(xcb_window_t window) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (waitUntil([&] { return managed(window); }, std::chrono::milliseconds(500))) return true;
            xcb_unmap_window(c_, window);
            xcb_map_window(c_, window);
            xcb_flush(c_);
        }
        return false;
    }

    // A dock along the top `width` pixels wide that reserves `height` pixels: the window manager
    // takes them out of its work area.
    void addTopPanel(std::uint32_t width, std::uint32_t height) {
        const auto panel = xcb_generate_id(c_);
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, panel, root_, 0, 0, static_cast<std::uint16_t>(width),
                          static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0,
                          nullptr);
        const auto dock = atom("_NET_WM_WINDOW_TYPE_DOCK");
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, panel, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &dock);
        const std::uint32_t strut[12] = {0, 0, height, 0, 0, 0, 0, 0, 0, width - 1, 0, 0};
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, panel, atom("_NET_WM_STRUT_PARTIAL"), XCB_ATOM_CARDINAL, 32, 12,
                            strut);
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, panel, atom("_NET_WM_STRUT"), XCB_ATOM_CARDINAL, 32, 4, strut);
        xcb_map_window(c_, panel);
        xcb_flush(c_);
    }

    // Blocks on the server's events until `done` holds or `limit` passes; the limit only guards a
    // broken window manager.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const std::uint32_t mask = std::uint32_t{XCB_EVENT_MASK_PROPERTY_CHANGE} | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(c_, root_, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(c_);
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            pollfd descriptor{xcb_get_file_descriptor(c_), POLLIN, 0};
            poll(&descriptor, 1, 20);
            while (auto* event = xcb_poll_for_event(c_)) std::free(event);
        }
        return true;
    }

private:
    explicit X11TestWindows(xcb_connection_t* c)
        : c_(c), root_(xcb_setup_roots_iterator(xcb_get_setup(c)).data->root) {}

    void send(xcb_window_t window, xcb_atom_t type, std::array<std::uint32_t, 5> data) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = type;
        std::memcpy(event.data.data32, data.data(), sizeof(std::uint32_t) * 5);
        xcb_send_event(c_, 0, root_, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&event));
        xcb_flush(c_);
    }

    xcb_connection_t* c_;
    xcb_window_t root_;
};

}  // namespace orvanta::testing
