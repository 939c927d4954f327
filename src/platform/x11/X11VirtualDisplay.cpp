#include "platform/x11/X11VirtualDisplay.h"

#include <poll.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/PrivateFile.h"
#include "platform/x11/X11Randr.h"

namespace orvanta::platform::x11 {
namespace {

using namespace randr;

constexpr int kBadMatch = 8;
// The smallest display worth offering a device.
constexpr std::int64_t kMinRoomWidth = 640;
constexpr std::int64_t kMinRoomHeight = 480;

// The display everything else is placed against: the primary monitor, else the first one; never ours.
std::optional<Monitor> mainMonitor(XConnection& x) {
    std::optional<Monitor> first;
    for (auto& m : monitors(x, true)) {
        if (carriesVirtualDisplayMark(m.name)) continue;
        if (m.primary) return m;
        if (!first) first = m;
    }
    return first;
}

// Grows the screen to hold `right` x `bottom` when it is smaller.
std::expected<void, std::string> growScreen(XConnection& x, std::uint32_t right, std::uint32_t bottom) {
    const auto* s = x.screen();
    Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(x.get(), xcb_get_geometry(x.get(), x.root()), nullptr));
    if (!geometry) return std::unexpected("cannot read the screen size");
    const std::uint32_t width = std::max<std::uint32_t>(geometry->width, right);
    const std::uint32_t height = std::max<std::uint32_t>(geometry->height, bottom);
    if (width == geometry->width && height == geometry->height) return {};
    Reply<xcb_randr_get_screen_size_range_reply_t> range(
        xcb_randr_get_screen_size_range_reply(x.get(), xcb_randr_get_screen_size_range(x.get(), x.root()), nullptr));
    if (!range || width > range->max_width || height > range->max_height) {
        return std::unexpected("the screen cannot grow to " + std::to_string(width) + "x" + std::to_string(height));
    }
    return check(x,
                 xcb_randr_set_screen_size_checked(x.get(), x.root(), static_cast<std::uint16_t>(width),
                                                   static_cast<std::uint16_t>(height),
                                                   millimetres(width, s->width_in_pixels, s->width_in_millimeters),
                                                   millimetres(height, s->height_in_pixels, s->height_in_millimeters)),
                 "growing the screen");
}

// Both ways place the display right of the main one, so the screen must be able to grow there.
std::expected<void, std::string> roomBesideMain(XConnection& x) {
    const auto main = mainMonitor(x);
    Reply<xcb_randr_get_screen_size_range_reply_t> range(
        xcb_randr_get_screen_size_range_reply(x.get(), xcb_randr_get_screen_size_range(x.get(), x.root()), nullptr));
    if (!main || !range) return std::unexpected("cannot read the screen size range");
    const std::int64_t right = main->bounds.x + main->bounds.width;
    if (range->max_width < right + kMinRoomWidth || range->max_height < main->bounds.y + kMinRoomHeight) {
        return std::unexpected("the screen cannot grow beyond " + std::to_string(range->max_width) + "x" +
                               std::to_string(range->max_height));
    }
    return {};
}

std::expected<xcb_randr_mode_t, std::string> createMode(XConnection& x, const DisplayMode& size,
                                                        const std::string& name) {
    xcb_randr_mode_info_t info =
        cvtReducedBlanking(static_cast<std::uint16_t>(size.width), static_cast<std::uint16_t>(size.height), 60);
    info.name_len = static_cast<std::uint16_t>(name.size());
    Reply<xcb_randr_create_mode_reply_t> reply(xcb_randr_create_mode_reply(
        x.get(), xcb_randr_create_mode(x.get(), x.root(), info, static_cast<std::uint32_t>(name.size()), name.data()),
        nullptr));
    if (!reply) return std::unexpected("creating mode " + name + " failed");
    return reply->mode;
}

bool hasEdid(XConnection& x, xcb_randr_output_t output) {
    Reply<xcb_randr_list_output_properties_reply_t> reply(
        xcb_randr_list_output_properties_reply(x.get(), xcb_randr_list_output_properties(x.get(), output), nullptr));
    if (!reply) return false;
    const xcb_atom_t edid = x.atom("EDID");
    const auto* atoms = xcb_randr_list_output_properties_atoms(reply.get());
    return std::find(atoms, atoms + xcb_randr_list_output_properties_atoms_length(reply.get()), edid) !=
           atoms + xcb_randr_list_output_properties_atoms_length(reply.get());
}

struct SpareOutput {
    xcb_randr_output_t output;
    xcb_randr_crtc_t crtc;
};

// An output that drives nothing, with a CRTC it can use that drives nothing either.
std::optional<SpareOutput> findSpareOutput(XConnection& x, const xcb_randr_get_screen_resources_current_reply_t* res) {
    std::vector<xcb_randr_crtc_t> freeCrtcs;
    for (auto crtc : crtcsOf(res)) {
        const auto info = crtcInfo(x, crtc, res->config_timestamp);
        if (info && info->mode == 0 && xcb_randr_get_crtc_info_outputs_length(info.get()) == 0)
            freeCrtcs.push_back(crtc);
    }
    for (auto output : outputsOf(res)) {
        const auto info = outputInfo(x, output, res->config_timestamp);
        if (!info || info->crtc != 0) continue;
        const auto* possible = xcb_randr_get_output_info_crtcs(info.get());
        for (int i = 0; i < xcb_randr_get_output_info_crtcs_length(info.get()); ++i) {
            if (std::find(freeCrtcs.begin(), freeCrtcs.end(), possible[i]) != freeCrtcs.end()) {
                return SpareOutput{output, possible[i]};
            }
        }
    }
    return std::nullopt;
}

// The one CRTC behind the main monitor, when the server drives no physical monitor at all.
std::optional<xcb_randr_crtc_t> spanCrtc(XConnection& x, const xcb_randr_get_screen_resources_current_reply_t* res) {
    for (auto output : outputsOf(res)) {
        if (hasEdid(x, output)) return std::nullopt;
    }
    const auto main = mainMonitor(x);
    if (!main || main->outputs.empty()) return std::nullopt;
    const auto info = outputInfo(x, main->outputs.front(), res->config_timestamp);
    if (!info || info->crtc == 0) return std::nullopt;
    const auto crtc = crtcInfo(x, info->crtc, res->config_timestamp);
    if (!crtc || crtc->rotation != XCB_RANDR_ROTATION_ROTATE_0) return std::nullopt;
    return info->crtc;
}


// A top-level window as it shows: a managed client with its frame around it, else a window of its own.
struct ShownWindow {
    xcb_window_t window = XCB_WINDOW_NONE;
    bool managed = false;
    DisplayBounds frame;
};

std::vector<ShownWindow> shownWindows(XConnection& x) {
    constexpr std::uint32_t kMaxClients = 4096;
    std::vector<ShownWindow> result;
    const auto clients = rootCardinals(x, x.root(), "_NET_CLIENT_LIST", XCB_ATOM_WINDOW, kMaxClients);
    for (const auto client : clients) {
        Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(x.get(), xcb_get_geometry(x.get(), client), nullptr));
        Reply<xcb_translate_coordinates_reply_t> at(xcb_translate_coordinates_reply(
            x.get(), xcb_translate_coordinates(x.get(), client, x.root(), 0, 0), nullptr));
        if (!g || !at) continue;
        auto extents = rootCardinals(x, client, "_NET_FRAME_EXTENTS", XCB_ATOM_CARDINAL, 4);
        extents.resize(4, 0);  // left, right, top, bottom
        result.push_back(
            {client,
             true,
             {at->dst_x - static_cast<std::int32_t>(extents[0]), at->dst_y - static_cast<std::int32_t>(extents[2]),
              g->width + extents[0] + extents[1], g->height + extents[2] + extents[3]}});
    }
    if (!clients.empty()) return result;
    // No window manager: the root's mapped children that are not menus or covers.
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x.get(), xcb_query_tree(x.get(), x.root()), nullptr));
    if (!tree) return result;
    const auto* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(x.get(), xcb_get_window_attributes(x.get(), children[i]), nullptr));
        Reply<xcb_get_geometry_reply_t> g(
            xcb_get_geometry_reply(x.get(), xcb_get_geometry(x.get(), children[i]), nullptr));
        if (!attributes || !g || attributes->override_redirect || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
            continue;
        result.push_back({children[i], false, {g->x, g->y, g->width, g->height}});
    }
    return result;
}

