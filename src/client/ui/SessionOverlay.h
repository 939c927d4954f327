// The in-session overlay's rules as pure functions of the session's state: the state's short title
// and colour, the status line, the stream facts, the buttons a state offers, whether the video
// surface shows, and whether the bar's parts fit in a row.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/session/ConnectionManager.h"

namespace orvanta::client {

// The state's short title, for the status bar, tooltips, accessibility and the connect screen.
std::string_view indicatorTitle(ConnectionManager::State state);

enum class StateTone { ok, warning, danger, muted };
StateTone stateTone(ConnectionManager::State state);

// What the overlay shows, as read from the model, its session and the window.
struct OverlayFacts {
    ConnectionManager::State state = ConnectionManager::State::disconnected;
    bool receivedFrame = false;
    bool viewOnly = false;
    std::optional<std::string> hostDisplayName;  // of the session's saved host, when there is one
    StreamSize streamSize;
    int fps = 0;
    std::optional<std::string> inputNotice;
    bool showingConnectScreen = false;
    bool immersive = false;
    bool operator==(const OverlayFacts&) const = default;
};

std::string statusLine(const OverlayFacts& facts);
// The stream's size and frame rate, once a frame of a connected session arrived; else empty.
std::string measurements(const OverlayFacts& facts);
// The compact bar's tooltip: the status line and the stream facts, empty ones left out.
std::string compactTooltip(const OverlayFacts& facts);

enum class OverlayButton {
    settings,
    fullScreen,
    disconnect,
    takeOver,
    joinAsController,
    stop,
    returnHere,
    close,
    showHere
};
std::string_view buttonTitle(OverlayButton button);
// "設定" first, then the state's own buttons in their order.
std::vector<OverlayButton> actionButtons(ConnectionManager::State state, bool viewOnly);
// The compact bar's buttons; "全画面" is enabled once a frame arrived.
std::vector<OverlayButton> compactBarButtons();
// Buttons drawn in the danger colour.
bool isDestructive(OverlayButton button);

// The connected state shows a compact bar: the state label only until a frame came.
bool isCompactBar(ConnectionManager::State state);
bool showsStateLabel(const OverlayFacts& facts);
bool showsVideoSurface(const OverlayFacts& facts);
// The controller's caption, in the states that have one.
std::optional<std::string_view> caption(ConnectionManager::State state);

// The bar puts the state label and the buttons in one row when both fit the width offered, and
// the buttons in one row when they fit; otherwise each goes below the other.
struct OverlayLayout {
    bool barInRow = true;
    bool actionsInRow = true;
    bool operator==(const OverlayLayout&) const = default;
};
inline constexpr double kBarSpacing = 12;
inline constexpr double kActionSpacing = 8;
OverlayLayout overlayLayout(double offeredWidth, double labelWidth, double actionsRowWidth);

}  // namespace orvanta::client
