#include "platform/SyncPasteboard.h"

#include <gtest/gtest.h>

#include "platform/ImageCodec.h"
#include "support/FakePasteboard.h"

namespace orvanta::platform {
namespace {

std::string threeByteCharacters(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += "\xE3\x81\x82";  // あ
    return text;
}

TEST(SyncPasteboardTest, SharesTextBeforePicturesWithinTheLimits) {
    const struct {
        const char* name;
        PasteboardContent content;
        std::string result;
    } cases[] = {
        {"empty", {}, "nil(empty)"},
        {"empty text is shared", {.text = ""}, "text 0"},
        {"text wins over a picture", {.text = "a", .png = base::Bytes(10)}, "text 1"},
        {"1,000,000 bytes", {.text = std::string(1'000'000, 'a')}, "text 1000000"},
        {"1,000,001 bytes", {.text = std::string(1'000'001, 'a')}, "nil(text-too-large)"},
        {"333,334 three-byte characters", {.text = threeByteCharacters(333'334)}, "nil(text-too-large)"},
        {"4 MiB of PNG", {.png = base::Bytes(4'194'304)}, "image 4194304"},
        {"one byte more", {.png = base::Bytes(4'194'305)}, "nil(image-too-large)"},
        {"TIFF that did not convert", {.hasTiff = true}, "nil(tiff-convert-failed)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto read = shareableContent(c.content);
        EXPECT_EQ(read.result, c.result);
        EXPECT_EQ(read.packet.has_value(), c.result.starts_with("text") || c.result.starts_with("image"));
    }
    EXPECT_EQ(shareableContent({.png = base::Bytes{1, 2, 3}}).packet,
              (ClipboardPacket{{"type", "clipboardImage"}, {"data", "AQID"}}));
}

TEST(SyncPasteboardTest, PngHeaderIsCheckedBeforeDecoding) {
    EXPECT_EQ(readPngHeader(testing::pngWithHeader(640, 480)), (PngHeader{640, 480}));
    EXPECT_TRUE(pngHeaderAcceptable(testing::pngWithHeader(8192, 8192)));
    EXPECT_FALSE(pngHeaderAcceptable(testing::pngWithHeader(8192, 8193)));
    EXPECT_FALSE(pngHeaderAcceptable(testing::pngWithHeader(0, 10)));
    auto notIhdr = testing::pngWithHeader(1, 1);
    notIhdr[12] = 'X';
    EXPECT_FALSE(readPngHeader(notIhdr));
    EXPECT_FALSE(readPngHeader(base::Bytes{0x89, 0x50, 0x4E, 0x47}));
}

}  // namespace
}  // namespace orvanta::platform