// Puts the window's outer frame at (x, y): a managed window through its window manager, which
// would otherwise put it back where it thinks it is.
void placeWindow(XConnection& x, const ShownWindow& shown, std::int32_t px, std::int32_t py) {
    if (!shown.managed) {
        const std::uint32_t position[] = {static_cast<std::uint32_t>(px), static_cast<std::uint32_t>(py)};
        xcb_configure_window(x.get(), shown.window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, position);
        return;
    }
    constexpr std::uint32_t kGravityNorthWest = 1, kPositionGiven = (1u << 8) | (1u << 9), kSourcePager = 2u << 12;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = shown.window;
    event.type = x.atom("_NET_MOVERESIZE_WINDOW");
    event.data.data32[0] = kGravityNorthWest | kPositionGiven | kSourcePager;
    event.data.data32[1] = static_cast<std::uint32_t>(px);
    event.data.data32[2] = static_cast<std::uint32_t>(py);
    xcb_send_event(x.get(), 0, x.root(), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
}

struct Placement {
    ShownWindow shown;
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// Once it returns, the server has read every request sent before.
void roundTrip(XConnection& x) {
    Reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(x.get(), xcb_get_input_focus(x.get()), nullptr));
}

void discardEvents(XConnection& x) {
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(x.get())}) {
    }
}

