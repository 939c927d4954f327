#include "platform/x11/X11Compositor.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/shape.h>
#include <xcb/xfixes.h>

#include <algorithm>

namespace orvanta::platform::x11 {
namespace {

constexpr std::size_t kMaxDirtyRects = 32;  // beyond this one full redraw is cheaper

std::optional<DisplayBounds> intersect(const DisplayBounds& a, const DisplayBounds& b) {
    const std::int64_t left = std::max<std::int64_t>(a.x, b.x);
    const std::int64_t top = std::max<std::int64_t>(a.y, b.y);
    const std::int64_t right = std::min<std::int64_t>(a.x + a.width, b.x + b.width);
    const std::int64_t bottom = std::min<std::int64_t>(a.y + a.height, b.y + b.height);
    if (right <= left || bottom <= top) return std::nullopt;
    return DisplayBounds{static_cast<std::int32_t>(left), static_cast<std::int32_t>(top), right - left, bottom - top};
}

// The rectangle around `clip` (relative to `area`), in root coordinates.
DisplayBounds boundingBox(const std::vector<xcb_rectangle_t>& clip, const DisplayBounds& area) {
    std::int64_t left = INT64_MAX, top = INT64_MAX, right = INT64_MIN, bottom = INT64_MIN;
    for (const auto& r : clip) {
        left = std::min<std::int64_t>(left, r.x);
        top = std::min<std::int64_t>(top, r.y);
        right = std::max<std::int64_t>(right, r.x + r.width);
        bottom = std::max<std::int64_t>(bottom, r.y + r.height);
    }
    return {static_cast<std::int32_t>(area.x + left), static_cast<std::int32_t>(area.y + top), right - left,
            bottom - top};
}

}  // namespace

std::expected<std::unique_ptr<X11Compositor>, std::string> X11Compositor::open(const std::string& display) {
    auto x = XConnection::open(display);
    if (!x) return std::unexpected(x.error());
    std::unique_ptr<X11Compositor> compositor(new X11Compositor(std::move(*x)));
    if (auto started = compositor->start(); !started) return std::unexpected(started.error());
    return compositor;
}

X11Compositor::X11Compositor(std::unique_ptr<XConnection> x) : x_(std::move(x)) {}

std::expected<void, std::string> X11Compositor::start() {
    auto* c = x_->get();
    Reply<xcb_composite_query_version_reply_t> composite(
        xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
    Reply<xcb_xfixes_query_version_reply_t> xfixes(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
    Reply<xcb_damage_query_version_reply_t> damageVersion(
        xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    Reply<xcb_render_query_version_reply_t> render(
        xcb_render_query_version_reply(c, xcb_render_query_version(c, 0, 11), nullptr));
    Reply<xcb_shm_query_version_reply_t> shm(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
    if (!composite || composite->minor_version < 2) return std::unexpected("the X server has no Composite pixmaps");
    if (!xfixes || !damageVersion || !render || !shm) {
        return std::unexpected("the X server lacks XFixes, Damage, Render or MIT-SHM");
    }
    damageEventBase_ = xcb_get_extension_data(c, &xcb_damage_id)->first_event;
    const auto* shape = xcb_get_extension_data(c, &xcb_shape_id);
    if (!shape || !shape->present) return std::unexpected("the X server has no Shape extension");
    shapeEventBase_ = shape->first_event;

    Reply<xcb_render_query_pict_formats_reply_t> formats(
        xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), nullptr));
    if (!formats) return std::unexpected("cannot read the Render picture formats");
    for (auto it = xcb_render_query_pict_formats_formats_iterator(formats.get()); it.rem > 0;
         xcb_render_pictforminfo_next(&it)) {
        const auto& f = *it.data;
        formatHasAlpha_[f.id] = f.direct.alpha_mask != 0;
        if (f.type == XCB_RENDER_PICT_TYPE_DIRECT && f.depth == 32 && f.direct.alpha_mask == 0xFF) argbFormat_ = f.id;
    }
    for (auto screens = xcb_render_query_pict_formats_screens_iterator(formats.get()); screens.rem > 0;
         xcb_render_pictscreen_next(&screens)) {
        for (auto depths = xcb_render_pictscreen_depths_iterator(screens.data); depths.rem > 0;
             xcb_render_pictdepth_next(&depths)) {
            for (auto visuals = xcb_render_pictdepth_visuals_iterator(depths.data); visuals.rem > 0;
                 xcb_render_pictvisual_next(&visuals)) {
                visualFormats_[visuals.data->visual] = visuals.data->format;
            }
        }
    }
    rootFormat_ = visualFormats_[x_->screen()->root_visual];
    if (rootFormat_ == 0) return std::unexpected("no Render format for the root visual");

    // Watch first, then list: a window made in between is seen twice and added once.
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, x_->root(), XCB_CW_EVENT_MASK, &mask);
    Reply<xcb_generic_error_t> redirectError(xcb_request_check(
        c, xcb_composite_redirect_subwindows_checked(c, x_->root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
    if (redirectError) return std::unexpected("cannot redirect the top-level windows");
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, x_->root()), nullptr));
    if (!tree) return std::unexpected("cannot list the top-level windows");
    const auto* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) add(children[i]);
    std::erase_if(stack_, [](const Window& w) { return !w.known; });
    loadBackground();
    return {};
}

X11Compositor::~X11Compositor() {
    releaseBuffer();
    for (auto& w : stack_) forget(w);
    if (background_ != XCB_NONE) xcb_render_free_picture(x_->get(), background_);
    xcb_composite_unredirect_subwindows(x_->get(), x_->root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    xcb_flush(x_->get());
}

// A window left out takes the top-level window holding it along: covers may be children of the
// Composite Overlay Window, which is itself a child of the root.
std::set<std::uint32_t> X11Compositor::withContainers(const std::set<std::uint32_t>& windows) {
    std::set<std::uint32_t> result = windows;
    for (const auto id : windows) {
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x_->get(), xcb_query_tree(x_->get(), id), nullptr));
        if (tree && tree->parent != x_->root() && tree->parent != XCB_NONE) result.insert(tree->parent);
    }
    return result;
}

