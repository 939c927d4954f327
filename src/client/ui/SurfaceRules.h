// The video surface's rules as pure functions: where the picture lies in the view, how a pointer
// position becomes a point on the host's screen, how wheel turns become scroll amounts, how
// presses count as clicks, the cursor scale steps and the window's own shortcuts.
#pragma once

#include <Qt>

#include <cstdint>
#include <optional>

#include "client/session/ConnectionManager.h"
#include "client/viewer/SurfaceInput.h"

namespace orvanta::client {

// The picture's rectangle in a view of `bounds`, centred: the largest of the stream's aspect that
// fits (aspect fit), or when immersive the smallest that covers the view (aspect fill). A stream
// side that is not positive counts as 16 x 9; empty bounds give the zero rectangle.
Rect videoRect(const Rect& bounds, StreamSize stream, bool immersive);

// A view position as a point across the video rectangle `video`, origin top left. Positions are
// first clamped into the visible part of the video; unless `clamp` is set, a position that had to
// move gives nothing (it lay outside the video), as does a video with no visible part.
std::optional<NormalizedPoint> normalized(double x, double y, const Rect& bounds, const Rect& video, bool clamp);

struct ScrollAmount {
    double dx = 0;
    double dy = 0;
    bool operator==(const ScrollAmount&) const = default;
};

// Wheel turns in eighths of a degree (120 a notch, positive away from the user and to the left),
// as lines of 16, each side within -500...500; nothing when both are 0. The sign is the one the
// host's injector turns back into the same wheel buttons.
std::optional<ScrollAmount> wheelScroll(int angleDeltaX, int angleDeltaY);

// The cursor scale in steps of 0.25 from 0.5 to 2; not finite gives 1.
double quantizedCursorScale(double scale);

// Counts presses of one button as clicks of a multi-click: a press soon enough after the last one,
// close enough to it, continues the count. Qt reports the second press only as a double-click
// event and none after it, so the surface counts for itself.
class ClickCounter {
public:
    int press(Qt::MouseButton button, double x, double y, std::uint64_t timestampMillis, int intervalMillis,
              int maxDistance);

private:
    Qt::MouseButton button_ = Qt::NoButton;
    double x_ = 0;
    double y_ = 0;
    std::uint64_t at_ = 0;
    int count_ = 0;
};

// The window's own shortcuts, which never reach the host. Modifiers must match exactly; the
// application's Command is Ctrl, and Command+Control is Ctrl+Super.
enum class LocalShortcut { none, toggleFullScreen, openSettings, focusNavigation };
LocalShortcut localShortcut(Qt::KeyboardModifiers modifiers, int key, bool immersive);
// Only opening the settings repeats with the key; the others act once per press.
inline bool actsOnRepeat(LocalShortcut shortcut) { return shortcut == LocalShortcut::openSettings; }

}  // namespace orvanta::client