// Those placements whose window still shows elsewhere; a window that is gone is done with.
std::vector<Placement> unplaced(XConnection& x, const std::vector<Placement>& placements) {
    const auto shown = shownWindows(x);
    std::vector<Placement> left;
    for (const auto& p : placements) {
        const auto now = std::ranges::find_if(shown, [&](const ShownWindow& s) { return s.window == p.shown.window; });
        if (now != shown.end() && (now->frame.x != p.x || now->frame.y != p.y)) left.push_back(p);
    }
    return left;
}

// Waits, on the server's events and no longer than `limit`, until every window shows where it
// was put; returns those that do not.
std::vector<Placement> awaitPlaced(XConnection& x, std::vector<Placement> placements, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (placements = unplaced(x, placements); !placements.empty(); placements = unplaced(x, placements)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd descriptor{xcb_get_file_descriptor(x.get()), POLLIN, 0};
        ::poll(&descriptor, 1, static_cast<int>(left.count()));
        discardEvents(x);
        if (x.hasError()) break;
    }
    return placements;
}

// Moves the windows and sees them there before returning. The server must have read the requests
// (one ending its connection right after sending may have the rest dropped unread), and a window
// manager applies a move when it gets to it, possibly placing the window again as it takes in a
// changed screen: a move not seen within the wait is asked for once more. Bounded, so a window
// manager that ignores the requests costs at most two waits.
void placeWindows(XConnection& x, std::vector<Placement> placements) {
    constexpr auto kWait = std::chrono::milliseconds(1000);
    if (placements.empty()) return;
    // The frames are the root's children: their moves wake the wait.
    const std::uint32_t watch = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x.get(), x.root(), XCB_CW_EVENT_MASK, &watch);
    for (int attempt = 0; attempt < 2 && !placements.empty(); ++attempt) {
        for (const auto& p : placements) placeWindow(x, p.shown, p.x, p.y);
        roundTrip(x);
        placements = awaitPlaced(x, std::move(placements), kWait);
    }
    const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
    xcb_change_window_attributes(x.get(), x.root(), XCB_CW_EVENT_MASK, &none);
    roundTrip(x);
    discardEvents(x);
}

bool holdsMiddle(const DisplayBounds& area, const DisplayBounds& frame) {
    const double mx = frame.x + frame.width / 2.0, my = frame.y + frame.height / 2.0;
    return mx >= area.x && mx < area.x + area.width && my >= area.y && my < area.y + area.height;
}

// A display's windows go where the display goes, keeping their place on it, as windows do where
// moving a display moves its contents. Taken before the move, placed after it.
struct CarriedWindow {
    ShownWindow shown;
    std::int32_t dx = 0;
    std::int32_t dy = 0;
};

std::vector<CarriedWindow> windowsToCarry(XConnection& x,
                                          const std::vector<std::pair<DisplayBounds, DisplayPlacement>>& moves) {
    std::vector<CarriedWindow> carried;
    for (const auto& shown : shownWindows(x)) {
        const auto move = std::ranges::find_if(moves, [&](const auto& m) { return holdsMiddle(m.first, shown.frame); });
        if (move == moves.end()) continue;
        const std::int32_t dx = move->second.x - move->first.x, dy = move->second.y - move->first.y;
        if (dx != 0 || dy != 0) carried.push_back({shown, dx, dy});
    }
    return carried;
}