void X11Compositor::setExcluded(std::set<std::uint32_t> windows) {
    std::lock_guard lock(excludedMutex_);
    excluded_ = std::move(windows);
}

X11Compositor::Window* X11Compositor::find(xcb_window_t id) {
    const auto it = std::find_if(stack_.begin(), stack_.end(), [id](const Window& w) { return w.id == id; });
    return it == stack_.end() ? nullptr : &*it;
}

// Adds a top-level window on top of the stack (the place of a new window) and reads what it is.
void X11Compositor::add(xcb_window_t id) {
    if (find(id)) return;
    Window w;
    w.id = id;
    stack_.push_back(w);
    learn(stack_.back());
}

void X11Compositor::learn(Window& w) {
    auto* c = x_->get();
    const auto attributesCookie = xcb_get_window_attributes(c, w.id);
    const auto geometryCookie = xcb_get_geometry(c, w.id);
    Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, nullptr));
    if (!attributes || !geometry) return;  // already gone; its DestroyNotify follows
    w.known = true;
    w.drawable = attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT;
    w.mapped = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    w.format = visualFormats_.contains(attributes->visual) ? visualFormats_[attributes->visual] : rootFormat_;
    w.alpha = formatHasAlpha_[w.format];
    w.border = geometry->border_width;
    w.outer = {geometry->x, geometry->y, geometry->width + 2 * geometry->border_width,
               geometry->height + 2 * geometry->border_width};
    track(w);
}

void X11Compositor::track(Window& w) {
    if (!w.drawable || w.damage != XCB_NONE) return;
    w.damage = xcb_generate_id(x_->get());
    xcb_damage_create(x_->get(), w.damage, w.id, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
    xcb_shape_select_input(x_->get(), w.id, 1);
}

// A window's pixmap changes when it is mapped again or resized: name it anew when drawn next.
void X11Compositor::dropPixmap(Window& w) {
    w.contentChanged = true;
    if (w.picture != XCB_NONE) xcb_render_free_picture(x_->get(), w.picture);
    if (w.pixmap != XCB_NONE) xcb_free_pixmap(x_->get(), w.pixmap);
    if (w.shape != XCB_NONE) xcb_xfixes_destroy_region(x_->get(), w.shape);
    w.shape = XCB_NONE;
    w.picture = XCB_NONE;
    w.pixmap = XCB_NONE;
}

void X11Compositor::forget(Window& w) {
    dropPixmap(w);
    if (w.damage != XCB_NONE) xcb_damage_destroy(x_->get(), w.damage);
    w.damage = XCB_NONE;
}

void X11Compositor::restack(xcb_window_t id, xcb_window_t above) {
    const auto it = std::find_if(stack_.begin(), stack_.end(), [id](const Window& w) { return w.id == id; });
    if (it == stack_.end()) return;
    Window moved = *it;
    stack_.erase(it);
    auto at = stack_.begin();
    if (above != XCB_NONE) {
        const auto sibling =
            std::find_if(stack_.begin(), stack_.end(), [above](const Window& w) { return w.id == above; });
        at = sibling == stack_.end() ? stack_.end() : sibling + 1;
    }
    stack_.insert(at, moved);
}

void X11Compositor::damage(const DisplayBounds& area) {
    changed_ = true;
    if (allDirty_) return;
    dirty_.push_back(area);
    if (dirty_.size() > kMaxDirtyRects) allDirty_ = true;
}

int X11Compositor::descriptor() const { return xcb_get_file_descriptor(x_->get()); }

bool X11Compositor::takeChanges() {
    drainEvents();
    return std::exchange(changed_, false);
}

void X11Compositor::drainEvents() {
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(x_->get())}) handle(event.get());
}

