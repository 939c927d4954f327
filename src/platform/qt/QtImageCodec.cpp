#include "platform/qt/QtImageCodec.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>

namespace orvanta::platform::qt {

namespace {

QByteArray wrap(base::ByteView bytes) {
    return QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

bool QtImageCodec::isDecodablePng(base::ByteView png) const {
    if (!pngHeaderAcceptable(png)) return false;
    QByteArray data = wrap(png);
    QBuffer buffer(&data);
    QImageReader reader(&buffer, "png");
    return !reader.read().isNull();
}

std::optional<base::Bytes> QtImageCodec::pngData(base::ByteView picture) const {
    if (readPngHeader(picture)) return base::Bytes(picture.begin(), picture.end());
    QByteArray data = wrap(picture);
    QBuffer input(&data);
    QImageReader reader(&input);
    const QSize size = reader.size();
    if (size.isValid() && std::uint64_t(size.width()) * std::uint64_t(size.height()) > kMaxDecodedImagePixels)
        return std::nullopt;
    const QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    QByteArray out;
    QBuffer output(&out);
    output.open(QIODevice::WriteOnly);
    if (!image.save(&output, "PNG")) return std::nullopt;
    return base::Bytes(out.begin(), out.end());
}

}  // namespace orvanta::platform::qt
