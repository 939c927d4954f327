#include "client/ui/RemoteCursor.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QPixmap>

#include "base/Base64.h"
#include "support/QtWidgetsApp.h"
#include "support/XvfbFixture.h"

namespace orvanta::client {
namespace {

using Shape = protocol::CursorPosition::Shape;

std::string encoded(QSize size, const char* format = "PNG") {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(QColor(200, 30, 30, 180));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return base::base64Encode(
        {reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<std::size_t>(bytes.size())});
}

// A PNG whose header is sound and whose image data is cut off.
std::string truncatedPng() {
    auto bytes = *base::base64Decode(encoded({16, 16}));
    bytes.resize(40);
    return base::base64Encode(bytes);
}

class RemoteCursorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ORVANTA_REQUIRE_XVFB();
        testing::qtWidgetsApp();
    }
};

TEST_F(RemoteCursorTest, ChecksEveryLimitBeforeDecoding) {
    const std::string png16 = encoded({16, 16});
    const struct {
        const char* name;
        Shape shape;
        bool accepted;
    } cases[] = {
        {"sound", {png16, 32, 32, 0, 0}, true},
        {"hot spot on the right edge", {png16, 32, 32, 32, 0}, false},
        {"hot spot above", {png16, 32, 32, 0, -1}, false},
        {"width 1024", {png16, 1024, 32, 0, 0}, true},
        {"width 1024.5", {png16, 1024.5, 32, 0, 0}, false},
        {"height 0", {png16, 32, 0, 0, 0}, false},
        {"2048-pixel PNG claiming 32 points", {encoded({2048, 2048}), 32, 32, 0, 0}, false},
        {"1024-pixel PNG", {encoded({1024, 1}), 32, 32, 0, 0}, true},
        {"JPEG", {encoded({16, 16}, "JPEG"), 16, 16, 0, 0}, false},
        {"white space in the Base64", {png16.substr(0, 8) + " " + png16.substr(8), 16, 16, 0, 0}, false},
        {"not Base64", {"@@@@", 16, 16, 0, 0}, false},
        {"over 6 MiB of text", {std::string(RemoteCursor::kMaxBase64Bytes + 4, 'A'), 16, 16, 0, 0}, false},
        {"PNG cut short", {truncatedPng(), 16, 16, 0, 0}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RemoteCursor::image(c.shape).has_value(), c.accepted) << c.name;
        EXPECT_EQ(RemoteCursor::make(c.shape, 1).has_value(), c.accepted) << c.name;
    }
}

TEST_F(RemoteCursorTest, ScalesTheImageAndItsHotSpot) {
    const auto cursor = RemoteCursor::make({encoded({16, 16}), 16, 16, 1, 1}, 2);
    ASSERT_TRUE(cursor);
    EXPECT_EQ(cursor->pixmap().size(), QSize(32, 32));
    EXPECT_EQ(cursor->hotSpot(), QPoint(2, 2));

    // A hot spot just inside the last point stays on the image when rounded.
    const auto edge = RemoteCursor::make({encoded({16, 16}), 16, 16, 15.9, 0}, 1);
    ASSERT_TRUE(edge);
    EXPECT_EQ(edge->hotSpot(), QPoint(15, 0));
}

}  // namespace
}  // namespace orvanta::client