// Errors (type 0) are dropped: a window that vanished between listing and drawing costs nothing.
void X11Compositor::handle(const xcb_generic_event_t* event) {
    const std::uint8_t type = event->response_type & 0x7F;
    if (type == damageEventBase_ + XCB_DAMAGE_NOTIFY) {
        const auto* e = reinterpret_cast<const xcb_damage_notify_event_t*>(event);
        Window* w = find(e->drawable);
        if (w) w->contentChanged = true;
        if (w && w->mapped) {
            damage({w->outer.x + w->border + e->area.x, w->outer.y + w->border + e->area.y, e->area.width,
                    e->area.height});
        }
        return;
    }
    if (type == shapeEventBase_ + XCB_SHAPE_NOTIFY) {
        const auto* e = reinterpret_cast<const xcb_shape_notify_event_t*>(event);
        if (Window* w = find(e->affected_window); w && e->shape_kind == XCB_SHAPE_SK_BOUNDING) {
            dropPixmap(*w);
            if (w->mapped) damage(w->outer);
        }
        return;
    }
    switch (type) {
        case XCB_CREATE_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_create_notify_event_t*>(event);
            if (e->parent == x_->root()) add(e->window);
            break;
        }
        case XCB_DESTROY_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
            if (Window* w = find(e->window)) {
                if (w->mapped) damage(w->outer);
                dropPixmap(*w);  // the damage object went with the window
                std::erase_if(stack_, [id = e->window](const Window& v) { return v.id == id; });
            }
            break;
        }
        case XCB_MAP_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_map_notify_event_t*>(event);
            if (e->event != x_->root()) break;
            Window* w = find(e->window);
            if (!w) break;
            if (!w->known) learn(*w);
            w->mapped = true;
            track(*w);
            dropPixmap(*w);
            damage(w->outer);
            break;
        }
        case XCB_UNMAP_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_unmap_notify_event_t*>(event);
            if (e->event != x_->root()) break;
            if (Window* w = find(e->window)) {
                if (w->mapped) damage(w->outer);
                w->mapped = false;
                dropPixmap(*w);
            }
            break;
        }
        case XCB_CONFIGURE_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
            if (e->event != x_->root()) break;
            Window* w = find(e->window);
            if (!w) break;
            const DisplayBounds outer{e->x, e->y, e->width + 2 * e->border_width, e->height + 2 * e->border_width};
            if (w->mapped) damage(w->outer);
            if (outer.width != w->outer.width || outer.height != w->outer.height) dropPixmap(*w);
            w->outer = outer;
            w->border = e->border_width;
            const bool mapped = w->mapped;
            restack(e->window, e->above_sibling);
            if (mapped) damage(outer);
            break;
        }
        case XCB_REPARENT_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
            if (e->event != x_->root()) break;
            if (e->parent == x_->root()) {
                add(e->window);
                if (const Window* w = find(e->window); w && w->mapped) damage(w->outer);
            } else if (Window* w = find(e->window)) {
                if (w->mapped) damage(w->outer);
                forget(*w);
                std::erase_if(stack_, [id = e->window](const Window& v) { return v.id == id; });
            }
            break;
        }
        case XCB_CIRCULATE_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_circulate_notify_event_t*>(event);
            Window* w = find(e->window);
            if (!w) break;
            const DisplayBounds outer = w->outer;
            restack(e->window, e->place == XCB_PLACE_ON_TOP && !stack_.empty() ? stack_.back().id : XCB_NONE);
            damage(outer);
            break;
        }
        case XCB_PROPERTY_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_property_notify_event_t*>(event);
            if (e->window == x_->root() && e->atom == x_->atom("_XROOTPMAP_ID")) {
                loadBackground();
                allDirty_ = true;
                changed_ = true;
            }
            break;
        }
        default:
            break;
    }
}

