// The pasteboard as clipboard sync sees it: a change counter, the shareable content as a packet
// (plain text before pictures, within the size limits) with a short result word, and writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "base/Json.h"

namespace orvanta::platform {

// A packet is one JSON object; the pasteboard fills in "type" and the body ("text" or "data").
using ClipboardPacket = base::Json;

struct PasteboardRead {
    std::optional<ClipboardPacket> packet;
    // "text <bytes>", "image <bytes>", "nil(empty)", "nil(text-too-large)", "nil(image-too-large)"
    // or "nil(tiff-convert-failed)".
    std::string result;
    bool operator==(const PasteboardRead&) const = default;
};

// What the pasteboard holds, as the sharing rules need it.
struct PasteboardContent {
    std::optional<std::string> text{};  // the plain text, when there is one
    // Without text, the picture as PNG: stored PNG as it is, any other picture format converted.
    std::optional<base::Bytes> png{};
    bool hasTiff = false;  // a TIFF picture is offered (whether or not it converted)
};

// The sharing rules: text wins over a picture; text up to 1,000,000 UTF-8 bytes, pictures up to
// 4,194,304 bytes of PNG, sent as padded standard Base64.
PasteboardRead shareableContent(const PasteboardContent& content);

class SyncPasteboard {
public:
    virtual ~SyncPasteboard() = default;

    // Moves once per change of the content, this pasteboard's own writes included.
    virtual std::int64_t changeCount() const = 0;
    virtual PasteboardContent content() = 0;
    PasteboardRead readForSync() { return shareableContent(content()); }
    std::optional<ClipboardPacket> readPacket() { return readForSync().packet; }
    // Each replaces the whole content; false when the pasteboard refused it.
    virtual bool writeText(const std::string& text) = 0;
    virtual bool writePng(const base::Bytes& png) = 0;
    // The content's type names, for diagnostics; empty for pasteboards other than the system's.
    virtual std::vector<std::string> typeNames() const { return {}; }
};

}  // namespace orvanta::platform
