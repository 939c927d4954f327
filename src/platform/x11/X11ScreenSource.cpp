#include "platform/x11/X11ScreenSource.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "platform/x11/FramePacer.h"
#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {

namespace {

// The pointer is asked for at most at the frame rate. With XInput's raw motion news it is asked
// for only after news, and once a second for the moves that bring none (a warp); without them,
// at the frame rate while it moves and slowly once it has been still for a second. Either way a
// still desktop costs next to nothing.
constexpr std::uint64_t kPointerPollMicros = 16'000;
constexpr std::uint64_t kStillPointerPollMicros = 100'000;
constexpr std::uint64_t kPointerStillAfterMicros = 1'000'000;
constexpr std::uint64_t kWatchedPointerPollMicros = 1'000'000;
// Removing a RandR monitor sends no event: a display target is looked for again this often.
constexpr std::uint64_t kMonitorCheckMicros = 2'000'000;
constexpr std::string_view kConnectionLost = "X server connection lost";
constexpr std::uint32_t kAllPlanes = ~0u;

struct Monitor {
    std::uint32_t id = 0;  // the monitor's name atom: stable while the monitor exists
    ScreenRect rect;
    bool primary = false;
    bool ownVirtual = false;
};

bool outputCarriesMark(XConnection& x, xcb_randr_output_t output) {
    Reply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
        x.get(), xcb_randr_get_output_info(x.get(), output, XCB_CURRENT_TIME), nullptr));
    if (!info) return false;
    const std::string_view name(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                                static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.get())));
    return carriesVirtualDisplayMark(name);
}

// The screen's RandR monitors; the whole screen as one display when RandR has none. The marks
// cost round trips of their own and are read only when asked for.
std::vector<Monitor> monitors(XConnection& x, bool withMarks = true) {
    std::vector<Monitor> found;
    Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(x.get(), xcb_randr_get_monitors(x.get(), x.root(), 1), nullptr));
    if (reply) {
        for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
             xcb_randr_monitor_info_next(&it)) {
            const xcb_randr_monitor_info_t* info = it.data;
            Monitor monitor{info->name,
                            {static_cast<double>(info->x), static_cast<double>(info->y),
                             static_cast<double>(info->width), static_cast<double>(info->height)},
                            info->primary != 0,
                            withMarks && carriesVirtualDisplayMark(atomName(x, info->name))};
            const xcb_randr_output_t* outputs = xcb_randr_monitor_info_outputs(info);
            for (int i = 0; withMarks && i < xcb_randr_monitor_info_outputs_length(info) && !monitor.ownVirtual; ++i) {
                monitor.ownVirtual = outputCarriesMark(x, outputs[i]);
            }
            found.push_back(monitor);
        }
    }
    if (found.empty()) {
        found.push_back({x.root(),
                         {0, 0, static_cast<double>(x.screen()->width_in_pixels),
                          static_cast<double>(x.screen()->height_in_pixels)},
                         true,
                         false});
    }
    return found;
}

// A window's area in root coordinates, or nothing when it is gone.
std::optional<ScreenRect> windowArea(XConnection& x, xcb_window_t window) {
    auto geometryCookie = xcb_get_geometry(x.get(), window);
    auto translateCookie = xcb_translate_coordinates(x.get(), window, x.root(), 0, 0);
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(x.get(), geometryCookie, nullptr));
    Reply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(x.get(), translateCookie, nullptr));
    if (!geometry || !origin) return std::nullopt;
    return ScreenRect{static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
                      static_cast<double>(geometry->width), static_cast<double>(geometry->height)};
}

// Rows [first, second) of a picture; empty when second <= first.
using Rows = std::pair<int, int>;

// The rows from the first of two bands to the last of them.
Rows spanning(const Rows& a, const Rows& b) {
    if (a.first >= a.second) return b;
    if (b.first >= b.second) return a;
    return {std::min(a.first, b.first), std::max(a.second, b.second)};
}

