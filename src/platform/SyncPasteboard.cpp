#include "platform/SyncPasteboard.h"

#include "base/Base64.h"

namespace orvanta::platform {

namespace {
constexpr std::size_t kMaxTextBytes = 1'000'000;
constexpr std::size_t kMaxPngBytes = 4'194'304;
}  // namespace

PasteboardRead shareableContent(const PasteboardContent& content) {
    if (content.text) {
        const std::size_t bytes = content.text->size();
        if (bytes > kMaxTextBytes) return {std::nullopt, "nil(text-too-large)"};
        return {ClipboardPacket{{"type", "clipboard"}, {"text", *content.text}}, "text " + std::to_string(bytes)};
    }
    if (!content.png) return {std::nullopt, content.hasTiff ? "nil(tiff-convert-failed)" : "nil(empty)"};
    const std::size_t bytes = content.png->size();
    if (bytes > kMaxPngBytes) return {std::nullopt, "nil(image-too-large)"};
    return {ClipboardPacket{{"type", "clipboardImage"}, {"data", base::base64Encode(*content.png)}},
            "image " + std::to_string(bytes)};
}

}  // namespace orvanta::platform
