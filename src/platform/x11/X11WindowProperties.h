// What the window system and its observer share, private to this folder: the atoms they intern,
// and reading window properties and the processes behind windows.
#pragma once

#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/x11/X11WindowSystem.h"
#include "platform/x11/XConnection.h"

namespace orvanta::platform::x11 {

inline constexpr std::uint32_t kMaxListLongs = 1u << 16;  // windows in the client list

inline constexpr const char* kAtomNames[] = {
    "_NET_CLIENT_LIST_STACKING",
    "_NET_CLIENT_LIST",
    "_NET_ACTIVE_WINDOW",
    "_NET_WM_PID",
    "_NET_WM_NAME",
    "UTF8_STRING",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_NORMAL",
    "_NET_WM_WINDOW_TYPE_DIALOG",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_STATE",
    "_NET_WM_STATE_HIDDEN",
    "_NET_WM_STATE_MAXIMIZED_VERT",
    "_NET_WM_STATE_MAXIMIZED_HORZ",
    "_NET_WM_STATE_FULLSCREEN",
    "_NET_WM_STATE_SKIP_TASKBAR",
    "_NET_FRAME_EXTENTS",
    "_NET_MOVERESIZE_WINDOW",
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_WM_ICON",
};
enum AtomIndex {
    kClientListStacking,
    kClientList,
    kActiveWindow,
    kWmPid,
    kWmName,
    kUtf8String,
    kWindowType,
    kTypeNormal,
    kTypeDialog,
    kTypeDock,
    kTypeDesktop,
    kWmState,
    kStateHidden,
    kStateMaxVert,
    kStateMaxHorz,
    kStateFullscreen,
    kStateSkipTaskbar,
    kFrameExtents,
    kMoveResize,
    kSupportingWmCheck,
    kWmIcon,
    kAtomCount
};

struct X11WindowSystem::Atoms {
    std::array<xcb_atom_t, kAtomCount> ids{};
    xcb_atom_t operator[](AtomIndex index) const { return ids[index]; }
};

// Takes `*error` by address: it is read only after the reply call beside it has set it.
template <class T>
Reply<T> take(T* reply, xcb_generic_error_t** error) {
    std::free(*error);
    *error = nullptr;
    return Reply<T>(reply);
}

std::vector<std::uint32_t> propertyLongs(const xcb_get_property_reply_t* reply);

// The process of each window's X client, from the X-Resource extension, for clients that name
// none in _NET_WM_PID (plain Xt and Xlib programs). Nothing for a remote client; nothing without
// the extension, as a request to a missing extension would close the connection.
std::vector<std::optional<std::int32_t>> clientPids(xcb_connection_t* c, const std::vector<xcb_window_t>& windows);

}  // namespace orvanta::platform::x11
