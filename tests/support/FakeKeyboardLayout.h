// A KeyboardLayout given as a table: (key code, level) to what the key types.
#pragma once

#include <map>
#include <set>
#include <utility>

#include "platform/KeyboardLayout.h"

namespace orvanta::testing {

class FakeKeyboardLayout final : public platform::KeyboardLayout {
public:
    std::vector<std::uint16_t> typingKeyCodes() override {
        std::vector<std::uint16_t> codes;
        for (const auto& [key, typed] : keys) {
            if ((codes.empty() || codes.back() != key.first) && !keypad.contains(key.first)) codes.push_back(key.first);
        }
        return codes;
    }
    std::optional<platform::KeyTranslation> translate(std::uint16_t keyCode, platform::KeyLevel level) override {
        const auto found = keys.find({keyCode, level});
        return found == keys.end() ? std::nullopt : std::optional(found->second);
    }

    void set(std::uint16_t code, platform::KeyLevel level, std::u16string units, bool dead = false) {
        keys[{code, level}] = {std::move(units), dead};
    }

    std::map<std::pair<std::uint16_t, platform::KeyLevel>, platform::KeyTranslation> keys;
    std::set<std::uint16_t> keypad;
};

}  // namespace orvanta::testing
