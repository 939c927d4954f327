#include "platform/qt/QtIconRenderer.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QPixmap>
#include <QStandardPaths>

namespace orvanta::platform::qt {

namespace {

// Larger pictures are refused before decoding: an icon file has no reason to be one.
constexpr qint64 kMaxSourcePixels = 4096 * 4096;

QImage fromFile(const QString& path, int pixels) {
    QImageReader reader(path);
    const auto size = reader.size();
    if (size.isValid() && qint64(size.width()) * size.height() > kMaxSourcePixels) return {};
    // Scalable pictures are drawn at the size wanted; bitmaps keep theirs and are scaled below.
    if (reader.format() == "svg" || reader.format() == "svgz") reader.setScaledSize(QSize(pixels, pixels));
    return reader.read();
}

// A platform without a desktop theme (offscreen, a bare window manager) leaves Qt with no theme
// and no folder to look in; applications install their icons into the freedesktop fallback theme
// of the XDG data folders.
void ensureIconTheme() {
    if (!QIcon::themeName().isEmpty()) return;
    QStringList themes = QIcon::themeSearchPaths();
    QStringList loose = QIcon::fallbackSearchPaths();
    const auto add = [](QStringList& paths, const QString& folder) {
        if (!paths.contains(folder)) paths.append(folder);
    };
    if (const QString home = QDir::homePath() + "/.icons"; QFileInfo(home).isDir()) add(themes, home);
    for (const auto& folder :
         QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, "icons", QStandardPaths::LocateDirectory)) {
        add(themes, folder);
    }
    for (const auto& folder :
         QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, "pixmaps", QStandardPaths::LocateDirectory)) {
        add(loose, folder);
    }
    QIcon::setThemeSearchPaths(themes);
    QIcon::setFallbackSearchPaths(loose);
    QIcon::setThemeName("hicolor");
}

QImage fromTheme(const QString& name, int pixels) {
    ensureIconTheme();
    const auto icon = QIcon::fromTheme(name);
    if (icon.isNull()) return {};
    return icon.pixmap(QSize(pixels, pixels)).toImage();
}

QImage fromPixels(const IconImage& image) {
    const auto count = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    if (image.width <= 0 || image.height <= 0 || image.argb.size() != count) return {};
    // Format_ARGB32 holds exactly 0xAARRGGBB per pixel; copy so the image owns its bits.
    return QImage(reinterpret_cast<const uchar*>(image.argb.data()), image.width, image.height, image.width * 4,
                  QImage::Format_ARGB32)
        .copy();
}

}  // namespace

std::optional<base::Bytes> QtIconRenderer::renderPNG(const IconSource& icon, int pixels) {
    if (pixels < 1 || pixels > kMaxPixels) return std::nullopt;
    QImage source;
    if (const auto* name = std::get_if<std::string>(&icon)) {
        if (name->empty()) return std::nullopt;
        const auto text = QString::fromStdString(*name);
        source = name->front() == '/' ? fromFile(text, pixels) : fromTheme(text, pixels);
    } else {
        source = fromPixels(std::get<IconImage>(icon));
    }
    if (source.isNull()) return std::nullopt;

    QImage canvas(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(QRect(0, 0, pixels, pixels), source);
    }
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !canvas.convertToFormat(QImage::Format_RGBA8888).save(&buffer, "PNG")) {
        return std::nullopt;
    }
    return base::Bytes(png.begin(), png.end());
}

}  // namespace orvanta::platform::qt
