#include "platform/x11/X11WindowSystem.h"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>

#include "base/Utf8.h"
#include "platform/x11/X11WindowIcon.h"
#include "platform/x11/X11WindowObserver.h"
#include "platform/x11/X11WindowProperties.h"

namespace orvanta::platform::x11 {

namespace {

constexpr std::uint32_t kMaxTitleLongs = 1024;      // 4 KiB of title is plenty for a list
constexpr std::uint32_t kMaxIconLongs = 1u << 20;   // 4 MiB of icon pixels at most
constexpr std::uint64_t kWaitSliceMicros = 20'000;  // re-read at least this often while waiting
constexpr auto kWaitSlice = std::chrono::milliseconds(5);
constexpr auto kStateSettle = std::chrono::milliseconds(250);  // for the window manager to leave a state
constexpr std::uint32_t kSourcePager = 2;                      // EWMH source indication: a pager or tool
constexpr std::uint32_t kGravityNorthWest = 1;
constexpr std::uint32_t kStateRemove = 0;
constexpr std::uint32_t kStateAdd = 1;

}  // namespace

// What one client window says of itself, read in one batch with the others.
struct X11WindowSystem::Client {
    xcb_window_t id = 0;
    bool exists = false;
    std::optional<std::int32_t> pid;
    std::string title;
    std::string windowClass;
    std::string windowInstance;
    std::vector<xcb_atom_t> types;
    std::vector<xcb_atom_t> states;
    Rect frame;
    Rect area;        // the client's own, inside the window manager's frame
    Size decoration;  // what the window manager's frame adds to the client's size
    bool viewable = false;

    bool has(xcb_atom_t state) const { return std::ranges::find(states, state) != states.end(); }
};

namespace {

std::string_view propertyBytes(const xcb_get_property_reply_t* reply) {
    if (!reply) return {};
    return {static_cast<const char*>(xcb_get_property_value(reply)),
            static_cast<std::size_t>(xcb_get_property_value_length(reply))};
}

std::string validUtf8(std::string_view text) {
    if (base::isValidUtf8(text)) return std::string(text);
    return base::encodeUtf8(base::decodeUtf8Lossy(text));
}

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    for (unsigned char c : text) base::appendUtf8(out, c);
    return out;
}

std::string processName(std::int32_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(file, name);
    return validUtf8(name);
}

xcb_get_property_cookie_t askProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                                      std::uint32_t longs) {
    return xcb_get_property(c, 0, window, property, type, 0, longs);
}

}  // namespace

std::expected<std::unique_ptr<X11WindowSystem>, std::string> X11WindowSystem::open(const std::string& display) {
    auto connection = XConnection::open(display);
    if (!connection) return std::unexpected(connection.error());
    auto* c = (*connection)->get();
    std::array<xcb_intern_atom_cookie_t, kAtomCount> cookies;
    for (int i = 0; i < kAtomCount; ++i) {
        cookies[i] = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(kAtomNames[i])), kAtomNames[i]);
    }
    auto atoms = std::make_unique<Atoms>();
    for (int i = 0; i < kAtomCount; ++i) {
        xcb_generic_error_t* error = nullptr;
        auto reply = take(xcb_intern_atom_reply(c, cookies[i], &error), &error);
        if (!reply) return std::unexpected(std::string("cannot intern ") + kAtomNames[i]);
        atoms->ids[i] = reply->atom;
    }
    return std::unique_ptr<X11WindowSystem>(new X11WindowSystem(display, std::move(*connection), std::move(atoms)));
}

X11WindowSystem::X11WindowSystem(std::string display, std::unique_ptr<XConnection> connection,
                                 std::unique_ptr<Atoms> atoms)
    : display_(std::move(display)), x_(std::move(connection)), atoms_(std::move(atoms)) {}

X11WindowSystem::~X11WindowSystem() = default;

int X11WindowSystem::connectionError() const { return AXError::cannotComplete; }

std::optional<std::vector<xcb_window_t>> X11WindowSystem::stackingFrontToBack() {
    auto* c = x_->get();
    xcb_generic_error_t* error = nullptr;
    auto reply =
        take(xcb_get_property_reply(
                 c, askProperty(c, x_->root(), (*atoms_)[kClientListStacking], XCB_ATOM_WINDOW, kMaxListLongs), &error),
             &error);
    if (!reply || reply->type != XCB_ATOM_WINDOW) return std::nullopt;
    auto windows = propertyLongs(reply.get());
    std::ranges::reverse(windows);
    return windows;
}

