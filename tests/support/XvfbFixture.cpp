#include "support/XvfbFixture.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "support/ChildProcess.h"

namespace orvanta::testing {

namespace {

constexpr int kStartTimeoutMillis = 10'000;

std::string logPath(const std::string& what) {
    return (std::filesystem::temp_directory_path() / ("orvanta-" + what + "-" + std::to_string(::getpid()) + ".log"))
        .string();
}

// Reads the display number Xvfb writes to -displayfd once it accepts connections.
std::expected<std::string, std::string> readDisplayNumber(int fd) {
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMillis);
    while (number.empty() || number.back() != '\n') {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::unexpected("Xvfb did not report a display within 10 s");
        char buffer[16];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return std::unexpected("Xvfb exited before reporting a display (see " + logPath("xvfb") + ")");
        number.append(buffer, static_cast<std::size_t>(n));
    }
    number.pop_back();
    return ":" + number;
}

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    auto* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

bool hasWindowManager(xcb_connection_t* c, xcb_window_t root, xcb_atom_t check) {
    auto* reply = xcb_get_property_reply(c, xcb_get_property(c, 0, root, check, XCB_ATOM_WINDOW, 0, 1), nullptr);
    const bool present = reply && xcb_get_property_value_length(reply) == 4;
    std::free(reply);
    return present;
}

bool listsWindow(xcb_connection_t* c, xcb_window_t root, xcb_atom_t list, xcb_window_t window) {
    auto* reply = xcb_get_property_reply(c, xcb_get_property(c, 0, root, list, XCB_ATOM_WINDOW, 0, 4096), nullptr);
    bool found = false;
    if (reply) {
        const auto* windows = static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
        const int count = xcb_get_property_value_length(reply) / 4;
        found = std::find(windows, windows + count, window) != windows + count;
    }
    std::free(reply);
    return found;
}

// Waits on the root window's property changes until `ready` holds or `limit` passes.
template <class Ready>
bool awaitRoot(xcb_connection_t* c, Ready ready,
               std::chrono::milliseconds limit = std::chrono::milliseconds(kStartTimeoutMillis)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline || xcb_connection_has_error(c)) return false;
        pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&p, 1, 100);
        while (auto* event = xcb_poll_for_event(c)) std::free(event);
    }
    return true;
}

// Waits until a window manager announces itself and then manages a window: openbox sets its
// check property before it takes over map requests, so a window mapped in between stays unmanaged
// until it is mapped again.
std::expected<void, std::string> awaitWindowManager(const std::string& display) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return std::unexpected("cannot connect to " + display);
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t root = screen->root;
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t check = internAtom(c, "_NET_SUPPORTING_WM_CHECK");
    const xcb_atom_t clients = internAtom(c, "_NET_CLIENT_LIST");
    bool ready = awaitRoot(c, [&] { return hasWindowManager(c, root, check); });
    if (ready) {
        const xcb_window_t probe = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, root, 0, 0, 10, 10, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, 0, nullptr);
        static constexpr char kClass[] = "orvanta-probe\0orvanta-probe";
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, probe, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof kClass - 1,
                            kClass);
        ready = false;
        for (int attempt = 0; attempt < kStartTimeoutMillis / 500 && !ready; ++attempt) {
            xcb_unmap_window(c, probe);
            xcb_map_window(c, probe);
            xcb_flush(c);
            ready = awaitRoot(
                c, [&] { return listsWindow(c, root, clients, probe); }, std::chrono::milliseconds(500));
        }
        xcb_destroy_window(c, probe);
        xcb_flush(c);
    }
    xcb_disconnect(c);
    if (!ready) return std::unexpected("openbox did not take the display within 10 s (see " + logPath("openbox") + ")");
    return {};
}

bool ownsSelection(xcb_connection_t* c, xcb_atom_t selection) {
    auto* reply = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
    const bool owned = reply && reply->owner != XCB_NONE;
    std::free(reply);
    return owned;
}

}  // namespace

std::expected<std::unique_ptr<XvfbServer>, std::string> XvfbServer::start(const XvfbOptions& options) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(std::string("pipe: ") + std::strerror(errno));
    const std::string screen = std::to_string(options.width) + "x" + std::to_string(options.height) + "x24";
    ChildSpec xvfb;
    xvfb.argv = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset", "-screen", "0", screen};
    xvfb.logPath = logPath("xvfb");
    xvfb.passFd = fds[1];
    auto pid = startChild(xvfb);
    ::close(fds[1]);
    if (!pid) {
        ::close(fds[0]);
        return std::unexpected(pid.error());
    }
    auto display = readDisplayNumber(fds[0]);
    ::close(fds[0]);
    if (!display) {
        stopChild(*pid);
        return std::unexpected(display.error());
    }
    std::unique_ptr<XvfbServer> server(new XvfbServer(*display, *pid));
    if (options.windowManager) {
        if (auto wm = server->startWindowManager(); !wm) return std::unexpected(wm.error());
    }
    return server;
}

std::expected<void, std::string> XvfbServer::startWindowManager() {
    if (windowManager_ > 0) return {};
    return startOpenbox(display_, windowManager_);
}

std::expected<void, std::string> startOpenbox(const std::string& display, pid_t& pid) {
    auto started = startChild({.argv = {"openbox", "--sm-disable"},
                               .extraEnvironment = {"DISPLAY=" + display},
                               .logPath = logPath("openbox")});
    if (!started) return std::unexpected(started.error());
    pid = *started;
    return awaitWindowManager(display);
}

std::expected<void, std::string> XvfbServer::startCompositingManager() {
    if (compositingManager_ > 0) return {};
    auto pid =
        startChild({.argv = {"xcompmgr"}, .extraEnvironment = {"DISPLAY=" + display_}, .logPath = logPath("xcompmgr")});
    if (!pid) return std::unexpected(pid.error());
    compositingManager_ = *pid;
    xcb_connection_t* c = xcb_connect(display_.c_str(), nullptr);
    const bool ready =
        !xcb_connection_has_error(c) && awaitRoot(c, [&] { return ownsSelection(c, internAtom(c, "_NET_WM_CM_S0")); });
    xcb_disconnect(c);
    if (!ready)
        return std::unexpected("xcompmgr did not take the display within 10 s (see " + logPath("xcompmgr") + ")");
    return {};
}

void XvfbServer::kill() {
    stopChild(compositingManager_);
    stopChild(windowManager_);
    stopChild(xvfb_);
    compositingManager_ = windowManager_ = xvfb_ = -1;
}

XvfbServer::~XvfbServer() { kill(); }

std::expected<std::string, std::string> sharedXvfb(const XvfbOptions& options) {
    static std::unique_ptr<XvfbServer> shared;
    if (!shared) {
        auto started = XvfbServer::start(options);
        if (!started) return std::unexpected(started.error());
        shared = std::move(*started);
        ::setenv("DISPLAY", shared->display().c_str(), 1);
    } else if (options.windowManager) {
        if (auto wm = shared->startWindowManager(); !wm) return std::unexpected(wm.error());
    }
    return shared->display();
}

}  // namespace orvanta::testing