// After a crash the windows are where the crashed run's arrangement had them. Each goes with its
// display to that display's restored place; one on our display keeps its offset from the display's
// corner, clamped onto the main display; one outside every display goes to the main display's corner.
void relocateWindows(XConnection& x, const std::vector<Monitor>& before) {
    const auto after = monitors(x, true);
    const auto main = mainMonitor(x);
    if (!main) return;
    const auto& target = main->bounds;
    std::vector<Placement> placements;
    for (const auto& shown : shownWindows(x)) {
        const auto was =
            std::ranges::find_if(before, [&](const Monitor& m) { return holdsMiddle(m.bounds, shown.frame); });
        std::int32_t px = target.x, py = target.y;
        if (was != before.end() && carriesVirtualDisplayMark(was->name)) {
            const auto room = [](std::int64_t offset, std::int64_t space) {
                return space >= 0 ? std::min<std::int64_t>(std::max<std::int64_t>(0, offset), space) : 0;
            };
            px = static_cast<std::int32_t>(target.x +
                                           room(shown.frame.x - was->bounds.x, target.width - shown.frame.width));
            py = static_cast<std::int32_t>(target.y +
                                           room(shown.frame.y - was->bounds.y, target.height - shown.frame.height));
        } else if (was != before.end()) {
            const auto id = monitorDisplayID(x, was->atom);
            const auto now =
                std::ranges::find_if(after, [&](const Monitor& m) { return monitorDisplayID(x, m.atom) == id; });
            if (now == after.end()) continue;
            px = shown.frame.x + now->bounds.x - was->bounds.x;
            py = shown.frame.y + now->bounds.y - was->bounds.y;
        } else if (std::ranges::any_of(after, [&](const Monitor& m) { return holdsMiddle(m.bounds, shown.frame); })) {
            continue;
        }
        if (px != shown.frame.x || py != shown.frame.y) placements.push_back({shown, px, py});
    }
    placeWindows(x, std::move(placements));
}

}  // namespace

std::vector<std::uint32_t> rootCardinals(XConnection& x, xcb_window_t window, std::string_view name, xcb_atom_t type,
                                         std::uint32_t longs) {
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(x.get(), xcb_get_property(x.get(), 0, window, x.atom(name), type, 0, longs), nullptr));
    if (!reply || reply->format != 32) return {};
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    return {values, values + xcb_get_property_value_length(reply.get()) / 4};
}

std::vector<ArrangedDisplay> activeMonitors(XConnection& x) {
    std::vector<ArrangedDisplay> result;
    for (const auto& m : monitors(x, true)) {
        result.push_back({monitorDisplayID(x, m.atom), m.bounds, carriesVirtualDisplayMark(m.name)});
    }
    return result;
}

std::uint32_t monitorDisplayID(XConnection& x, xcb_atom_t name) {
    const std::string text = atomName(x, name);
    if (!text.ends_with(kSpannedMainSuffix)) return name;
    return x.atom(text.substr(0, text.size() - kSpannedMainSuffix.size()));
}

xcb_randr_mode_info_t cvtReducedBlanking(std::uint16_t width, std::uint16_t height, int refreshHz) {
    constexpr double kMinVerticalBlankMicros = 460.0;
    constexpr int kFrontPorch = 3, kMinBackPorch = 6;
    const int w = width, h = height;
    const int vsync = w * 3 == h * 4                        ? 4
                      : w * 9 == h * 16                     ? 5
                      : w * 10 == h * 16                    ? 6
                      : (w * 4 == h * 5 || w * 9 == h * 15) ? 7
                                                            : 10;
    const double linePeriod = (1e6 / refreshHz - kMinVerticalBlankMicros) / h;
    const int blankLines = std::max(static_cast<int>(std::ceil(kMinVerticalBlankMicros / linePeriod)),
                                    kFrontPorch + vsync + kMinBackPorch);
    const int htotal = w + 160;
    const int vtotal = h + blankLines;
    const double clockMHz = std::floor(static_cast<double>(refreshHz) * htotal * vtotal / 1e6 / 0.25) * 0.25;
    xcb_randr_mode_info_t info{};
    info.width = width;
    info.height = height;
    info.dot_clock = static_cast<std::uint32_t>(std::lround(clockMHz * 1e6));
    info.hsync_start = static_cast<std::uint16_t>(w + 48);
    info.hsync_end = static_cast<std::uint16_t>(w + 80);
    info.htotal = static_cast<std::uint16_t>(htotal);
    info.vsync_start = static_cast<std::uint16_t>(h + kFrontPorch);
    info.vsync_end = static_cast<std::uint16_t>(h + kFrontPorch + vsync);
    info.vtotal = static_cast<std::uint16_t>(vtotal);
    info.mode_flags = XCB_RANDR_MODE_FLAG_HSYNC_POSITIVE | XCB_RANDR_MODE_FLAG_VSYNC_NEGATIVE;
    return info;
}