// The desktop background: the pixmap that _XROOTPMAP_ID names; black when none is set (a desktop
// window, where there is one, is the lowest top-level window and drawn as any other).
void X11Compositor::loadBackground() {
    auto* c = x_->get();
    if (background_ != XCB_NONE) xcb_render_free_picture(c, background_);
    background_ = XCB_NONE;
    Reply<xcb_get_property_reply_t> property(xcb_get_property_reply(
        c, xcb_get_property(c, 0, x_->root(), x_->atom("_XROOTPMAP_ID"), XCB_ATOM_PIXMAP, 0, 1), nullptr));
    if (!property || xcb_get_property_value_length(property.get()) != 4) return;
    const xcb_pixmap_t pixmap = *static_cast<const xcb_pixmap_t*>(xcb_get_property_value(property.get()));
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, pixmap), nullptr));
    if (!geometry) return;
    const xcb_render_pictformat_t format = geometry->depth == 32                         ? argbFormat_
                                           : geometry->depth == x_->screen()->root_depth ? rootFormat_
                                                                                         : 0;
    if (format == 0) return;
    background_ = xcb_generate_id(c);
    const std::uint32_t repeat = XCB_RENDER_REPEAT_NORMAL;
    xcb_render_create_picture(c, background_, pixmap, format, XCB_RENDER_CP_REPEAT, &repeat);
}

bool X11Compositor::ensurePicture(Window& w) {
    if (w.picture != XCB_NONE) return true;
    auto* c = x_->get();
    w.pixmap = xcb_generate_id(c);
    xcb_composite_name_window_pixmap(c, w.id, w.pixmap);
    w.picture = xcb_generate_id(c);
    const std::uint32_t includeInferiors = XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS;
    xcb_render_create_picture(c, w.picture, w.pixmap, w.format, XCB_RENDER_CP_SUBWINDOW_MODE, &includeInferiors);
    // A shaped window is drawn through its shape (its region is relative to the inside of the border).
    Reply<xcb_shape_query_extents_reply_t> extents(
        xcb_shape_query_extents_reply(c, xcb_shape_query_extents(c, w.id), nullptr));
    if (extents && extents->bounding_shaped) {
        w.shape = xcb_generate_id(c);
        xcb_xfixes_create_region_from_window(c, w.shape, w.id, XCB_SHAPE_SK_BOUNDING);
    }
    return true;
}

std::expected<void, std::string> X11Compositor::ensureBuffer(const DisplayBounds& area) {
    if (buffer_.pixmap != XCB_NONE && buffer_.area.width == area.width && buffer_.area.height == area.height) {
        if (buffer_.area != area) buffer_.valid = false;
        buffer_.area = area;
        return {};
    }
    releaseBuffer();
    auto* c = x_->get();
    const std::size_t bytes = static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height) * 4;
    buffer_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (buffer_.shmid < 0) return std::unexpected("no shared memory for the composed picture");
    void* memory = shmat(buffer_.shmid, nullptr, 0);
    if (memory == reinterpret_cast<void*>(-1)) {
        shmctl(buffer_.shmid, IPC_RMID, nullptr);
        buffer_.shmid = -1;
        return std::unexpected("cannot map the composed picture's shared memory");
    }
    buffer_.memory = static_cast<std::uint8_t*>(memory);
    buffer_.segment = xcb_generate_id(c);
    Reply<xcb_generic_error_t> attachError(
        xcb_request_check(c, xcb_shm_attach_checked(c, buffer_.segment, static_cast<std::uint32_t>(buffer_.shmid), 0)));
    shmctl(buffer_.shmid, IPC_RMID, nullptr);  // freed once both sides let go
    if (attachError) {
        buffer_.segment = XCB_NONE;
        releaseBuffer();
        return std::unexpected("the X server cannot share memory with this process");
    }
    buffer_.area = area;
    buffer_.pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, x_->screen()->root_depth, buffer_.pixmap, x_->root(), static_cast<std::uint16_t>(area.width),
                      static_cast<std::uint16_t>(area.height));
    buffer_.picture = xcb_generate_id(c);
    xcb_render_create_picture(c, buffer_.picture, buffer_.pixmap, rootFormat_, 0, nullptr);
    buffer_.valid = false;
    return {};
}