std::vector<X11WindowSystem::Client> X11WindowSystem::fetch(const std::vector<xcb_window_t>& windows) {
    auto* c = x_->get();
    const auto& a = *atoms_;
    struct Cookies {
        xcb_get_property_cookie_t pid, netName, name, wmClass, type, state, extents;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
        xcb_get_window_attributes_cookie_t attributes;
    };
    // Every request goes out before the first reply is awaited: one round trip for the whole list.
    std::vector<Cookies> cookies;
    cookies.reserve(windows.size());
    for (auto window : windows) {
        cookies.push_back({askProperty(c, window, a[kWmPid], XCB_ATOM_CARDINAL, 1),
                           askProperty(c, window, a[kWmName], a[kUtf8String], kMaxTitleLongs),
                           askProperty(c, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, kMaxTitleLongs),
                           askProperty(c, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, kMaxTitleLongs),
                           askProperty(c, window, a[kWindowType], XCB_ATOM_ATOM, 32),
                           askProperty(c, window, a[kWmState], XCB_ATOM_ATOM, 32),
                           askProperty(c, window, a[kFrameExtents], XCB_ATOM_CARDINAL, 4), xcb_get_geometry(c, window),
                           xcb_translate_coordinates(c, window, x_->root(), 0, 0),
                           xcb_get_window_attributes(c, window)});
    }
    std::vector<Client> clients;
    clients.reserve(windows.size());
    std::vector<std::size_t> unnamed;  // clients without _NET_WM_PID
    for (std::size_t i = 0; i < windows.size(); ++i) {
        auto& k = cookies[i];
        xcb_generic_error_t* error = nullptr;
        auto property = [&](xcb_get_property_cookie_t cookie) {
            return take(xcb_get_property_reply(c, cookie, &error), &error);
        };
        auto pid = property(k.pid);
        auto netName = property(k.netName);
        auto name = property(k.name);
        auto wmClass = property(k.wmClass);
        auto type = property(k.type);
        auto state = property(k.state);
        auto extents = property(k.extents);
        auto geometry = take(xcb_get_geometry_reply(c, k.geometry, &error), &error);
        auto origin = take(xcb_translate_coordinates_reply(c, k.origin, &error), &error);
        auto attributes = take(xcb_get_window_attributes_reply(c, k.attributes, &error), &error);

        Client client;
        client.id = windows[i];
        client.exists = geometry && origin && attributes;
        if (!client.exists) {
            clients.push_back(std::move(client));
            continue;
        }
        // A window naming init has no owner we could act on; one naming none is asked about below.
        if (auto values = propertyLongs(pid.get()); values.empty()) {
            unnamed.push_back(i);
        } else if (values[0] > 1 && values[0] <= INT32_MAX) {
            client.pid = static_cast<std::int32_t>(values[0]);
        }
        auto netTitle = propertyBytes(netName.get());
        if (!netTitle.empty() && base::isValidUtf8(netTitle)) {
            client.title = std::string(netTitle);
        } else if (name && name->type == XCB_ATOM_STRING) {
            client.title = latin1ToUtf8(propertyBytes(name.get()));
        } else {
            client.title = validUtf8(propertyBytes(name.get()));
        }
        auto classBytes = propertyBytes(wmClass.get());
        auto split = classBytes.find('\0');
        client.windowInstance = latin1ToUtf8(classBytes.substr(0, split));
        if (split != std::string_view::npos) {
            auto rest = classBytes.substr(split + 1);
            client.windowClass = latin1ToUtf8(rest.substr(0, rest.find('\0')));
        }
        client.types = propertyLongs(type.get());
        client.states = propertyLongs(state.get());
        auto frameExtents = propertyLongs(extents.get());
        frameExtents.resize(4, 0);
        const double left = frameExtents[0], right = frameExtents[1], top = frameExtents[2], bottom = frameExtents[3];
        client.area = {static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
                       static_cast<double>(geometry->width), static_cast<double>(geometry->height)};
        client.frame = {client.area.x - left, client.area.y - top, client.area.width + left + right,
                        client.area.height + top + bottom};
        client.decoration = {left + right, top + bottom};
        client.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE && !client.has(a[kStateHidden]);
        clients.push_back(std::move(client));
    }
    if (unnamed.empty()) return clients;
    std::vector<xcb_window_t> asked;
    for (auto i : unnamed) asked.push_back(clients[i].id);
    const auto pids = clientPids(c, asked);
    for (std::size_t k = 0; k < unnamed.size(); ++k) clients[unnamed[k]].pid = pids[k];
    return clients;
}