std::uint8_t firstEvent(XConnection& x, xcb_extension_t* extension) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(x.get(), extension);
    return data && data->present ? data->first_event : 0;
}

class X11ScreenStream final : public ScreenStream {
public:
    X11ScreenStream(std::unique_ptr<XConnection> x, StreamSettings settings, std::shared_ptr<FrameComposer> composer,
                    const base::Clock& clock)
        : x_(std::move(x)),
          settings_(std::move(settings)),
          composer_(std::move(composer)),
          clock_(clock),
          excluded_(settings_.excludedWindows),
          wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    ~X11ScreenStream() override {
        stop();
        releaseSegment();
        if (wakeFd_ >= 0) ::close(wakeFd_);
    }

    std::expected<void, std::string> start(ImageHandler onImage, StopHandler onStopped) override {
        if (wakeFd_ < 0) return std::unexpected(std::string("cannot create the stream's wake-up descriptor"));
        if (auto prepared = prepare(); !prepared) return prepared;
        onImage_ = std::move(onImage);
        onStopped_ = std::move(onStopped);
        thread_ = std::thread([this] {
            run();
            composerWatch_.reset();  // no call from the composer outlives the thread
        });
        return {};
    }

    void stop() override {
        stopping_ = true;
        wake();
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

    std::expected<void, std::string> setExcludedWindows(std::set<std::uint32_t> windows) override {
        {
            std::lock_guard guard(mutex_);
            excluded_ = std::move(windows);
            redeliver_ = true;
        }
        wake();
        return {};
    }

    void redeliver() override {
        {
            std::lock_guard guard(mutex_);
            redeliver_ = true;
        }
        wake();
    }

private:
    bool isWindow() const { return std::holds_alternative<WindowTarget>(settings_.target); }
    std::uint32_t targetID() const {
        return std::visit([](const auto& target) { return target.id; }, settings_.target);
    }
    bool composing() {
        std::lock_guard guard(mutex_);
        return composer_ && !excluded_.empty();
    }

    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
    }