void X11Compositor::releaseBuffer() {
    auto* c = x_->get();
    if (buffer_.picture != XCB_NONE) xcb_render_free_picture(c, buffer_.picture);
    if (buffer_.pixmap != XCB_NONE) xcb_free_pixmap(c, buffer_.pixmap);
    if (buffer_.segment != XCB_NONE) xcb_shm_detach(c, buffer_.segment);
    xcb_flush(c);
    if (buffer_.memory) shmdt(buffer_.memory);
    buffer_ = Buffer{};
}

std::expected<ComposedImage, std::string> X11Compositor::compose(const DisplayBounds& area) {
    if (area.width < 1 || area.height < 1 || area.width > 32767 || area.height > 32767) {
        return std::unexpected("area " + std::to_string(area.width) + "x" + std::to_string(area.height) + " refused");
    }
    if (x_->hasError()) return std::unexpected("the X server connection is lost");
    drainEvents();
    {
        std::lock_guard lock(excludedMutex_);
        if (excluded_ != excludedRequested_) {
            excludedRequested_ = excluded_;
            excludedInUse_ = withContainers(excluded_);
            allDirty_ = true;
        }
    }
    if (auto ready = ensureBuffer(area); !ready) return std::unexpected(ready.error());
    buffer_.window = XCB_NONE;  // a window's picture there left it invalid for this

    std::vector<xcb_rectangle_t> clip;
    const auto add = [&](const DisplayBounds& r) {
        if (const auto part = intersect(r, area)) {
            clip.push_back({static_cast<std::int16_t>(part->x - area.x), static_cast<std::int16_t>(part->y - area.y),
                            static_cast<std::uint16_t>(part->width), static_cast<std::uint16_t>(part->height)});
        }
    };
    if (allDirty_ || !buffer_.valid) {
        add(area);
    } else {
        for (const auto& r : dirty_) add(r);
    }
    dirty_.clear();
    allDirty_ = false;
    if (clip.empty()) {
        return ComposedImage{buffer_.memory, static_cast<int>(area.width), static_cast<int>(area.height),
                             static_cast<int>(area.width) * 4, false};
    }

    auto* c = x_->get();
    const auto shown = [&](const Window& window) {
        return window.mapped && window.drawable && !excludedInUse_.contains(window.id) && intersect(window.outer, area);
    };
    // What lies under an opaque window covering everything to draw is not drawn, background included.
    std::size_t first = 0;
    bool covered = false;
    const DisplayBounds box = boundingBox(clip, area);
    for (std::size_t i = stack_.size(); i-- > 0 && !covered;) {
        Window& window = stack_[i];
        if (!shown(window)) continue;
        ensurePicture(window);
        if (!window.alpha && window.shape == XCB_NONE && intersect(window.outer, box) == box) {
            first = i;
            covered = true;
        }
    }

    const xcb_xfixes_region_t dirty = xcb_generate_id(c);
    xcb_xfixes_create_region(c, dirty, static_cast<std::uint32_t>(clip.size()), clip.data());
    xcb_xfixes_set_picture_clip_region(c, buffer_.picture, dirty, 0, 0);
    const auto w = static_cast<std::uint16_t>(area.width);
    const auto h = static_cast<std::uint16_t>(area.height);
    if (!covered && background_ != XCB_NONE) {
        xcb_render_composite(c, XCB_RENDER_PICT_OP_SRC, background_, XCB_NONE, buffer_.picture,
                             static_cast<std::int16_t>(area.x), static_cast<std::int16_t>(area.y), 0, 0, 0, 0, w, h);
    } else if (!covered) {
        const xcb_rectangle_t all{0, 0, w, h};
        xcb_render_fill_rectangles(c, XCB_RENDER_PICT_OP_SRC, buffer_.picture, {0, 0, 0, 0xFFFF}, 1, &all);
    }
    xcb_xfixes_region_t shaped = XCB_NONE;
    for (std::size_t i = first; i < stack_.size(); ++i) {
        Window& window = stack_[i];
        if (!shown(window)) continue;
        ensurePicture(window);
        const auto dx = static_cast<std::int16_t>(window.outer.x - area.x);
        const auto dy = static_cast<std::int16_t>(window.outer.y - area.y);
        if (window.shape != XCB_NONE) {
            // The destination clip is what Render honours: the dirty area within the shape.
            if (shaped == XCB_NONE) {
                shaped = xcb_generate_id(c);
                xcb_xfixes_create_region(c, shaped, 0, nullptr);
            }
            const auto ox = static_cast<std::int16_t>(dx + window.border);
            const auto oy = static_cast<std::int16_t>(dy + window.border);
            xcb_xfixes_translate_region(c, window.shape, ox, oy);
            xcb_xfixes_intersect_region(c, window.shape, dirty, shaped);
            xcb_xfixes_translate_region(c, window.shape, static_cast<std::int16_t>(-ox),
                                        static_cast<std::int16_t>(-oy));
            xcb_xfixes_set_picture_clip_region(c, buffer_.picture, shaped, 0, 0);
        }
        xcb_render_composite(c, window.alpha ? XCB_RENDER_PICT_OP_OVER : XCB_RENDER_PICT_OP_SRC, window.picture,
                             XCB_NONE, buffer_.picture, 0, 0, 0, 0, dx, dy,
                             static_cast<std::uint16_t>(window.outer.width),
                             static_cast<std::uint16_t>(window.outer.height));
        if (window.shape != XCB_NONE) xcb_xfixes_set_picture_clip_region(c, buffer_.picture, dirty, 0, 0);
    }
    if (shaped != XCB_NONE) xcb_xfixes_destroy_region(c, shaped);
    xcb_xfixes_destroy_region(c, dirty);
    buffer_.valid = true;
    return read();
}

