#include "client/ui/SurfaceRules.h"

#include <algorithm>
#include <cmath>

namespace orvanta::client {

namespace {

constexpr double kLinePoints = 16;
constexpr double kAngleDeltaPerLine = 120;
constexpr double kMaxScroll = 500;

bool isEmpty(const Rect& r) { return !(r.width > 0) || !(r.height > 0); }

Rect intersection(const Rect& a, const Rect& b) {
    const double left = std::max(a.x, b.x), top = std::max(a.y, b.y);
    const double right = std::min(a.x + a.width, b.x + b.width), bottom = std::min(a.y + a.height, b.y + b.height);
    if (right <= left || bottom <= top) return {};
    return {left, top, right - left, bottom - top};
}

}  // namespace

Rect videoRect(const Rect& bounds, StreamSize stream, bool immersive) {
    if (isEmpty(bounds)) return {};
    if (!(stream.width > 0) || !(stream.height > 0)) stream = {16, 9};
    const double fitX = bounds.width / stream.width, fitY = bounds.height / stream.height;
    const double scale = immersive ? std::max(fitX, fitY) : std::min(fitX, fitY);
    const double width = stream.width * scale, height = stream.height * scale;
    return {bounds.x + (bounds.width - width) / 2, bounds.y + (bounds.height - height) / 2, width, height};
}

std::optional<NormalizedPoint> normalized(double x, double y, const Rect& bounds, const Rect& video, bool clamp) {
    const Rect visible = intersection(video, bounds);
    if (isEmpty(visible) || isEmpty(video)) return std::nullopt;
    const double clampedX = std::clamp(x, visible.x, visible.x + visible.width);
    const double clampedY = std::clamp(y, visible.y, visible.y + visible.height);
    if (!clamp && (clampedX != x || clampedY != y)) return std::nullopt;
    return NormalizedPoint{(clampedX - video.x) / video.width, (clampedY - video.y) / video.height};
}

std::optional<ScrollAmount> wheelScroll(int angleDeltaX, int angleDeltaY) {
    if (angleDeltaX == 0 && angleDeltaY == 0) return std::nullopt;
    const auto lines = [](int angle) {
        return std::clamp(angle / kAngleDeltaPerLine * kLinePoints, -kMaxScroll, kMaxScroll);
    };
    return ScrollAmount{lines(angleDeltaX), lines(angleDeltaY)};
}

double quantizedCursorScale(double scale) {
    if (!std::isfinite(scale)) return 1.0;
    if (scale <= 0.5) return 0.5;
    return std::round(std::min(scale, 2.0) * 4) / 4;
}

int ClickCounter::press(Qt::MouseButton button, double x, double y, std::uint64_t timestampMillis, int intervalMillis,
                        int maxDistance) {
    const bool continues = count_ > 0 && button == button_ && timestampMillis >= at_ &&
                           timestampMillis - at_ <= static_cast<std::uint64_t>(std::max(intervalMillis, 0)) &&
                           std::abs(x - x_) <= maxDistance && std::abs(y - y_) <= maxDistance;
    count_ = continues ? count_ + 1 : 1;
    button_ = button;
    x_ = x;
    y_ = y;
    at_ = timestampMillis;
    return count_;
}

LocalShortcut localShortcut(Qt::KeyboardModifiers modifiers, int key, bool immersive) {
    const Qt::KeyboardModifiers chord =
        modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (chord == (Qt::ControlModifier | Qt::MetaModifier) && key == Qt::Key_F) return LocalShortcut::toggleFullScreen;
    if (chord == Qt::NoModifier && key == Qt::Key_Escape && immersive) return LocalShortcut::toggleFullScreen;
    if (chord == Qt::ControlModifier && key == Qt::Key_Comma) return LocalShortcut::openSettings;
    if (chord == (Qt::ControlModifier | Qt::ShiftModifier) && key == Qt::Key_N) return LocalShortcut::focusNavigation;
    return LocalShortcut::none;
}

}  // namespace orvanta::client