std::filesystem::path X11VirtualDisplayFactory::defaultStateFile(const std::string& display) {
    const char* env = std::getenv("DISPLAY");
    std::string name = display.empty() && env ? env : display;
    std::replace_if(
        name.begin(), name.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)) && ch != '.'; },
        '_');
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    // Never a shared folder such as /tmp: anyone could put an arrangement there for us to apply.
    if (!(state && *state) && !(home && *home)) return {};
    const std::filesystem::path base =
        state && *state ? std::filesystem::path(state) : std::filesystem::path(home) / ".local/state";
    return base / "orvanta" / ("randr-arrangement-" + name + ".json");
}

std::expected<std::unique_ptr<X11VirtualDisplayFactory>, std::string> X11VirtualDisplayFactory::open(
    const std::string& display, std::filesystem::path stateFile) {
    auto x = XConnection::open(display);
    if (!x) return std::unexpected(x.error());
    if (stateFile.empty()) stateFile = defaultStateFile(display);
    return std::unique_ptr<X11VirtualDisplayFactory>(new X11VirtualDisplayFactory(std::move(*x), std::move(stateFile)));
}

X11VirtualDisplayFactory::X11VirtualDisplayFactory(std::unique_ptr<XConnection> x, std::filesystem::path stateFile)
    : x_(std::move(x)), stateFile_(std::move(stateFile)) {}

X11VirtualDisplayFactory::~X11VirtualDisplayFactory() {
    if (displayID_ != 0) release(displayID_);
}

VirtualDisplayStrategy X11VirtualDisplayFactory::strategy() {
    if (strategy_) return *strategy_;
    strategy_ = VirtualDisplayStrategy::none;
    Reply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(x_->get(), xcb_randr_query_version(x_->get(), 1, 5), nullptr));
    if (!version || version->major_version < 1 || (version->major_version == 1 && version->minor_version < 5)) {
        unavailable_ = "RandR 1.5 is missing";
        return *strategy_;
    }
    const auto res = resources(*x_);
    if (!res) {
        unavailable_ = "cannot read the RandR resources";
        return *strategy_;
    }
    const auto how = findSpareOutput(*x_, res.get()) ? VirtualDisplayStrategy::spareOutput
                     : spanCrtc(*x_, res.get())      ? VirtualDisplayStrategy::span
                                                     : VirtualDisplayStrategy::none;
    if (how == VirtualDisplayStrategy::none) {
        unavailable_ = "no spare output and not a headless server";
    } else if (auto room = roomBesideMain(*x_); !room) {
        unavailable_ = room.error();
    } else {
        strategy_ = how;
    }
    return *strategy_;
}

bool X11VirtualDisplayFactory::isAvailable() { return strategy() != VirtualDisplayStrategy::none; }

std::string X11VirtualDisplayFactory::unavailableReason() { return isAvailable() ? std::string() : unavailable_; }

std::expected<std::uint32_t, std::string> X11VirtualDisplayFactory::create(const VirtualDisplayRequest& request) {
    if (displayID_ != 0) return std::unexpected("a virtual display already exists");
    if (request.modes.empty()) return std::unexpected("no mode asked for");
    const DisplayMode size = request.modes.front();
    if (size.width < 1 || size.height < 1 || size.width > kMaxSide / 2 || size.height > kMaxSide / 2) {
        return std::unexpected("mode " + std::to_string(size.width) + "x" + std::to_string(size.height) + " refused");
    }
    const auto how = strategy();
    if (how == VirtualDisplayStrategy::none) return std::unexpected(unavailable_);
    // After a restore that did not take, the arrangement from before stays the one to go back to.
    auto saved = unrestored_ ? std::expected<RandrArrangement, std::string>(*unrestored_) : readArrangement(*x_);
    if (!saved) return std::unexpected(saved.error());
    // Written before the grab: flushing a file to disk must not freeze the whole desktop.
    if (auto written = saveArrangement(stateFile_, *saved); !written) return std::unexpected(written.error());
    {
        ServerGrab grab(*x_);
        if (auto built = build(how, size); !built) {
            putBack(*saved);
            return std::unexpected(built.error());
        }
        saved_ = std::move(*saved);
    }
    displayID_ = x_->atom(kVirtualDisplayMark);
    return displayID_;
}

