#include "platform/x11/X11Cover.h"

#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/shape.h>
#include <xcb/xfixes.h>

#include <vector>

#include "platform/x11/X11VirtualDisplay.h"

namespace orvanta::platform::x11 {
namespace {

xcb_rectangle_t rectangle(const DisplayBounds& b) {
    return {static_cast<std::int16_t>(b.x), static_cast<std::int16_t>(b.y), static_cast<std::uint16_t>(b.width),
            static_cast<std::uint16_t>(b.height)};
}

// Gives `window` the shape `kind` made of `rects` (none: an empty shape).
void setShape(XConnection& x, xcb_window_t window, xcb_shape_kind_t kind, const std::vector<xcb_rectangle_t>& rects) {
    const xcb_xfixes_region_t region = xcb_generate_id(x.get());
    xcb_xfixes_create_region(x.get(), region, static_cast<std::uint32_t>(rects.size()), rects.data());
    xcb_xfixes_set_window_shape_region(x.get(), window, kind, 0, 0, region);
    xcb_xfixes_destroy_region(x.get(), region);
}

}  // namespace

std::expected<std::unique_ptr<X11BlackoutCovers>, std::string> X11BlackoutCovers::open(const std::string& display) {
    auto x = XConnection::open(display);
    if (!x) return std::unexpected(x.error());
    auto* c = (*x)->get();
    const auto* randr = xcb_get_extension_data(c, &xcb_randr_id);
    Reply<xcb_composite_query_version_reply_t> composite(
        xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
    Reply<xcb_xfixes_query_version_reply_t> xfixes(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
    Reply<xcb_randr_query_version_reply_t> randrVersion(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    if (!randr || !randr->present || !randrVersion) return std::unexpected("the X server has no RandR");
    if (!composite || composite->minor_version < 3) return std::unexpected("the X server has no Composite overlay");
    if (!xfixes || xfixes->major_version < 2) return std::unexpected("the X server has no XFixes regions");
    std::unique_ptr<X11BlackoutCovers> covers(new X11BlackoutCovers(std::move(*x)));
    covers->randrEventBase_ = randr->first_event;
    return covers;
}

X11BlackoutCovers::X11BlackoutCovers(std::unique_ptr<XConnection> x) : x_(std::move(x)) {
    auto* c = x_->get();
    wakeWindow_ = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, wakeWindow_, x_->root(), -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, x_->root(), XCB_CW_EVENT_MASK, &mask);
    xcb_randr_select_input(
        c, x_->root(),
        XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    xcb_flush(c);
    events_ = std::thread([this] { readEvents(); });
}

X11BlackoutCovers::~X11BlackoutCovers() {
    stopping_ = true;
    xcb_client_message_event_t wake{};
    wake.response_type = XCB_CLIENT_MESSAGE;
    wake.format = 32;
    wake.window = wakeWindow_;
    xcb_send_event(x_->get(), 0, wakeWindow_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&wake));
    xcb_flush(x_->get());
    events_.join();
    std::lock_guard lock(mutex_);
    for (const auto& [id, cover] : covers_) xcb_destroy_window(x_->get(), id);
    if (overlay_ != XCB_NONE) xcb_composite_release_overlay_window(x_->get(), x_->root());
    xcb_destroy_window(x_->get(), wakeWindow_);
    xcb_flush(x_->get());
}

void X11BlackoutCovers::readEvents() {
    while (!stopping_) {
        Reply<xcb_generic_event_t> event(xcb_wait_for_event(x_->get()));
        if (!event) return;  // connection lost
        const std::uint8_t type = event->response_type & 0x7F;
        if (type == randrEventBase_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrEventBase_ + XCB_RANDR_NOTIFY) {
            std::function<void()> changed;
            {
                std::lock_guard lock(mutex_);
                changed = changed_;
            }
            if (changed) changed();
        } else if (type == XCB_MAP_NOTIFY || type == XCB_CONFIGURE_NOTIFY) {
            const xcb_window_t window = type == XCB_MAP_NOTIFY
                                            ? reinterpret_cast<xcb_map_notify_event_t*>(event.get())->window
                                            : reinterpret_cast<xcb_configure_notify_event_t*>(event.get())->window;
            std::lock_guard lock(mutex_);
            if (!overlayMode_ && !covers_.contains(window)) raiseLocked();
        }
    }
}

std::vector<CoverScreen> X11BlackoutCovers::screens() {
    Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(x_->get(), xcb_randr_get_monitors(x_->get(), x_->root(), 1), nullptr));
    std::vector<CoverScreen> result;
    if (!reply) return result;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
        const auto* m = it.data;
        result.push_back({monitorDisplayID(*x_, m->name),
                          {m->x, m->y, m->width, m->height},
                          carriesVirtualDisplayMark(atomName(*x_, m->name))});
    }
    return result;
}

void X11BlackoutCovers::observeScreens(std::function<void()> changed) {
    std::lock_guard lock(mutex_);
    changed_ = std::move(changed);
}

bool X11BlackoutCovers::compositingManagerRuns() {
    int screen = 0;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(x_->get())); it.rem > 0 && it.data->root != x_->root();
         xcb_screen_next(&it)) {
        ++screen;
    }
    const std::string name = "_NET_WM_CM_S" + std::to_string(screen);
    Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(x_->get(), xcb_get_selection_owner(x_->get(), x_->atom(name)), nullptr));
    return owner && owner->owner != XCB_NONE;
}

