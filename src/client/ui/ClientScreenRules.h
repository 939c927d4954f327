// The client screens' decisions as pure functions, so they are tested without a display: which
// screen the client side shows, the state titles and colours, the menu's enabled items, the
// settings sliders, host names and their distinctions, and the size of a new window.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/directory/HostListStore.h"
#include "client/session/ConnectionManager.h"
#include "client/ui/Theme.h"

namespace orvanta::client {

using SessionState = ConnectionManager::State;

// The colour of the state's dot, as the in-session overlay's tone gives it.
ThemeColour stateColour(SessionState state);

// ---- Client window root.
// Whether the connect screen is the client side's active screen.
bool showingList(bool visible, bool immersive, bool showingConnectScreen, SessionState state);
// Whether a session is on screen (it does not look at the side's visibility).
bool sessionShown(SessionState state, bool showingConnectScreen);

// ---- Menu "接続".
struct ConnectionMenu {
    bool list = false;
    bool gameKeyboard = false;
    bool disconnect = false;
    bool backToHosts = false;
    bool operator==(const ConnectionMenu&) const = default;
};
ConnectionMenu connectionMenu(SessionState state, bool isSelfConnection);

// ---- Settings rows.
// A number as "%g" writes it (six significant digits, no trailing zeros), whatever the locale.
std::string shortNumber(double value);
// "%g" of the value followed by "倍".
std::string timesText(double value);
// The display-scale choice nearest to `scale`; on equal distance the lower index.
std::size_t nearestScaleIndex(double scale);
// The cursor scale a stored value shows: 1 when not finite, 0.5 at most 0.5, else capped at 2 and
// rounded to a quarter, halves away from zero.
double shownCursorScale(double stored);
inline constexpr double kCursorScaleMin = 0.5;
inline constexpr double kCursorScaleStep = 0.25;
inline constexpr int kCursorScaleSteps = 6;  // 0.5 ... 2.0

// ---- Connect screen.
inline constexpr std::string_view kUnnamedHost = "名前のない端末";
// The name a saved host is listed under.
std::string hostName(const HostListStore::Entry& entry);
// A second line telling apart saved hosts of equal names: host, port, path and kind.
std::optional<std::string> distinction(const HostListStore::Entry& entry,
                                       const std::vector<HostListStore::Entry>& entries);
// The title of a host found nearby.
std::string nearbyTitle(std::string_view advertisedName);
// Two columns from a width of 720 points.
bool wideLayout(double width);

// ---- New window.
inline constexpr double kNewWindowWidth = 760;
inline constexpr double kNewWindowMinimumHeight = 300;
// The height a new window opens with: the content's fitting height rounded up, no taller than the
// visible screen less a title bar, and at least 300 points.
double newWindowHeight(double fittingHeight, std::optional<double> visibleHeight, double titleBarHeight);

}  // namespace orvanta::client
