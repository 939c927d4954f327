#include "client/ui/RemoteCursor.h"

#include <QPixmap>

#include <algorithm>
#include <cmath>

#include "base/Base64.h"
#include "platform/ImageCodec.h"

namespace orvanta::client::RemoteCursor {

namespace {

bool withinLimits(const protocol::CursorPosition::Shape& shape) {
    const auto side = [](double points) { return points > 0 && points <= kMaxPoints; };
    const auto hotSpot = [](double at, double length) { return at >= 0 && at < length; };
    return side(shape.width) && side(shape.height) && hotSpot(shape.hotX, shape.width) &&
           hotSpot(shape.hotY, shape.height);
}

bool pixelSideWithinLimits(std::uint32_t pixels) { return pixels >= 1 && pixels <= kMaxPixels; }

}  // namespace

std::optional<QImage> image(const protocol::CursorPosition::Shape& shape) {
    if (!withinLimits(shape) || shape.png.size() > kMaxBase64Bytes) return std::nullopt;
    const auto bytes = base::base64Decode(shape.png);
    if (!bytes) return std::nullopt;
    const auto header = platform::readPngHeader(*bytes);
    if (!header || !pixelSideWithinLimits(header->width) || !pixelSideWithinLimits(header->height)) return std::nullopt;
    QImage picture = QImage::fromData(bytes->data(), static_cast<int>(bytes->size()), "PNG");
    if (picture.isNull() || picture.width() != static_cast<int>(header->width) ||
        picture.height() != static_cast<int>(header->height))
        return std::nullopt;
    return picture;
}

std::optional<QCursor> make(const protocol::CursorPosition::Shape& shape, double scale) {
    auto picture = image(shape);
    if (!picture) return std::nullopt;
    const QSize size(static_cast<int>(std::lround(shape.width * scale)),
                     static_cast<int>(std::lround(shape.height * scale)));
    if (size.isEmpty()) return std::nullopt;
    const QPixmap pixmap = QPixmap::fromImage(picture->scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    // Rounding must not push the hot spot off the image: X refuses such a cursor.
    const auto hot = [scale](double at, int length) {
        return std::min(static_cast<int>(std::lround(at * scale)), length - 1);
    };
    return QCursor(pixmap, hot(shape.hotX, size.width()), hot(shape.hotY, size.height()));
}

}  // namespace orvanta::client::RemoteCursor