namespace {

enum class Kind { normal, dialog, floating, dock, desktop };

Kind kindOf(const std::vector<xcb_atom_t>& types, const X11WindowSystem::Atoms& a) {
    // The first type we know wins, as EWMH orders them by preference; an untyped window is normal.
    for (auto type : types) {
        if (type == a.ids[kTypeNormal]) return Kind::normal;
        if (type == a.ids[kTypeDialog]) return Kind::dialog;
        if (type == a.ids[kTypeDock]) return Kind::dock;
        if (type == a.ids[kTypeDesktop]) return Kind::desktop;
    }
    return types.empty() ? Kind::normal : Kind::floating;
}

std::int32_t layerOf(Kind kind) {
    switch (kind) {
        case Kind::normal:
            return 0;
        case Kind::dialog:
            return 8;
        case Kind::floating:
            return 3;
        case Kind::dock:
            return 20;
        case Kind::desktop:
            return -1;
    }
    return 3;
}

std::string appName(const X11WindowSystem::Client& client) {
    if (!client.windowClass.empty()) return client.windowClass;
    return client.pid ? processName(*client.pid) : std::string();
}

WindowDescription describe(const X11WindowSystem::Client& client, const X11WindowSystem::Atoms& atoms) {
    WindowDescription description;
    description.number = client.id;
    description.ownerPid = client.pid;
    if (auto name = appName(client); !name.empty()) description.ownerName = name;
    description.layer = layerOf(kindOf(client.types, atoms));
    description.bounds = client.frame;
    description.title = client.title;
    description.onScreen = client.viewable;
    description.content = client.area;
    return description;
}

}  // namespace

std::optional<std::vector<WindowDescription>> X11WindowSystem::windowList(bool onScreenOnly) {
    auto windows = stackingFrontToBack();
    if (!windows || x_->hasError()) return std::nullopt;
    std::vector<WindowDescription> list;
    for (const auto& client : fetch(*windows)) {
        // Desktop backgrounds are never listed; windows closed meanwhile drop out.
        if (!client.exists || kindOf(client.types, *atoms_) == Kind::desktop) continue;
        if (!onScreenOnly || client.viewable) list.push_back(describe(client, *atoms_));
    }
    if (x_->hasError()) return std::nullopt;
    return list;
}

std::optional<WindowDescription> X11WindowSystem::windowDescription(std::uint32_t number) {
    auto clients = fetch({number});
    if (!clients.front().exists) return std::nullopt;
    return describe(clients.front(), *atoms_);
}

bool X11WindowSystem::isAccessibilityTrusted() {
    auto* c = x_->get();
    auto check = [&](xcb_window_t window) -> std::optional<xcb_window_t> {
        xcb_generic_error_t* error = nullptr;
        auto reply = take(xcb_get_property_reply(
                              c, askProperty(c, window, (*atoms_)[kSupportingWmCheck], XCB_ATOM_WINDOW, 1), &error),
                          &error);
        auto values = propertyLongs(reply.get());
        if (values.empty()) return std::nullopt;
        return values[0];
    };
    auto child = check(x_->root());
    return child && check(*child) == child;
}

std::expected<X11WindowSystem::Client, int> X11WindowSystem::client(const AXElement& element) {
    if (x_->hasError()) return std::unexpected(connectionError());
    auto clients = fetch({element.window});
    auto& found = clients.front();
    if (x_->hasError()) return std::unexpected(connectionError());
    // A window now owned by another process is not the element that was handed out.
    if (!found.exists || found.pid != element.pid) return std::unexpected(AXError::invalidUIElement);
    return std::move(found);
}

