#include "platform/qt/QtPasteboard.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QClipboard>
#include <QImage>
#include <QMimeData>

#include "base/Base64.h"
#include "support/FakePasteboard.h"
#include "support/QtGuiApp.h"

namespace orvanta::platform::qt {
namespace {

base::Bytes encoded(const QImage& image, const char* format) {
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return base::Bytes(out.begin(), out.end());
}

QImage testImage() {
    QImage image(3, 2, QImage::Format_RGB32);
    image.fill(Qt::red);
    image.setPixel(1, 1, qRgb(0, 0, 255));
    return image;
}

TEST(QtPasteboardTest, WritesAndReadsBackTextAndPngByteForByte) {
    testing::qtGuiApp();
    QtPasteboard board;
    const std::int64_t start = board.changeCount();

    ASSERT_TRUE(board.writeText("こんにちは / hello"));
    EXPECT_EQ(board.changeCount(), start + 1);
    EXPECT_EQ(board.readForSync().packet, (ClipboardPacket{{"type", "clipboard"}, {"text", "こんにちは / hello"}}));

    const auto png = encoded(testImage(), "PNG");
    ASSERT_TRUE(board.writePng(png));
    EXPECT_EQ(board.changeCount(), start + 2);
    const auto read = board.readForSync();
    EXPECT_EQ(read.result, "image " + std::to_string(png.size()));
    EXPECT_EQ(read.packet, (ClipboardPacket{{"type", "clipboardImage"}, {"data", base::base64Encode(png)}}));
}

TEST(QtPasteboardTest, CountsAnotherApplicationsChangeOnce) {
    testing::qtGuiApp();
    QtPasteboard board;
    const std::int64_t start = board.changeCount();
    QGuiApplication::clipboard()->setText("from elsewhere");
    EXPECT_EQ(board.changeCount(), start + 1);
    EXPECT_EQ(board.readForSync().result, "text 14");
}

TEST(QtPasteboardTest, ConvertsTiffAndNamesAFailedConversion) {
    testing::qtGuiApp();
    QtPasteboard board;
    auto* mime = new QMimeData;
    mime->setData("image/tiff", QByteArray("not a tiff"));
    QGuiApplication::clipboard()->setMimeData(mime);
    EXPECT_EQ(board.readForSync().result, "nil(tiff-convert-failed)");

    const auto tiff = encoded(testImage(), "TIFF");
    mime = new QMimeData;
    mime->setData("image/tiff", QByteArray(reinterpret_cast<const char*>(tiff.data()), qsizetype(tiff.size())));
    QGuiApplication::clipboard()->setMimeData(mime);
    const auto read = board.readForSync();
    ASSERT_TRUE(read.packet);
    const auto png = base::base64Decode(read.packet->at("data").get<std::string>());
    ASSERT_TRUE(png);
    EXPECT_EQ(QImage::fromData(QByteArray(reinterpret_cast<const char*>(png->data()), qsizetype(png->size())), "PNG")
                  .convertToFormat(QImage::Format_RGB32),
              testImage());
}

// Linux applications rarely offer TIFF: any picture type converts, and text wins over pictures.
TEST(QtPasteboardTest, ConvertsAnyOfferedPictureAndKeepsPngAsItIs) {
    testing::qtGuiApp();
    QtPasteboard board;
    const auto offer = [](std::initializer_list<std::pair<const char*, base::Bytes>> items) {
        auto* mime = new QMimeData;
        for (const auto& [type, bytes] : items)
            mime->setData(type, QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())));
        QGuiApplication::clipboard()->setMimeData(mime);
    };
    const auto png = encoded(testImage(), "PNG");
    offer({{"image/bmp", encoded(testImage(), "BMP")}});
    const auto converted = board.content().png;
    ASSERT_TRUE(converted);
    EXPECT_TRUE(QtImageCodec().isDecodablePng(*converted));

    offer({{"image/bmp", encoded(testImage(), "BMP")}, {"image/png", png}});
    EXPECT_EQ(board.content().png, png);

    offer({{"text/plain", base::toBytes("words")}, {"image/png", png}});
    EXPECT_EQ(board.content().text, "words");
    EXPECT_EQ(board.content().png, std::nullopt);

    offer({{"application/octet-stream", png}});
    EXPECT_EQ(board.readForSync().result, "nil(empty)");
}

TEST(QtImageCodecTest, DecodesOnlyPngsWithSaneHeaders) {
    testing::qtGuiApp();
    QtImageCodec codec;
    const auto png = encoded(testImage(), "PNG");
    EXPECT_TRUE(codec.isDecodablePng(png));
    EXPECT_FALSE(codec.isDecodablePng(testing::pngWithHeader(100'000, 100'000, 200)));
    auto truncated = png;
    truncated.resize(40);
    EXPECT_FALSE(codec.isDecodablePng(truncated));
    EXPECT_FALSE(codec.isDecodablePng(encoded(testImage(), "BMP")));

    EXPECT_EQ(codec.pngData(png), png);
    const auto converted = codec.pngData(encoded(testImage(), "BMP"));
    ASSERT_TRUE(converted);
    EXPECT_TRUE(codec.isDecodablePng(*converted));
    EXPECT_FALSE(codec.pngData(base::toBytes("plain words")));
}

}  // namespace
}  // namespace orvanta::platform::qt
