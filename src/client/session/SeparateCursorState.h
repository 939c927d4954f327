// The host's separately streamed pointer, held against the video generation it belongs to, so that
// picture and pointer switch together when the host starts a new stream generation.
#pragma once

#include <cstdint>
#include <optional>

#include "protocol/ControlMessages.h"

namespace orvanta::client {

struct SeparateCursorState {
    struct Cursor {
        std::uint16_t gen = 0;
        std::optional<protocol::CursorPosition::Shape> shape;
        bool visible = false;
        bool operator==(const Cursor&) const = default;
    };

    std::optional<Cursor> current;  // the cursor of the generation now shown
    std::optional<Cursor> pending;  // a report for a newer generation not configured yet

    // True when `a` comes after `b` in 16-bit serial-number order.
    static bool isNewer(std::uint16_t a, std::uint16_t b);

    // The video switched to generation `gen`.
    void configure(std::uint16_t gen);
    // Applies one cursor report; reports without a generation or a visibility are ignored.
    void receive(const protocol::CursorPosition& cursor);

    bool operator==(const SeparateCursorState&) const = default;
};

}  // namespace orvanta::client