std::optional<xcb_window_t> X11WindowSystem::activeWindow() {
    auto* c = x_->get();
    xcb_generic_error_t* error = nullptr;
    auto reply = take(
        xcb_get_property_reply(c, askProperty(c, x_->root(), (*atoms_)[kActiveWindow], XCB_ATOM_WINDOW, 1), &error),
        &error);
    auto values = propertyLongs(reply.get());
    if (values.empty() || values[0] == 0) return std::nullopt;
    return values[0];
}

std::expected<AXValue, int> X11WindowSystem::copyAttribute(const AXElement& element, std::string_view name) {
    if (x_->hasError()) return std::unexpected(connectionError());
    if (element.isApplication()) {
        auto windows = stackingFrontToBack();
        if (!windows) return std::unexpected(AXError::cannotComplete);
        std::vector<AXElement> owned;
        std::optional<AXElement> main;
        for (const auto& client : fetch(*windows)) {
            if (!client.exists || client.pid != element.pid) continue;
            owned.push_back({element.pid, client.id});
            if (!main && client.viewable && kindOf(client.types, *atoms_) == Kind::normal) main = owned.back();
        }
        if (name == "AXWindows") return owned;
        if (name == "AXMainWindow") {
            if (!main) return std::unexpected(AXError::noValue);
            return *main;
        }
        if (name == "AXFocusedWindow") {
            auto active = activeWindow();
            auto found = std::ranges::find(owned, active.value_or(0), &AXElement::window);
            if (!active || found == owned.end()) return std::unexpected(AXError::noValue);
            return *found;
        }
        return std::unexpected(AXError::attributeUnsupported);
    }
    auto window = client(element);
    if (!window) return std::unexpected(window.error());
    if (name == "AXPosition") return Point{window->frame.x, window->frame.y};
    if (name == "AXSize") return Size{window->frame.width, window->frame.height};
    if (name == "AXRole") return std::string("AXWindow");
    if (name == "AXTitle") return window->title;
    if (name == "AXMinimized") return window->has((*atoms_)[kStateHidden]);
    if (name == "AXSubrole") {
        switch (kindOf(window->types, *atoms_)) {
            case Kind::normal:
                return std::string("AXStandardWindow");
            case Kind::dialog:
                return std::string("AXDialog");
            default:
                return std::string("AXFloatingWindow");
        }
    }
    return std::unexpected(AXError::attributeUnsupported);
}

void X11WindowSystem::sendToRoot(xcb_window_t window, xcb_atom_t type, std::array<std::uint32_t, 5> data) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    std::memcpy(event.data.data32, data.data(), sizeof(std::uint32_t) * data.size());
    xcb_send_event(x_->get(), 0, x_->root(), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
}

int X11WindowSystem::setAttribute(const AXElement& element, std::string_view name, const AXValue& value) {
    if (name == "AXPosition") {
        const auto* point = std::get_if<Point>(&value);
        return point ? moveResize(element, *point, std::nullopt) : AXError::illegalArgument;
    }
    if (name == "AXSize") {
        const auto* size = std::get_if<Size>(&value);
        return size ? moveResize(element, std::nullopt, *size) : AXError::illegalArgument;
    }
    return AXError::attributeUnsupported;
}

