// The host's cursor image as a cursor over the video. The shape comes from the network, so every
// limit is checked before anything is decoded; any failure gives no cursor and says nothing.
#pragma once

#include <QCursor>
#include <QImage>

#include <optional>

#include "protocol/ControlMessages.h"

namespace orvanta::client::RemoteCursor {

inline constexpr double kMaxPoints = 1024;
inline constexpr std::size_t kMaxBase64Bytes = 6 * 1024 * 1024;
inline constexpr std::uint32_t kMaxPixels = 1024;

// The shape's PNG when its size, hot spot, text and picture are all within the limits.
std::optional<QImage> image(const protocol::CursorPosition::Shape& shape);

// A cursor drawn `scale` times the shape's size (the caller quantises the scale), its hot spot
// scaled alike.
std::optional<QCursor> make(const protocol::CursorPosition::Shape& shape, double scale);

}  // namespace orvanta::client::RemoteCursor
