// An in-memory pasteboard for clipboard tests: holds one text or one PNG, moves its change count
// once per change, can be told to refuse writes, and a fake image codec that takes any PNG whose
// header is acceptable.
#pragma once

#include <optional>
#include <string>

#include "platform/ImageCodec.h"
#include "platform/SyncPasteboard.h"

namespace orvanta::testing {

class FakePasteboard final : public platform::SyncPasteboard {
public:
    std::int64_t changeCount() const override { return changeCount_; }
    platform::PasteboardContent content() override { return {.text = text, .png = text ? std::nullopt : png}; }
    bool writeText(const std::string& value) override { return store(value, std::nullopt); }
    bool writePng(const base::Bytes& value) override { return store(std::nullopt, value); }

    // A change made by the user in another application.
    void userCopies(std::optional<std::string> newText, std::optional<base::Bytes> newPng = std::nullopt) {
        text = std::move(newText);
        png = std::move(newPng);
        ++changeCount_;
    }

    std::optional<std::string> text;
    std::optional<base::Bytes> png;
    bool refusesWrites = false;
    int writes = 0;

private:
    bool store(std::optional<std::string> newText, std::optional<base::Bytes> newPng) {
        ++writes;
        if (refusesWrites) return false;
        userCopies(std::move(newText), std::move(newPng));
        return true;
    }

    std::int64_t changeCount_ = 1;
};

class FakeImageCodec final : public platform::ImageCodec {
public:
    bool isDecodablePng(base::ByteView png) const override { return platform::pngHeaderAcceptable(png); }
    std::optional<base::Bytes> pngData(base::ByteView picture) const override {
        if (!platform::readPngHeader(picture)) return std::nullopt;
        return base::Bytes(picture.begin(), picture.end());
    }
};

// The smallest PNG header a decoder would look at: signature and an IHDR of the given size.
inline base::Bytes pngWithHeader(std::uint32_t width, std::uint32_t height, std::size_t totalBytes = 33) {
    base::Bytes png{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (const std::uint32_t v : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<std::uint8_t>(v >> shift));
    png.resize(std::max(totalBytes, png.size()), 0);
    return png;
}

}  // namespace orvanta::testing