// A window inside a window manager's frame is read from the frame's pixmap, at its place there.
std::expected<ComposedImage, std::string> X11Compositor::composeWindow(std::uint32_t id) {
    if (x_->hasError()) return std::unexpected("the X server connection is lost");
    drainEvents();
    auto* c = x_->get();
    const auto gone = [id] { return std::unexpected("window " + std::to_string(id) + " is not shown"); };
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, id), nullptr));
    if (!geometry || geometry->width == 0 || geometry->height == 0) return gone();
    xcb_window_t top = id;
    for (;;) {
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, top), nullptr));
        if (!tree) return gone();
        if (tree->parent == x_->root()) break;
        top = tree->parent;
    }
    Window* window = find(top);
    if (!window || !window->mapped || !window->drawable) return gone();
    Reply<xcb_translate_coordinates_reply_t> place(
        xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, id, top, 0, 0), nullptr));
    if (!place) return gone();
    const DisplayBounds size{0, 0, geometry->width, geometry->height};
    if (auto ready = ensureBuffer(size); !ready) return std::unexpected(ready.error());
    const std::pair<std::int16_t, std::int16_t> windowPlace{place->dst_x, place->dst_y};
    if (buffer_.window == id && buffer_.windowPlace == windowPlace && !window->contentChanged) {
        return ComposedImage{buffer_.memory, geometry->width, geometry->height, geometry->width * 4, false};
    }
    ensurePicture(*window);
    const xcb_rectangle_t all{0, 0, geometry->width, geometry->height};
    xcb_render_set_picture_clip_rectangles(c, buffer_.picture, 0, 0, 1, &all);
    xcb_render_fill_rectangles(c, XCB_RENDER_PICT_OP_SRC, buffer_.picture, {0, 0, 0, 0xFFFF}, 1, &all);
    xcb_render_composite(c, XCB_RENDER_PICT_OP_OVER, window->picture, XCB_NONE, buffer_.picture,
                         static_cast<std::int16_t>(place->dst_x + window->border),
                         static_cast<std::int16_t>(place->dst_y + window->border), 0, 0, 0, 0, all.width, all.height);
    buffer_.valid = false;  // the display picture must be drawn whole again
    auto image = read();
    if (!image) return image;
    buffer_.window = id;
    buffer_.windowPlace = windowPlace;
    window->contentChanged = false;
    return image;
}

std::expected<ComposedImage, std::string> X11Compositor::read() {
    auto* c = x_->get();
    const auto& area = buffer_.area;
    Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
        c,
        xcb_shm_get_image(c, buffer_.pixmap, 0, 0, static_cast<std::uint16_t>(area.width),
                          static_cast<std::uint16_t>(area.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, buffer_.segment, 0),
        nullptr));
    if (!reply) return std::unexpected("the composed picture could not be read");
    return ComposedImage{buffer_.memory, static_cast<int>(area.width), static_cast<int>(area.height),
                         static_cast<int>(area.width) * 4, true};
}

}  // namespace orvanta::platform::x11