std::expected<void, std::string> X11VirtualDisplayFactory::build(VirtualDisplayStrategy how, const DisplayMode& size) {
    const auto res = resources(*x_);
    const auto main = mainMonitor(*x_);
    if (!res || !main) return std::unexpected("no main display");
    const auto ts = res->config_timestamp;
    const std::int32_t left = main->bounds.x + static_cast<std::int32_t>(main->bounds.width);
    const std::int32_t top = main->bounds.y;
    const DisplayBounds ours{left, top, size.width, size.height};
    const auto mm = [&](std::int64_t px) { return millimetres(static_cast<std::uint32_t>(px), 0, 0); };

    if (how == VirtualDisplayStrategy::spareOutput) {
        const auto spare = findSpareOutput(*x_, res.get());
        if (!spare) return std::unexpected("the spare output is gone");
        const std::string name =
            std::string(kVirtualDisplayMark) + "-" + std::to_string(size.width) + "x" + std::to_string(size.height);
        const auto mode = createMode(*x_, size, name);
        if (!mode) return std::unexpected(mode.error());
        if (auto r = check(*x_, xcb_randr_add_output_mode_checked(x_->get(), spare->output, *mode), "adding the mode");
            !r)
            return r;
        if (auto r = growScreen(*x_, static_cast<std::uint32_t>(left + size.width),
                                static_cast<std::uint32_t>(top + size.height));
            !r)
            return r;
        if (auto r = setCrtc(*x_, spare->crtc, ts, left, top, *mode, XCB_RANDR_ROTATION_ROTATE_0, {spare->output}); !r)
            return r;
        return setMonitor(*x_, std::string(kVirtualDisplayMark), false, ours, mm(size.width), mm(size.height),
                          {spare->output});
    }

    // Span: the main CRTC's mode grows over both areas; two monitors split it again.
    const auto crtc = spanCrtc(*x_, res.get());
    if (!crtc) return std::unexpected("the main display cannot be spanned");
    const auto current = crtcInfo(*x_, *crtc, ts);
    if (!current) return std::unexpected("cannot read the main CRTC");
    const DisplayMode spanned{current->width + size.width, std::max<std::int64_t>(current->height, size.height)};
    if (spanned.width > kMaxSide || spanned.height > kMaxSide) return std::unexpected("the span would be too large");
    const std::string name = std::string(kVirtualDisplayMark) + "-span-" + std::to_string(spanned.width) + "x" +
                             std::to_string(spanned.height);
    const auto mode = createMode(*x_, spanned, name);
    if (!mode) return std::unexpected(mode.error());
    const auto outputs = crtcOutputs(current.get());
    for (auto output : outputs) {
        if (auto r = check(*x_, xcb_randr_add_output_mode_checked(x_->get(), output, *mode), "adding the mode"); !r)
            return r;
    }
    // The main monitor keeps its place and size; ours starts where the old mode ended.
    const DisplayBounds mainArea{current->x, current->y, current->width, current->height};
    const DisplayBounds spanArea{current->x + current->width, current->y, size.width, size.height};
    if (auto r = growScreen(*x_, static_cast<std::uint32_t>(current->x + spanned.width),
                            static_cast<std::uint32_t>(current->y + spanned.height));
        !r)
        return r;
    if (auto r = setCrtc(*x_, *crtc, ts, current->x, current->y, *mode, current->rotation, outputs); !r) return r;
    // A user-defined monitor may not take the name of an output's automatic one.
    const std::string mainName = main->automatic ? main->name + std::string(kSpannedMainSuffix) : main->name;
    if (auto r = setMonitor(*x_, mainName, main->primary, mainArea, main->mmWidth, main->mmHeight, main->outputs); !r)
        return r;
    return setMonitor(*x_, std::string(kVirtualDisplayMark), false, spanArea, mm(size.width), mm(size.height), {});
}

std::optional<DisplayBounds> X11VirtualDisplayFactory::bounds(std::uint32_t id) {
    if (id == 0 || id != displayID_) return std::nullopt;
    for (const auto& m : monitors(*x_, true)) {
        if (m.atom == id) return m.bounds;
    }
    return std::nullopt;
}

std::optional<DisplayMode> X11VirtualDisplayFactory::currentMode(std::uint32_t id) {
    const auto b = bounds(id);
    if (!b) return std::nullopt;
    return DisplayMode{b->width, b->height};
}

