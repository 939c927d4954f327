// The desktop's picture built from the top-level windows' own pixmaps, for capture while blackout
// covers are up: a plain grab would show the covers. Top-level windows are redirected with
// Composite's automatic mode (the local screen looks the same), tracked through root
// SubstructureNotify, and drawn bottom to top with XRender into a buffer over the root
// background, leaving out the excluded windows. Only damaged areas are drawn again; the buffer
// is read with one shared-memory request.
#pragma once

#include <xcb/damage.h>
#include <xcb/render.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/VirtualDisplayFactory.h"
#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {

// A composed picture: 32-bit pixels, blue first (BGRX), rows of `stride` bytes. Valid until the
// next call on the compositor.
struct ComposedImage {
    const std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
    bool changed = false;  // anything differs from the previous picture of the same area or window
};

class X11Compositor {
public:
    static std::expected<std::unique_ptr<X11Compositor>, std::string> open(const std::string& display = {});
    ~X11Compositor();
    X11Compositor(const X11Compositor&) = delete;
    X11Compositor& operator=(const X11Compositor&) = delete;

    // Windows left out of the picture (the covers). Any thread.
    void setExcluded(std::set<std::uint32_t> windows);
    // The picture of `area` (root coordinates). Calls come from one thread at a time.
    std::expected<ComposedImage, std::string> compose(const DisplayBounds& area);
    // One window's own contents, whatever covers it: a top-level window or a client inside a frame.
    std::expected<ComposedImage, std::string> composeWindow(std::uint32_t window);

    // The connection's descriptor: readable when the server reported something.
    int descriptor() const;
    // Reads what the server reported; true when anything drawn changed since the last call (the
    // covers hide such changes from the screen's own damage reports).
    bool takeChanges();
    bool connectionLost() const { return x_->hasError(); }

private:
    struct Window {
        xcb_window_t id = XCB_NONE;
        DisplayBounds outer;  // with the border
        std::uint16_t border = 0;
        bool mapped = false;
        bool known = false;     // class and visual read
        bool drawable = false;  // InputOutput
        xcb_render_pictformat_t format = 0;
        bool alpha = false;
        xcb_damage_damage_t damage = XCB_NONE;
        xcb_pixmap_t pixmap = XCB_NONE;
        xcb_render_picture_t picture = XCB_NONE;
        std::uint32_t shape = 0;     // the bounding region of a shaped window, else none
        bool contentChanged = true;  // drawn into, or its pixmap renamed, since composed on its own
    };
    struct Buffer {
        DisplayBounds area;
        xcb_pixmap_t pixmap = XCB_NONE;
        xcb_render_picture_t picture = XCB_NONE;
        xcb_shm_seg_t segment = XCB_NONE;
        int shmid = -1;
        std::uint8_t* memory = nullptr;
        bool valid = false;              // holds a complete picture of `area`
        xcb_window_t window = XCB_NONE;  // or of this window alone, at `windowPlace` within its top level
        std::pair<std::int16_t, std::int16_t> windowPlace;
    };

    explicit X11Compositor(std::unique_ptr<XConnection> x);
    std::expected<void, std::string> start();
    void drainEvents();
    void handle(const xcb_generic_event_t* event);
    Window* find(xcb_window_t id);
    void add(xcb_window_t id);
    void learn(Window& w);
    void track(Window& w);
    void dropPixmap(Window& w);
    void forget(Window& w);
    void restack(xcb_window_t id, xcb_window_t above);
    bool ensurePicture(Window& w);
    void damage(const DisplayBounds& area);
    void loadBackground();
    std::expected<void, std::string> ensureBuffer(const DisplayBounds& area);
    void releaseBuffer();
    std::expected<ComposedImage, std::string> read();
    std::set<std::uint32_t> withContainers(const std::set<std::uint32_t>& windows);

    std::unique_ptr<XConnection> x_;
    std::uint8_t damageEventBase_ = 0;
    std::uint8_t shapeEventBase_ = 0;
    std::map<xcb_visualid_t, xcb_render_pictformat_t> visualFormats_;
    std::map<xcb_render_pictformat_t, bool> formatHasAlpha_;
    xcb_render_pictformat_t rootFormat_ = 0;
    xcb_render_pictformat_t argbFormat_ = 0;
    xcb_render_picture_t background_ = XCB_NONE;
    std::vector<Window> stack_;  // bottom to top
    std::vector<DisplayBounds> dirty_;
    bool allDirty_ = true;
    bool changed_ = false;  // since takeChanges
    Buffer buffer_;

    std::mutex excludedMutex_;
    std::set<std::uint32_t> excluded_;
    std::set<std::uint32_t> excludedRequested_;
    std::set<std::uint32_t> excludedInUse_;
};

}  // namespace orvanta::platform::x11