    std::expected<void, std::string> prepare() {
        xcb_connection_t* c = x_->get();
        xcb_prefetch_extension_data(c, &xcb_damage_id);
        xcb_prefetch_extension_data(c, &xcb_randr_id);
        xcb_prefetch_extension_data(c, &xcb_shm_id);
        xcb_prefetch_extension_data(c, &xcb_xfixes_id);
        xcb_prefetch_extension_data(c, &xcb_input_id);
        damageEvent_ = firstEvent(*x_, &xcb_damage_id);
        if (!xcb_get_extension_data(c, &xcb_damage_id)->present) {
            return std::unexpected(std::string("the X server has no DAMAGE extension"));
        }
        Reply<xcb_damage_query_version_reply_t> damageVersion(
            xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
        randrEvent_ = firstEvent(*x_, &xcb_randr_id);
        hasShm_ = xcb_get_extension_data(c, &xcb_shm_id)->present;
        if (hasShm_) {
            Reply<xcb_shm_query_version_reply_t> shm(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
            sharedPixmaps_ = shm && shm->shared_pixmaps && shm->pixmap_format == XCB_IMAGE_FORMAT_Z_PIXMAP;
        }
        Reply<xcb_xfixes_query_version_reply_t> xfixes(
            xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
        if (xfixes) {
            xfixesEvent_ = firstEvent(*x_, &xcb_xfixes_id);
            if (settings_.showsCursor) {
                xcb_xfixes_select_cursor_input(c, x_->root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
            }
            region_ = xcb_generate_id(c);
            xcb_xfixes_create_region(c, region_, 0, nullptr);
        } else {
            sharedPixmaps_ = false;  // damaged rectangles come as an XFixes region
        }
        if (settings_.showsCursor) watchPointer();
        gc_ = xcb_generate_id(c);
        // Child windows are part of the picture; copies raise no exposure events.
        const std::uint32_t gcValues[] = {XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS, 0};
        xcb_create_gc(c, gc_, x_->root(), XCB_GC_SUBWINDOW_MODE | XCB_GC_GRAPHICS_EXPOSURES, gcValues);
        if (auto located = locate(); !located) return located;
        if (isWindow()) {
            const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
            xcb_change_window_attributes(c, targetID(), XCB_CW_EVENT_MASK, &mask);
        } else {
            xcb_randr_select_input(c, x_->root(),
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_RESOURCE_CHANGE);
        }
        damage_ = xcb_generate_id(c);
        xcb_damage_create(c, damage_, x_->root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
        xcb_flush(c);
        return {};
    }

    // Raw motion news from every pointer, whichever window it is over.
    void watchPointer() {
        xcb_connection_t* c = x_->get();
        const xcb_query_extension_reply_t* input = xcb_get_extension_data(c, &xcb_input_id);
        if (!input || !input->present) return;
        Reply<xcb_input_xi_query_version_reply_t> version(
            xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
        if (!version || version->major_version < 2) return;
        struct {
            xcb_input_event_mask_t head;
            std::uint32_t bits;
        } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
        xcb_input_xi_select_events(c, x_->root(), 1, &mask.head);
        inputOpcode_ = input->major_opcode;
        pointerWatched_ = true;
    }

    // When the pointer is next asked for.
    std::uint64_t pointerCheckAt(std::uint64_t now) const {
        if (pointerWatched_) return pointerCheckedAt_ + (pointerNews_ ? kPointerPollMicros : kWatchedPointerPollMicros);
        const bool still = now - pointerMovedAt_ >= kPointerStillAfterMicros;
        return pointerCheckedAt_ + (still ? kStillPointerPollMicros : kPointerPollMicros);
    }

    // Finds the target's rectangle now; an error when it no longer exists.
    std::expected<void, std::string> locate() {
        if (isWindow()) {
            auto area = windowArea(*x_, targetID());
            if (!area || area->isEmpty()) return std::unexpected(std::string("window closed"));
            setArea(*area);
            return {};
        }
        for (const Monitor& monitor : monitors(*x_, false)) {
            if (monitor.id == targetID()) {
                setArea(monitor.rect);
                return {};
            }
        }
        return std::unexpected(std::string("display disconnected"));
    }

    void setArea(const ScreenRect& area) {
        if (area != area_) fullCopy_ = true;
        area_ = area;
    }

    void run() {
        xcb_connection_t* c = x_->get();
        FramePacer pacer(1'000'000 / static_cast<std::uint64_t>(std::max(settings_.maxFramesPerSecond, 1)));
        bool dirty = true;   // a picture is due; the stream's configuration needs a first one at once
        bool check = false;  // the composed picture may have changed
        std::uint64_t nextMonitorCheck = clock_.uptimeMicros() + kMonitorCheckMicros;
        while (!stopping_) {
            // A round trip since the last poll may have read events into xcb's queue, leaving the
            // socket unreadable: they are handled now, or the poll would sleep through them.
            if (auto ended = handleEvents(xcb_poll_for_queued_event, dirty, check)) return end(*ended);
            const std::uint64_t now = clock_.uptimeMicros();
            std::optional<std::uint64_t> wait;  // microseconds; none: until something happens
            if (dirty || check) wait = pacer.wait(now);
            if (settings_.showsCursor) {
                const std::uint64_t checkAt = pointerCheckAt(now);
                const std::uint64_t untilPointer = checkAt > now ? checkAt - now : 0;
                wait = std::min(wait.value_or(untilPointer), untilPointer);
            }
            if (!isWindow()) {
                const std::uint64_t untilCheck = nextMonitorCheck > now ? nextMonitorCheck - now : 0;
                wait = std::min(wait.value_or(untilCheck), untilCheck);
            }
            pollfd fds[] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            const timespec timeout{static_cast<time_t>(wait.value_or(0) / 1'000'000),
                                   static_cast<long>(wait.value_or(0) % 1'000'000 * 1'000)};
            ::ppoll(fds, 2, wait ? &timeout : nullptr, nullptr);
            if (stopping_) break;
            if (fds[1].revents & POLLIN) {
                std::uint64_t count = 0;
                [[maybe_unused]] auto read = ::read(wakeFd_, &count, sizeof count);
                std::lock_guard guard(mutex_);
                if (std::exchange(redeliver_, false)) dirty = true;
            }
            if (composerChanged_.exchange(false)) check = true;
            std::optional<std::string> ended = handleEvents(xcb_poll_for_event, dirty, check);
            if (x_->hasError()) {
                ended = kConnectionLost;
            } else if (!ended && !isWindow() && clock_.uptimeMicros() >= nextMonitorCheck) {
                nextMonitorCheck = clock_.uptimeMicros() + kMonitorCheckMicros;
                const ScreenRect before = area_;
                if (auto located = locate(); !located) ended = located.error();
                if (area_ != before) dirty = true;
            }
            if (!ended && settings_.showsCursor && clock_.uptimeMicros() >= pointerCheckAt(clock_.uptimeMicros())) {
                pointerCheckedAt_ = clock_.uptimeMicros();
                pointerNews_ = false;
                if (pointerMoved()) dirty = true;
            }
            if (!ended && (dirty || check) && pacer.allows(clock_.uptimeMicros())) {
                pacer.grabbed(clock_.uptimeMicros());
                const bool due = std::exchange(dirty, false);
                check = false;
                if (!viewable_) continue;
                ended = produceFrame(due);
            }
            if (ended) return end(*ended);
        }
    }

    // Whichever step noticed it, a lost connection is reported as such: a grab or a lookup on a
    // dead connection fails with its own words first.
    void end(std::string why) {
        if (x_->hasError()) why = kConnectionLost;
        if (onStopped_) onStopped_(why);
    }

    // Every event `next` gives; why the stream must end, if it must.
    std::optional<std::string> handleEvents(xcb_generic_event_t* (*next)(xcb_connection_t*), bool& dirty, bool& check) {
        std::optional<std::string> ended;
        while (auto* event = next(x_->get())) {
            Reply<xcb_generic_event_t> owned(event);
            if (auto why = handle(*event, dirty, check)) ended = why;
        }
        return ended;
    }

    // Why the stream must end, if it must. Screen damage while composing only says the composed
    // picture may have changed (a compositing manager's drawing shows there).
    std::optional<std::string> handle(const xcb_generic_event_t& event, bool& dirty, bool& check) {
        const std::uint8_t type = event.response_type & 0x7F;
        if (type == 0) return std::nullopt;  // an error of a request already answered
        if (type == XCB_GE_GENERIC) {
            const auto& generic = reinterpret_cast<const xcb_ge_generic_event_t&>(event);
            if (pointerWatched_ && generic.extension == inputOpcode_ && generic.event_type == XCB_INPUT_RAW_MOTION) {
                pointerNews_ = true;
            }
            return std::nullopt;
        }
        if (type == damageEvent_ + XCB_DAMAGE_NOTIFY) {
            (composing() ? check : dirty) = true;
        } else if (settings_.showsCursor && xfixesEvent_ && type == xfixesEvent_ + XCB_XFIXES_CURSOR_NOTIFY) {
            cursor_.reset();
            dirty = true;
        } else if (randrEvent_ &&
                   (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrEvent_ + XCB_RANDR_NOTIFY)) {
            if (auto located = locate(); !located) return located.error();
            dirty = true;
        } else if (type == XCB_DESTROY_NOTIFY) {
            return std::string("window closed");
        } else if (type == XCB_UNMAP_NOTIFY) {
            viewable_ = false;
        } else if (type == XCB_MAP_NOTIFY || type == XCB_CONFIGURE_NOTIFY) {
            viewable_ = true;
            if (auto located = locate(); !located) return located.error();
            dirty = true;
        }
        return std::nullopt;
    }

    bool pointerMoved() {
        xcb_connection_t* c = x_->get();
        Reply<xcb_query_pointer_reply_t> pointer(xcb_query_pointer_reply(c, xcb_query_pointer(c, x_->root()), nullptr));
        if (!pointer) return false;
        const bool moved = pointer->root_x != pointerX_ || pointer->root_y != pointerY_;
        pointerX_ = pointer->root_x;
        pointerY_ = pointer->root_y;
        if (moved) pointerMovedAt_ = clock_.uptimeMicros();
        return moved;
    }

    // `due`: delivered even when the composed picture did not change.
    std::optional<std::string> produceFrame(bool due) {
        const std::uint64_t capturedAt = clock_.uptimeMicros();
        const int width = static_cast<int>(area_.width);
        const int height = static_cast<int>(area_.height);
        const int stride = width * 4;
        std::set<std::uint32_t> excluded;
        {
            std::lock_guard guard(mutex_);
            excluded = excluded_;
        }
        std::uint8_t* pixels = nullptr;
        if (!excluded.empty() && composer_) {
            // The covers hide changes from the screen's damage: the composer reports them.
            if (!composerWatch_)
                composerWatch_ = composer_->watch([this] {
                    composerChanged_ = true;
                    wake();
                });
            xcb_damage_subtract(x_->get(), damage_, XCB_NONE, XCB_NONE);
            fullCopy_ = true;  // the shared pixmap missed what changed meanwhile
            damagedRows_.reset();
            buffer_.resize(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height));
            auto composed = composer_->compose(settings_.target, area_, excluded, buffer_, stride);
            if (!composed) return composed.error();
            if (!*composed && !due) return std::nullopt;
            pixels = buffer_.data();
        } else {
            composerWatch_.reset();
            auto grabbed = grab(width, height);
            if (!grabbed) {
                if (auto located = locate(); !located) return located.error();
                return grabbed.error();
            }
            pixels = *grabbed;
        }
        const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
        const Rows cursorRows = settings_.showsCursor ? drawCursor(pixels, width, height, stride) : Rows{};
        // What differs from the last image: the damage, and the pointer where it was and where it is.
        const Rows changed =
            damagedRows_ ? spanning(spanning(*damagedRows_, cursorRows_), cursorRows) : Rows{0, height};
        cursorRows_ = cursorRows;
        onImage_(ScreenImage{
            {pixels, bytes}, width, height, stride, capturedAt, ++sequence_, changed.first, changed.second});
        restoreUnderCursor();
        return std::nullopt;
    }

    // The target's pixels, BGRX rows of width × 4 bytes. Parts off the screen are black.
    std::expected<std::uint8_t*, std::string> grab(int width, int height) {
        if (sharedPixmaps_ && ensurePixmap(width, height)) return copyDamage(width, height);
        xcb_damage_subtract(x_->get(), damage_, XCB_NONE, XCB_NONE);
        damagedRows_.reset();
        const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
        const ScreenRect screen{0, 0, static_cast<double>(x_->screen()->width_in_pixels),
                                static_cast<double>(x_->screen()->height_in_pixels)};
        const ScreenRect visible = area_.intersection(screen);
        if (visible.isEmpty()) {
            buffer_.assign(bytes, 0);
            return buffer_.data();
        }
        const auto vx = static_cast<std::int16_t>(visible.x);
        const auto vy = static_cast<std::int16_t>(visible.y);
        const auto vw = static_cast<std::uint16_t>(visible.width);
        const auto vh = static_cast<std::uint16_t>(visible.height);
        auto read = readScreen(vx, vy, vw, vh);
        if (!read) return read;
        if (visible == area_) return read;
        // Partly off screen: place the visible part into a picture of the whole target.
        buffer_.assign(bytes, 0);
        const auto dx = static_cast<std::size_t>(visible.x - area_.x);
        const auto dy = static_cast<std::size_t>(visible.y - area_.y);
        for (std::size_t row = 0; row < vh; ++row) {
            std::memcpy(buffer_.data() + ((dy + row) * static_cast<std::size_t>(width) + dx) * 4, *read + row * vw * 4,
                        static_cast<std::size_t>(vw) * 4);
        }
        return buffer_.data();
    }

    std::expected<std::uint8_t*, std::string> readScreen(std::int16_t x, std::int16_t y, std::uint16_t w,
                                                         std::uint16_t h) {
        xcb_connection_t* c = x_->get();
        const std::size_t bytes = static_cast<std::size_t>(w) * h * 4;
        if (hasShm_ && ensureSegment(bytes)) {
            xcb_generic_error_t* error = nullptr;
            Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
                c, xcb_shm_get_image(c, x_->root(), x, y, w, h, kAllPlanes, XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0),
                &error));
            std::free(error);
            if (!reply) return std::unexpected(std::string("screen grab failed"));
            return static_cast<std::uint8_t*>(shmAddress_);
        }
        Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
            c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, x_->root(), x, y, w, h, kAllPlanes), nullptr));
        if (!reply || static_cast<std::size_t>(xcb_get_image_data_length(reply.get())) < bytes) {
            return std::unexpected(std::string("screen grab failed"));
        }
        copy_.assign(xcb_get_image_data(reply.get()), xcb_get_image_data(reply.get()) + bytes);
        return copy_.data();
    }

    // A shared pixmap of the target that stays current: only what Damage reports is copied into
    // it, so a small change costs a small copy.
    bool ensurePixmap(int width, int height) {
        if (pixmap_ && pixmapWidth_ == width && pixmapHeight_ == height) return true;
        const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
        if (!ensureSegment(bytes)) return false;
        xcb_connection_t* c = x_->get();
        const xcb_pixmap_t pixmap = xcb_generate_id(c);
        xcb_generic_error_t* error =
            xcb_request_check(c, xcb_shm_create_pixmap_checked(c, pixmap, x_->root(), static_cast<std::uint16_t>(width),
                                                               static_cast<std::uint16_t>(height),
                                                               x_->screen()->root_depth, segment_, 0));
        if (error) {
            std::free(error);
            sharedPixmaps_ = false;
            return false;
        }
        pixmap_ = pixmap;
        pixmapWidth_ = width;
        pixmapHeight_ = height;
        fullCopy_ = true;
        return true;
    }

    std::expected<std::uint8_t*, std::string> copyDamage(int width, int height) {
        xcb_connection_t* c = x_->get();
        const ScreenRect screen{0, 0, static_cast<double>(x_->screen()->width_in_pixels),
                                static_cast<double>(x_->screen()->height_in_pixels)};
        const ScreenRect visible = area_.intersection(screen);
        std::vector<ScreenRect> changed;
        damagedRows_ = fullCopy_ ? std::nullopt : std::optional<Rows>(Rows{});
        if (fullCopy_) {
            xcb_damage_subtract(c, damage_, XCB_NONE, XCB_NONE);
            if (visible != area_) std::memset(shmAddress_, 0, static_cast<std::size_t>(width) * height * 4);
            changed.push_back(visible);
        } else {
            xcb_damage_subtract(c, damage_, XCB_NONE, region_);
            Reply<xcb_xfixes_fetch_region_reply_t> region(
                xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, region_), nullptr));
            if (!region) return std::unexpected(std::string("screen grab failed"));
            const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(region.get());
            for (int i = 0; i < xcb_xfixes_fetch_region_rectangles_length(region.get()); ++i) {
                const ScreenRect r{static_cast<double>(rects[i].x), static_cast<double>(rects[i].y),
                                   static_cast<double>(rects[i].width), static_cast<double>(rects[i].height)};
                changed.push_back(r.intersection(visible));
            }
        }
        for (const ScreenRect& r : changed) {
            if (r.isEmpty()) continue;
            if (damagedRows_) {
                damagedRows_ = spanning(*damagedRows_,
                                        {static_cast<int>(r.y - area_.y), static_cast<int>(r.y - area_.y + r.height)});
            }
            xcb_copy_area(c, x_->root(), pixmap_, gc_, static_cast<std::int16_t>(r.x), static_cast<std::int16_t>(r.y),
                          static_cast<std::int16_t>(r.x - area_.x), static_cast<std::int16_t>(r.y - area_.y),
                          static_cast<std::uint16_t>(r.width), static_cast<std::uint16_t>(r.height));
        }
        // The copies are done once the server has answered a later request.
        Reply<xcb_get_input_focus_reply_t> done(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        if (!done) return std::unexpected(std::string(kConnectionLost));
        fullCopy_ = false;
        return static_cast<std::uint8_t*>(shmAddress_);
    }

    bool ensureSegment(std::size_t bytes) {
        if (shmAddress_ && shmSize_ >= bytes) return true;
        releaseSegment();
        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0) return false;
        void* address = shmat(id, nullptr, 0);
        xcb_connection_t* c = x_->get();
        const xcb_shm_seg_t segment = xcb_generate_id(c);
        xcb_generic_error_t* error = address == reinterpret_cast<void*>(-1)
                                         ? nullptr
                                         : xcb_request_check(c, xcb_shm_attach_checked(c, segment, id, 0));
        // Marked for removal at once: it goes when both sides detach, even if this process dies.
        shmctl(id, IPC_RMID, nullptr);
        if (address == reinterpret_cast<void*>(-1)) return false;
        if (error) {
            std::free(error);
            shmdt(address);
            return false;
        }
        shmAddress_ = address;
        shmSize_ = bytes;
        segment_ = segment;
        return true;
    }

