#include "support/XvfbFixture.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

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
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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
    auto* reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
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

// Waits until a window manager announces itself on the root window.
std::expected<void, std::string> awaitWindowManager(const std::string& display) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return std::unexpected("cannot connect to " + display);
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t check = internAtom(c, "_NET_SUPPORTING_WM_CHECK");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMillis);
    bool ready = hasWindowManager(c, root, check);
    while (!ready && std::chrono::steady_clock::now() < deadline && !xcb_connection_has_error(c)) {
        pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&p, 1, 100);
        while (auto* event = xcb_poll_for_event(c)) std::free(event);
        ready = hasWindowManager(c, root, check);
    }
    xcb_disconnect(c);
    if (!ready) return std::unexpected("openbox did not take the display within 10 s (see " + logPath("openbox") + ")");
    return {};
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
    auto pid = startChild({.argv = {"openbox", "--sm-disable"},
                           .extraEnvironment = {"DISPLAY=" + display_},
                           .logPath = logPath("openbox")});
    if (!pid) return std::unexpected(pid.error());
    windowManager_ = *pid;
    return awaitWindowManager(display_);
}

void XvfbServer::kill() {
    stopChild(windowManager_);
    stopChild(xvfb_);
    windowManager_ = xvfb_ = -1;
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
