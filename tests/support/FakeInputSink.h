// An InputSink that records every event it is given and behaves like a private event source: the
// modifier flags it reports are those of the modifier keys its own events hold down. Tests can
// take trust or the event source away, make posts fail, place displays and the pointer, and
// report pointer moves or not.
#pragma once

#include <map>
#include <set>
#include <vector>

#include "platform/InputSink.h"

namespace orvanta::testing {

class FakeInputSink final : public platform::InputSink {
public:
    bool trusted() override { return isTrusted; }
    bool hasEventSource() override { return eventSource; }
    platform::EventFlags sourceFlags() override {
        platform::EventFlags flags = 0;
        for (const auto& [left, right, flag] : kModifiers) {
            if (down.contains(left) || down.contains(right)) flags |= flag;
        }
        return flags;
    }
    std::optional<platform::DisplayPoint> cursorLocation() override {
        ++cursorReads;
        return cursor;
    }
    std::optional<std::uint64_t> pointerMoves() override { return moves; }
    std::optional<platform::DisplayRect> displayBounds(std::optional<std::uint32_t> displayID) override {
        const auto found = displays.find(displayID.value_or(mainDisplay));
        return found == displays.end() ? std::nullopt : std::optional(found->second);
    }
    std::expected<void, platform::InputSinkError> post(const platform::InputEvent& event) override {
        if (failPosts > 0) {
            --failPosts;
            return std::unexpected(platform::InputSinkError{platform::InputSinkError::Kind::unavailable, "fake"});
        }
        events.push_back(event);
        if (const auto* key = std::get_if<platform::KeyEvent>(&event); key && key->text.empty()) {
            if (key->down) {
                down.insert(key->keyCode);
            } else {
                down.erase(key->keyCode);
            }
        }
        if (const auto* mouse = std::get_if<platform::MouseEvent>(&event)) {
            cursor = mouse->location;
            if (moves) ++*moves;
        }
        return {};
    }

    template <class T>
    std::vector<T> eventsOf() const {
        std::vector<T> out;
        for (const auto& event : events) {
            if (const auto* e = std::get_if<T>(&event)) out.push_back(*e);
        }
        return out;
    }

    bool isTrusted = true;
    bool eventSource = true;
    int failPosts = 0;  // the next this many posts fail
    std::uint32_t mainDisplay = 1;
    std::map<std::uint32_t, platform::DisplayRect> displays{{1, {0, 0, 1920, 1080}}};
    std::optional<platform::DisplayPoint> cursor;
    int cursorReads = 0;
    std::optional<std::uint64_t> moves;  // reported pointer moves; nothing: not reported
    std::vector<platform::InputEvent> events;
    std::set<std::uint16_t> down;  // key codes our events hold down

private:
    struct Modifier {
        std::uint16_t left;
        std::uint16_t right;
        platform::EventFlags flag;
    };
    static constexpr Modifier kModifiers[] = {{55, 54, platform::kFlagCommand},
                                              {56, 60, platform::kFlagShift},
                                              {58, 61, platform::kFlagOption},
                                              {59, 62, platform::kFlagControl}};
};

}  // namespace orvanta::testing