int X11WindowSystem::moveResize(const AXElement& element, std::optional<Point> origin, std::optional<Size> size) {
    auto window = client(element);
    if (!window) return window.error();
    const auto& a = *atoms_;
    if (origin && (!std::isfinite(origin->x) || !std::isfinite(origin->y) || std::abs(origin->x) > INT16_MAX ||
                   std::abs(origin->y) > INT16_MAX)) {
        return AXError::illegalArgument;
    }
    if (size &&
        (!(size->width >= 1) || !(size->height >= 1) || size->width > UINT16_MAX || size->height > UINT16_MAX)) {
        return AXError::illegalArgument;
    }
    // Window managers ignore moves of maximised and full-screen windows: leave those states first,
    // and remember them so that moving the window back where it was restores them.
    std::vector<xcb_atom_t> clearing;
    for (auto state : {a[kStateMaxVert], a[kStateMaxHorz], a[kStateFullscreen]}) {
        if (window->has(state)) clearing.push_back(state);
    }
    Rect asked = window->frame;
    if (origin) asked.x = origin->x, asked.y = origin->y;
    if (size) asked.width = size->width, asked.height = size->height;
    // Asking a maximised window for the frame it has (a restore's last step) keeps it maximised.
    if (!clearing.empty() && std::abs(asked.x - window->frame.x) <= 2 && std::abs(asked.y - window->frame.y) <= 2 &&
        std::abs(asked.width - window->frame.width) <= 2 && std::abs(asked.height - window->frame.height) <= 2) {
        return AXError::success;
    }
    if (!clearing.empty()) {
        std::lock_guard lock(mutex_);
        cleared_.try_emplace(window->id, ClearedStates{clearing, window->frame, window->frame});
    }
    for (auto state : clearing) sendToRoot(window->id, a[kWmState], {kStateRemove, state, 0, kSourcePager, 0});
    if (!clearing.empty()) {
        // The decorations differ between the states, so the size asked for waits for the new ones.
        xcb_flush(x_->get());
        const auto deadline = std::chrono::steady_clock::now() + kStateSettle;
        while (std::ranges::any_of(clearing, [&](xcb_atom_t state) { return window->has(state); }) &&
               std::chrono::steady_clock::now() < deadline) {
            waitForFrameChange(element, std::chrono::duration_cast<std::chrono::microseconds>(kWaitSlice).count());
            window = client(element);
            if (!window) return window.error();
        }
    }

    // NorthWest gravity places the frame's outer corner at x, y; the size asked for is the client's.
    std::uint32_t flags = kGravityNorthWest | (kSourcePager << 12);
    std::array<std::uint32_t, 5> data{};
    if (origin) {
        flags |= (1u << 8) | (1u << 9);
        data[1] = static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(origin->x)));
        data[2] = static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(origin->y)));
    }
    if (size) {
        flags |= (1u << 10) | (1u << 11);
        data[3] = static_cast<std::uint32_t>(std::max(1L, std::lround(size->width - window->decoration.width)));
        data[4] = static_cast<std::uint32_t>(std::max(1L, std::lround(size->height - window->decoration.height)));
    }
    data[0] = flags;
    sendToRoot(window->id, a[kMoveResize], data);
    trackRequest(*window, origin, size);
    xcb_flush(x_->get());
    return x_->hasError() ? connectionError() : AXError::success;
}

// Remembers what the writes to a window whose states were cleared ask for, as moves are applied
// later than they are asked; once they ask for the frame it had, its states are put back.
Rect X11WindowSystem::trackRequest(const Client& window, std::optional<Point> origin, std::optional<Size> size) {
    std::vector<xcb_atom_t> restore;
    Rect requested = window.frame;
    {
        std::lock_guard lock(mutex_);
        auto found = cleared_.find(window.id);
        if (found != cleared_.end()) requested = found->second.requested;
        if (origin) requested.x = origin->x, requested.y = origin->y;
        if (size) requested.width = size->width, requested.height = size->height;
        if (found != cleared_.end()) {
            found->second.requested = requested;
            const auto& was = found->second.frame;
            if (std::abs(was.x - requested.x) <= 2 && std::abs(was.y - requested.y) <= 2 &&
                std::abs(was.width - requested.width) <= 2 && std::abs(was.height - requested.height) <= 2) {
                restore = std::move(found->second.states);
                cleared_.erase(found);
            }
        }
    }
    for (auto state : restore) sendToRoot(window.id, (*atoms_)[kWmState], {kStateAdd, state, 0, kSourcePager, 0});
    return requested;
}

int X11WindowSystem::performAction(const AXElement& element, std::string_view action) {
    if (action != "AXRaise") return AXError::notImplemented;
    auto window = client(element);
    if (!window) return window.error();
    sendToRoot(window->id, (*atoms_)[kActiveWindow], {kSourcePager, XCB_CURRENT_TIME, 0, 0, 0});
    xcb_flush(x_->get());
    return x_->hasError() ? connectionError() : AXError::success;
}

// Replies come from the X server, not from the application, so an application that hangs cannot
// stall a read: there is no per-application time-out to set.
void X11WindowSystem::setMessagingTimeout(const AXElement&, double) {}

std::expected<std::uint32_t, int> X11WindowSystem::windowID(const AXElement& element) {
    if (element.isApplication()) return std::unexpected(AXError::illegalArgument);
    return element.window;
}