    void releaseSegment() {
        if (pixmap_ && !x_->hasError()) xcb_free_pixmap(x_->get(), pixmap_);
        pixmap_ = 0;
        if (!shmAddress_) return;
        if (!x_->hasError()) {
            xcb_shm_detach(x_->get(), segment_);
            xcb_flush(x_->get());
        }
        shmdt(shmAddress_);
        shmAddress_ = nullptr;
        shmSize_ = 0;
    }

    // The XFixes cursor image (premultiplied ARGB) blended in at the pointer; the rows it covers.
    Rows drawCursor(std::uint8_t* pixels, int width, int height, int stride) {
        xcb_connection_t* c = x_->get();
        if (!cursor_) {
            cursor_.reset(xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
            if (!cursor_) return {};
        }
        const std::uint32_t* image = xcb_xfixes_get_cursor_image_cursor_image(cursor_.get());
        const int left = pointerX_ - cursor_->xhot - static_cast<int>(area_.x);
        const int top = pointerY_ - cursor_->yhot - static_cast<int>(area_.y);
        for (int row = std::max(0, -top); row < cursor_->height && top + row < height; ++row) {
            for (int col = std::max(0, -left); col < cursor_->width && left + col < width; ++col) {
                const std::uint32_t argb = image[row * cursor_->width + col];
                const std::uint32_t alpha = argb >> 24;
                if (alpha == 0) continue;
                std::uint8_t* out = pixels + static_cast<std::ptrdiff_t>(top + row) * stride + (left + col) * 4;
                underCursor_.push_back({out, {out[0], out[1], out[2]}});
                for (int channel = 0; channel < 3; ++channel) {
                    const std::uint32_t source = (argb >> (8 * channel)) & 0xFF;
                    out[channel] = static_cast<std::uint8_t>(source + out[channel] * (255 - alpha) / 255);
                }
            }
        }
        return {std::clamp(top, 0, height), std::clamp(top + cursor_->height, 0, height)};
    }

    // The grabbed picture may be the shared pixmap, which must not keep the pointer drawn in.
    void restoreUnderCursor() {
        for (const auto& [at, pixel] : underCursor_) std::copy(pixel.begin(), pixel.end(), at);
        underCursor_.clear();
    }

    const std::unique_ptr<XConnection> x_;
    const StreamSettings settings_;
    const std::shared_ptr<FrameComposer> composer_;
    const base::Clock& clock_;
    ImageHandler onImage_;
    StopHandler onStopped_;
    std::mutex mutex_;
    std::set<std::uint32_t> excluded_;
    bool redeliver_ = false;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> composerChanged_{false};
    const int wakeFd_;
    std::thread thread_;

    // Stream thread only, once started.
    std::unique_ptr<FrameComposer::Watch> composerWatch_;
    ScreenRect area_;
    bool viewable_ = true;
    bool hasShm_ = false;
    bool sharedPixmaps_ = false;
    bool fullCopy_ = true;
    xcb_pixmap_t pixmap_ = 0;
    int pixmapWidth_ = 0;
    int pixmapHeight_ = 0;
    xcb_gcontext_t gc_ = 0;
    xcb_xfixes_region_t region_ = 0;
    std::vector<std::pair<std::uint8_t*, std::array<std::uint8_t, 3>>> underCursor_;
    std::uint8_t damageEvent_ = 0;
    std::uint8_t xfixesEvent_ = 0;
    std::uint8_t randrEvent_ = 0;
    xcb_damage_damage_t damage_ = 0;
    xcb_shm_seg_t segment_ = 0;
    void* shmAddress_ = nullptr;
    std::size_t shmSize_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::vector<std::uint8_t> copy_;
    Reply<xcb_xfixes_get_cursor_image_reply_t> cursor_;
    std::int16_t pointerX_ = 0;
    std::int16_t pointerY_ = 0;
    std::uint64_t pointerMovedAt_ = 0;
    std::uint64_t pointerCheckedAt_ = 0;
    bool pointerWatched_ = false;  // raw motion news come
    bool pointerNews_ = false;     // the pointer moved since it was last asked for
    std::uint8_t inputOpcode_ = 0;
    // Rows of the target: those the last grab copied (none: unknown, all), and those the pointer
    // covered in the last image.
    std::optional<Rows> damagedRows_;
    Rows cursorRows_;
    std::uint64_t sequence_ = 0;
};

}  // namespace