bool X11BlackoutCovers::usesOverlayWindow() const {
    std::lock_guard lock(mutex_);
    return overlayMode_;
}

std::optional<std::uint32_t> X11BlackoutCovers::createCover(const DisplayBounds& frame) {
    if (frame.width < 1 || frame.height < 1 || x_->hasError()) return std::nullopt;
    auto* c = x_->get();
    std::lock_guard lock(mutex_);
    if (covers_.empty()) {
        overlayMode_ = !compositingManagerRuns();
        if (overlayMode_) {
            Reply<xcb_composite_get_overlay_window_reply_t> overlay(
                xcb_composite_get_overlay_window_reply(c, xcb_composite_get_overlay_window(c, x_->root()), nullptr));
            if (!overlay) return std::nullopt;
            overlay_ = overlay->overlay_win;
            setShape(*x_, overlay_, XCB_SHAPE_SK_INPUT, {});
            setShape(*x_, overlay_, XCB_SHAPE_SK_BOUNDING, {});
        }
    }
    const xcb_window_t id = xcb_generate_id(c);
    const std::uint32_t values[] = {x_->screen()->black_pixel, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, id, overlayMode_ ? overlay_ : x_->root(),
                      static_cast<std::int16_t>(frame.x), static_cast<std::int16_t>(frame.y),
                      static_cast<std::uint16_t>(frame.width), static_cast<std::uint16_t>(frame.height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                      values);
    setShape(*x_, id, XCB_SHAPE_SK_INPUT, {});
    const std::string title = "Orvanta 画面の覆い";
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, x_->atom("_NET_WM_NAME"), x_->atom("UTF8_STRING"), 8,
                        static_cast<std::uint32_t>(title.size()), title.data());
    covers_[id] = Cover{frame, false};
    xcb_flush(c);
    return id;
}

void X11BlackoutCovers::moveCover(std::uint32_t id, const DisplayBounds& frame) {
    std::lock_guard lock(mutex_);
    const auto it = covers_.find(id);
    if (it == covers_.end()) return;
    it->second.frame = frame;
    const std::uint32_t values[] = {static_cast<std::uint32_t>(frame.x), static_cast<std::uint32_t>(frame.y),
                                    static_cast<std::uint32_t>(frame.width), static_cast<std::uint32_t>(frame.height)};
    xcb_configure_window(x_->get(), id,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                         values);
    reshapeOverlayLocked();
    xcb_flush(x_->get());
}

void X11BlackoutCovers::revealCover(std::uint32_t id) {
    std::lock_guard lock(mutex_);
    const auto it = covers_.find(id);
    if (it == covers_.end()) return;
    it->second.revealed = true;
    xcb_map_window(x_->get(), id);
    reshapeOverlayLocked();
    if (!overlayMode_) raiseLocked();
    xcb_flush(x_->get());
}

void X11BlackoutCovers::removeCover(std::uint32_t id) {
    std::lock_guard lock(mutex_);
    if (covers_.erase(id) == 0) return;
    xcb_destroy_window(x_->get(), id);
    reshapeOverlayLocked();
    if (covers_.empty() && overlay_ != XCB_NONE) {
        xcb_composite_release_overlay_window(x_->get(), x_->root());
        overlay_ = XCB_NONE;
    }
    xcb_flush(x_->get());
}

// The overlay hides exactly the revealed covers' area.
void X11BlackoutCovers::reshapeOverlayLocked() {
    if (overlay_ == XCB_NONE) return;
    std::vector<xcb_rectangle_t> rects;
    for (const auto& [id, cover] : covers_) {
        if (cover.revealed) rects.push_back(rectangle(cover.frame));
    }
    setShape(*x_, overlay_, XCB_SHAPE_SK_BOUNDING, rects);
}

void X11BlackoutCovers::raiseLocked() {
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    for (const auto& [id, cover] : covers_) {
        if (cover.revealed) xcb_configure_window(x_->get(), id, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    }
    xcb_flush(x_->get());
}

}  // namespace orvanta::platform::x11