// A display made here has the one mode it was made with.
std::vector<DisplayMode> X11VirtualDisplayFactory::modes(std::uint32_t id) {
    const auto mode = currentMode(id);
    return mode ? std::vector<DisplayMode>{*mode} : std::vector<DisplayMode>{};
}

int X11VirtualDisplayFactory::setMode(std::uint32_t id, const DisplayMode& mode) {
    return currentMode(id) == mode ? 0 : kBadMatch;
}

std::optional<DisplayBounds> X11VirtualDisplayFactory::mainBounds() {
    const auto main = mainMonitor(*x_);
    return main ? std::optional(main->bounds) : std::nullopt;
}

// The display is made right of the main display; it stays where it was made.
int X11VirtualDisplayFactory::place(std::uint32_t id, std::int32_t px, std::int32_t py) {
    const auto b = bounds(id);
    return b && b->x == px && b->y == py ? 0 : kBadMatch;
}

void X11VirtualDisplayFactory::release(std::uint32_t id) {
    if (id == 0 || id != displayID_ || !saved_) return;
    // A user's change made meanwhile is undone with ours; the saved state is what they had before.
    putBack(*saved_);
    saved_.reset();
    displayID_ = 0;
}

// The saved file goes only once the server shows the arrangement again; until then a later
// creation and the next start go back to it.
std::expected<void, std::string> X11VirtualDisplayFactory::putBack(const RandrArrangement& saved) {
    auto restored = restoreArrangement(*x_, saved);
    if (restored && readArrangement(*x_) != saved) restored = std::unexpected("the arrangement did not come back");
    if (!restored) {
        unrestored_ = saved;
        return restored;
    }
    unrestored_.reset();
    std::error_code ec;
    std::filesystem::remove(stateFile_, ec);
    return {};
}

std::expected<CrashRecovery, std::string> X11VirtualDisplayFactory::recoverAfterCrash() {
    std::error_code ec;
    if (!stateFile_.empty()) base::removeStalePrivateTemporaries(stateFile_.parent_path());
    std::ifstream in(stateFile_);
    if (!in) return CrashRecovery::nothing;
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    const auto saved = RandrArrangement::fromJson(text.str());
    if (!saved) {
        std::filesystem::remove(stateFile_, ec);
        return std::unexpected(saved.error());
    }
    // A new server (the old one ended with the crash) has its own arrangement; the saved one
    // would be applied to CRTCs and modes that mean something else there.
    if (!carriesOurMarks(*x_)) {
        std::filesystem::remove(stateFile_, ec);
        return CrashRecovery::dropped;
    }
    const auto before = monitors(*x_, true);
    auto restored = putBack(*saved);
    relocateWindows(*x_, before);
    if (!restored) return std::unexpected(restored.error());
    return CrashRecovery::restored;
}

namespace {

bool samePlace(const DisplayBounds& a, std::int32_t x, std::int32_t y) { return a.x == x && a.y == y; }

// Moves one monitor's top-left corner to (x, y), keeping its size.
std::expected<void, std::string> moveMonitor(XConnection& x, const Monitor& m, std::int32_t px, std::int32_t py,
                                             xcb_timestamp_t ts) {
    if (!m.outputs.empty()) {
        const auto output = outputInfo(x, m.outputs.front(), ts);
        const auto crtc = output && output->crtc ? crtcInfo(x, output->crtc, ts) : CrtcInfo(nullptr);
        if (crtc && crtc->x == m.bounds.x && crtc->y == m.bounds.y && crtc->width == m.bounds.width &&
            crtc->height == m.bounds.height) {
            if (auto set = setCrtc(x, output->crtc, ts, px, py, crtc->mode, crtc->rotation, crtcOutputs(crtc.get()));
                !set)
                return set;
        } else if (m.automatic) {
            return std::unexpected("monitor " + m.name + " shares its CRTC");
        }
    }
    if (m.automatic) return {};
    return setMonitor(x, m.name, m.primary, {px, py, m.bounds.width, m.bounds.height}, m.mmWidth, m.mmHeight,
                      m.outputs);
}

// The monitor at the origin becomes primary: its output, or, for a monitor without one, its own flag.
std::expected<void, std::string> makePrimary(XConnection& x, const Monitor& main) {
    const std::uint32_t output = main.outputs.empty() ? XCB_NONE : main.outputs.front();
    if (auto set = check(x, xcb_randr_set_output_primary_checked(x.get(), x.root(), output), "setting the primary");
        !set)
        return set;
    for (const auto& m : monitors(x, true)) {
        const bool primary = m.atom == main.atom;
        if (m.automatic || m.primary == primary) continue;
        if (auto set = setMonitor(x, m.name, primary, m.bounds, m.mmWidth, m.mmHeight, m.outputs); !set) return set;
    }
    return {};
}

}  // namespace