X11ScreenSource::X11ScreenSource(std::string display, std::shared_ptr<FrameComposer> composer, const base::Clock& clock)
    : display_(std::move(display)), composer_(std::move(composer)), clock_(clock) {}

X11ScreenSource::~X11ScreenSource() = default;

std::expected<ShareableContent, std::string> X11ScreenSource::content() {
    std::lock_guard guard(mutex_);
    if (!connection_ || connection_->hasError()) {
        auto opened = XConnection::open(display_);
        if (!opened) return std::unexpected(opened.error());
        connection_ = std::move(*opened);
    }
    XConnection& x = *connection_;
    ShareableContent content;
    for (const Monitor& monitor : monitors(x)) {
        const auto width = static_cast<std::int64_t>(monitor.rect.width);
        content.displays.push_back({monitor.id, monitor.rect, width, width, monitor.ownVirtual});
        if (monitor.primary && !content.mainDisplay) content.mainDisplay = monitor.id;
    }
    if (!content.mainDisplay) content.mainDisplay = content.displays.front().id;

    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x.get(), xcb_query_tree(x.get(), x.root()), nullptr));
    if (!tree) return std::unexpected(std::string("X server connection lost"));
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_get_window_attributes_cookie_t> attributes;
    for (int i = 0; i < count; ++i) attributes.push_back(xcb_get_window_attributes(x.get(), children[i]));
    // Stacked bottom to top by the server; listed front to back here.
    for (int i = count - 1; i >= 0; --i) {
        Reply<xcb_get_window_attributes_reply_t> attribute(
            xcb_get_window_attributes_reply(x.get(), attributes[static_cast<std::size_t>(i)], nullptr));
        if (!attribute || attribute->map_state != XCB_MAP_STATE_VIEWABLE) continue;
        if (auto area = windowArea(x, children[i])) content.windows.push_back({children[i], *area});
    }
    return content;
}

std::expected<std::unique_ptr<ScreenStream>, std::string> X11ScreenSource::openStream(const StreamSettings& settings) {
    auto opened = XConnection::open(display_);
    if (!opened) return std::unexpected(opened.error());
    return std::make_unique<X11ScreenStream>(std::move(*opened), settings, composer_, clock_);
}

}  // namespace orvanta::platform::x11
