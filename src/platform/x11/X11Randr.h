// RandR reading and writing that the virtual display, its saved arrangement and the display
// configuration share. Private to this folder.
#pragma once

#include <xcb/randr.h>

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "platform/DisplayConfiguration.h"
#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11::randr {

inline constexpr std::uint32_t kMaxSide = 32767;  // RandR coordinates are 16-bit

using Resources = Reply<xcb_randr_get_screen_resources_current_reply_t>;
using OutputInfo = Reply<xcb_randr_get_output_info_reply_t>;
using CrtcInfo = Reply<xcb_randr_get_crtc_info_reply_t>;

struct Monitor {
    xcb_atom_t atom = XCB_ATOM_NONE;
    std::string name;
    bool primary = false;
    bool automatic = false;
    DisplayBounds bounds;
    std::uint32_t mmWidth = 0;
    std::uint32_t mmHeight = 0;
    std::vector<std::uint32_t> outputs;
};

// Holds the server grabbed while it exists; the ungrab is flushed at once.
class ServerGrab {
public:
    explicit ServerGrab(XConnection& x) : x_(x) { xcb_grab_server(x_.get()); }
    ~ServerGrab() {
        xcb_ungrab_server(x_.get());
        xcb_flush(x_.get());
    }
    ServerGrab(const ServerGrab&) = delete;
    ServerGrab& operator=(const ServerGrab&) = delete;

private:
    XConnection& x_;
};

Resources resources(XConnection& x);
OutputInfo outputInfo(XConnection& x, xcb_randr_output_t output, xcb_timestamp_t ts);
CrtcInfo crtcInfo(XConnection& x, xcb_randr_crtc_t crtc, xcb_timestamp_t ts);
std::vector<xcb_randr_output_t> outputsOf(const xcb_randr_get_screen_resources_current_reply_t* r);
std::vector<xcb_randr_crtc_t> crtcsOf(const xcb_randr_get_screen_resources_current_reply_t* r);
std::vector<std::uint32_t> crtcOutputs(const xcb_randr_get_crtc_info_reply_t* c);
std::vector<Monitor> monitors(XConnection& x, bool activeOnly);

// The request's error, if any, as "<what> failed (X error <code>)".
std::expected<void, std::string> check(XConnection& x, xcb_void_cookie_t cookie, const char* what);
std::expected<void, std::string> setCrtc(XConnection& x, xcb_randr_crtc_t crtc, xcb_timestamp_t ts, std::int32_t px,
                                         std::int32_t py, xcb_randr_mode_t mode, std::uint16_t rotation,
                                         const std::vector<std::uint32_t>& outputs);
// Sent by hand: Debian 12's libxcb computes a wrong length for this request and aborts. A monitor
// of the same name goes first, since older servers refuse to replace one.
std::expected<void, std::string> setMonitor(XConnection& x, const std::string& name, bool primary,
                                            const DisplayBounds& b, std::uint32_t mmWidth, std::uint32_t mmHeight,
                                            const std::vector<std::uint32_t>& outputs);
// The size in millimetres of `pixels` at the reference's density, else at 96 dpi.
std::uint32_t millimetres(std::uint32_t pixels, std::uint32_t refPixels, std::uint32_t refMm);

}  // namespace orvanta::platform::x11::randr