std::expected<std::unique_ptr<X11DisplayConfiguration>, std::string> X11DisplayConfiguration::open(
    const std::string& display) {
    auto x = XConnection::open(display);
    if (!x) return std::unexpected(x.error());
    return std::unique_ptr<X11DisplayConfiguration>(new X11DisplayConfiguration(std::move(*x)));
}

std::vector<ArrangedDisplay> X11DisplayConfiguration::activeDisplays() { return activeMonitors(*x_); }

// The primary monitor, else the one at the origin, else the first.
std::uint32_t X11DisplayConfiguration::mainDisplay() {
    const auto all = monitors(*x_, true);
    const auto primary = std::find_if(all.begin(), all.end(), [](const Monitor& m) { return m.primary; });
    const auto atOrigin =
        std::find_if(all.begin(), all.end(), [](const Monitor& m) { return samePlace(m.bounds, 0, 0); });
    const auto main = primary != all.end() ? primary : atOrigin != all.end() ? atOrigin : all.begin();
    return main != all.end() ? monitorDisplayID(*x_, main->atom) : 0;
}

std::expected<void, DisplayConfigurationError> X11DisplayConfiguration::setOrigins(
    const std::vector<DisplayPlacement>& placements) {
    using Step = DisplayConfigurationError::Step;
    // Released before the windows are carried: the window manager moves them.
    std::optional<ServerGrab> grab(std::in_place, *x_);
    const auto res = resources(*x_);
    const auto all = monitors(*x_, true);
    if (!res || all.empty()) return std::unexpected(DisplayConfigurationError{Step::begin, 0, kBadMatch});
    std::vector<std::pair<const Monitor*, DisplayPlacement>> moves;
    for (const auto& p : placements) {
        const auto m = std::find_if(all.begin(), all.end(), [&](const Monitor& candidate) {
            return monitorDisplayID(*x_, candidate.atom) == p.id;
        });
        // RandR places nothing left of or above the screen's origin, nor past its 16-bit extent.
        if (m == all.end() || p.x < 0 || p.y < 0 || p.x + m->bounds.width > kMaxSide ||
            p.y + m->bounds.height > kMaxSide) {
            return std::unexpected(DisplayConfigurationError{Step::origin, p.id, kBadMatch});
        }
        moves.emplace_back(&*m, p);
    }
    std::int64_t right = 0;
    std::int64_t bottom = 0;
    for (const auto& m : all) {
        const auto moved = std::find_if(moves.begin(), moves.end(), [&](const auto& move) { return move.first == &m; });
        const std::int64_t mx = moved != moves.end() ? moved->second.x : m.bounds.x;
        const std::int64_t my = moved != moves.end() ? moved->second.y : m.bounds.y;
        right = std::max(right, mx + m.bounds.width);
        bottom = std::max(bottom, my + m.bounds.height);
    }
    if (!growScreen(*x_, static_cast<std::uint32_t>(right), static_cast<std::uint32_t>(bottom))) {
        return std::unexpected(DisplayConfigurationError{Step::begin, 0, kBadMatch});
    }
    std::vector<std::pair<DisplayBounds, DisplayPlacement>> areas;
    for (const auto& [m, p] : moves) areas.emplace_back(m->bounds, p);
    const auto carried = windowsToCarry(*x_, areas);
    const Monitor* main = nullptr;
    for (const auto& [m, p] : moves) {
        if (!samePlace(m->bounds, p.x, p.y) && !moveMonitor(*x_, *m, p.x, p.y, res->config_timestamp)) {
            return std::unexpected(DisplayConfigurationError{Step::origin, p.id, kBadMatch});
        }
        if (p.x == 0 && p.y == 0) main = m;
    }
    if (main && !makePrimary(*x_, *main)) {
        return std::unexpected(DisplayConfigurationError{Step::complete, 0, kBadMatch});
    }
    grab.reset();
    std::vector<Placement> destinations;
    for (const auto& c : carried) destinations.push_back({c.shown, c.shown.frame.x + c.dx, c.shown.frame.y + c.dy});
    placeWindows(*x_, std::move(destinations));
    return {};
}

}  // namespace orvanta::platform::x11