void X11WindowSystem::waitForFrameChange(const AXElement& element, std::uint64_t timeoutMicros) {
    std::lock_guard lock(mutex_);
    if (!waits_) {
        auto connection = XConnection::open(display_);
        if (!connection) return;
        waits_ = std::move(*connection);
    }
    auto* c = waits_->get();
    // The window manager's frame moves on a move; the client window changes on a resize and says
    // so in its state. The selection lasts for this wait only, so that no events pile up between.
    xcb_window_t frame = XCB_WINDOW_NONE;
    xcb_generic_error_t* error = nullptr;
    if (auto tree = take(xcb_query_tree_reply(c, xcb_query_tree(c, element.window), &error), &error)) {
        if (tree->parent != tree->root) frame = tree->parent;
    }
    auto select = [&](std::uint32_t clientMask, std::uint32_t frameMask) {
        xcb_change_window_attributes(c, element.window, XCB_CW_EVENT_MASK, &clientMask);
        if (frame != XCB_WINDOW_NONE) xcb_change_window_attributes(c, frame, XCB_CW_EVENT_MASK, &frameMask);
        xcb_flush(c);
    };
    select(std::uint32_t{XCB_EVENT_MASK_STRUCTURE_NOTIFY} | XCB_EVENT_MASK_PROPERTY_CHANGE,
           XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    pollfd descriptor{xcb_get_file_descriptor(c), POLLIN, 0};
    const auto wait = std::min(timeoutMicros, kWaitSliceMicros);
    bool changed = false;
    while (!changed) {
        while (auto* event = xcb_poll_for_event(c)) {
            const auto type = event->response_type & 0x7f;
            changed = changed || type == XCB_CONFIGURE_NOTIFY || type == XCB_PROPERTY_NOTIFY;
            std::free(event);
        }
        if (changed || xcb_connection_has_error(c) || poll(&descriptor, 1, static_cast<int>(wait / 1000)) <= 0) break;
    }
    select(XCB_EVENT_MASK_NO_EVENT, XCB_EVENT_MASK_NO_EVENT);
}

std::unique_ptr<AXObserver> X11WindowSystem::createObserver(std::int32_t pid, base::Executor& executor,
                                                            AXObserver::Callback callback) {
    auto connection = XConnection::open(display_);
    if (!connection || pid < 2) return nullptr;
    return makeWindowObserver(std::move(*connection), *atoms_, pid, executor, std::move(callback));
}

std::optional<RunningApplication> X11WindowSystem::frontmostApplication() {
    auto active = activeWindow();
    if (!active) return std::nullopt;
    auto clients = fetch({*active});
    const auto& client = clients.front();
    if (!client.exists || !client.pid) return std::nullopt;
    return RunningApplication{*client.pid, appName(client), client.windowClass, client.windowInstance, true};
}

std::vector<RunningApplication> X11WindowSystem::runningApplications() {
    std::vector<RunningApplication> apps;
    auto windows = stackingFrontToBack();
    if (!windows) return apps;
    for (const auto& client : fetch(*windows)) {
        if (!client.exists || !client.pid) continue;
        const bool regular = kindOf(client.types, *atoms_) == Kind::normal && !client.has((*atoms_)[kStateSkipTaskbar]);
        auto found = std::ranges::find(apps, *client.pid, &RunningApplication::pid);
        if (found == apps.end()) {
            apps.push_back({*client.pid, appName(client), client.windowClass, client.windowInstance, regular});
        } else {
            found->regular = found->regular || regular;
        }
    }
    return apps;
}

bool X11WindowSystem::activateApplication(std::int32_t pid) {
    // Activation goes with raising a window (_NET_ACTIVE_WINDOW); here we only say whether it runs.
    return pid > 1 && (kill(pid, 0) == 0 || errno == EPERM);
}

std::optional<IconImage> X11WindowSystem::applicationIcon(std::int32_t pid) {
    auto windows = stackingFrontToBack();
    if (!windows) return std::nullopt;
    auto* c = x_->get();
    for (const auto& client : fetch(*windows)) {
        if (!client.exists || client.pid != pid) continue;
        xcb_generic_error_t* error = nullptr;
        auto reply =
            take(xcb_get_property_reply(
                     c, askProperty(c, client.id, (*atoms_)[kWmIcon], XCB_ATOM_CARDINAL, kMaxIconLongs), &error),
                 &error);
        if (auto best = bestIcon(propertyLongs(reply.get()))) return best;
    }
    return std::nullopt;
}

}  // namespace orvanta::platform::x11
