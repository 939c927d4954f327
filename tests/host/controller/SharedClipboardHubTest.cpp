#include "host/controller/SharedClipboardHub.h"

#include <gtest/gtest.h>

#include "clipboard/ClipboardSync.h"
#include "support/FakePasteboard.h"
#include "support/ManualExecutor.h"
#include "support/MemorySettings.h"

namespace orvanta::testing {
namespace {

// A PNG signature and IHDR chunk declaring the given size; no pixel data follows.
base::Bytes pngDeclaring(std::uint32_t width, std::uint32_t height) {
    base::Bytes png{0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (std::uint32_t value : {width, height}) {
        for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    png.insert(png.end(), {8, 0, 0, 0, 0, 0, 0, 0, 0});
    return png;
}

TEST(SharedClipboardHubTest, WritesOnlyImagesOfReasonableSizeAndReadsNoHubAsOff) {
    FakePasteboard board;
    FakeImageCodec images;
    host::SharedClipboardHub hub(board, images);
    EXPECT_FALSE(hub.enabled());
    hub.sessionApplied();  // no hub installed: nothing to tell

    EXPECT_EQ(hub.writePng(pngDeclaring(100'000, 100'000)), std::nullopt);
    EXPECT_EQ(hub.writePng(base::Bytes{'n', 'o', 't'}), std::nullopt);
    EXPECT_EQ(board.writes, 0);
    EXPECT_EQ(hub.writePng(pngDeclaring(16, 16)), true);
    board.refusesWrites = true;
    EXPECT_EQ(hub.writePng(pngDeclaring(16, 16)), false);
    EXPECT_FALSE(hub.writeText("x"));
}

// The capability probe's answer: the process-wide hub's setting once one is installed.
TEST(SharedClipboardHubTest, ReadsTheInstalledHubsSetting) {
    ManualExecutor main;
    MemorySettings settings;
    FakePasteboard board;
    FakeImageCodec images;
    host::SharedClipboardHub view(board, images);
    clipboard::ClipboardSync hub(main, settings, board, images, [] { return std::string("origin"); });
    clipboard::ClipboardSync::setShared(&hub);
    hub.setEnabled(true);
    const bool on = view.enabled();
    hub.setEnabled(false);
    const bool off = view.enabled();
    clipboard::ClipboardSync::setShared(nullptr);
    EXPECT_TRUE(on);
    EXPECT_FALSE(off);
}

}  // namespace
}  // namespace orvanta::testing
