#include "platform/qt/QtPasteboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace orvanta::platform::qt {

namespace {

constexpr const char* kPngType = "image/png";
constexpr const char* kTiffType = "image/tiff";

QClipboard& clipboard() { return *QGuiApplication::clipboard(); }

}  // namespace

QtPasteboard::QtPasteboard() {
    connection_ = QObject::connect(&clipboard(), &QClipboard::changed, [this](QClipboard::Mode mode) {
        if (mode == QClipboard::Clipboard && !writing_) ++changeCount_;
    });
}

QtPasteboard::~QtPasteboard() { QObject::disconnect(connection_); }

// Linux applications rarely offer TIFF, so PNG is taken as it is and the first picture of any
// other type is converted.
PasteboardContent QtPasteboard::content() {
    const QMimeData* mime = clipboard().mimeData(QClipboard::Clipboard);
    PasteboardContent content;
    if (!mime) return content;
    if (mime->hasText()) content.text = mime->text().toStdString();
    content.hasTiff = mime->hasFormat(kTiffType);
    if (content.text) return content;
    QString type = mime->hasFormat(kPngType) ? QString(kPngType) : QString();
    for (const QString& format : mime->formats()) {
        if (type.isEmpty() && format.startsWith("image/")) type = format;
    }
    if (type.isEmpty()) return content;
    const QByteArray picture = mime->data(type);
    if (!picture.isEmpty()) {
        content.png = images_.pngData(
            base::ByteView(reinterpret_cast<const std::uint8_t*>(picture.constData()), std::size_t(picture.size())));
    }
    return content;
}

template <class Write>
bool QtPasteboard::write(Write&& write) {
    writing_ = true;
    auto* mime = new QMimeData;
    write(*mime);
    clipboard().setMimeData(mime, QClipboard::Clipboard);
    writing_ = false;
    ++changeCount_;
    return clipboard().ownsClipboard() || clipboard().mimeData(QClipboard::Clipboard) != nullptr;
}

bool QtPasteboard::writeText(const std::string& text) {
    return write([&](QMimeData& mime) { mime.setText(QString::fromStdString(text)); });
}

bool QtPasteboard::writePng(const base::Bytes& png) {
    return write([&](QMimeData& mime) {
        mime.setData(kPngType,
                     QByteArray(reinterpret_cast<const char*>(png.data()), static_cast<qsizetype>(png.size())));
    });
}

std::vector<std::string> QtPasteboard::typeNames() const {
    std::vector<std::string> names;
    if (const QMimeData* mime = clipboard().mimeData(QClipboard::Clipboard)) {
        for (const QString& format : mime->formats()) names.push_back(format.toStdString());
    }
    return names;
}

}  // namespace orvanta::platform::qt
