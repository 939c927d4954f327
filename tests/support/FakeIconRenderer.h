// Renders icons as PNG-sized byte strings chosen by the test, counting the renders.
#pragma once

#include <map>
#include <string>

#include "platform/IconRenderer.h"

namespace orvanta::testing {

class FakeIconRenderer final : public platform::IconRenderer {
public:
    // Icon name -> pixels -> size of the "PNG" produced; a missing name or size fails.
    std::map<std::string, std::map<int, std::size_t>> sizes;
    std::size_t windowIconBytes = 100;  // for window pixels
    std::vector<std::pair<std::string, int>> renders;

    std::optional<base::Bytes> renderPNG(const platform::IconSource& icon, int pixels) override {
        const auto* name = std::get_if<std::string>(&icon);
        renders.emplace_back(name ? *name : "<pixels>", pixels);
        if (!name) return base::Bytes(windowIconBytes, std::uint8_t(pixels));
        auto found = sizes.find(*name);
        if (found == sizes.end()) return std::nullopt;
        auto size = found->second.find(pixels);
        if (size == found->second.end()) return std::nullopt;
        return base::Bytes(size->second, std::uint8_t(pixels));
    }
};

}  // namespace orvanta::testing
