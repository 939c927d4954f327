#include "client/session/SeparateCursorState.h"

namespace orvanta::client {

bool SeparateCursorState::isNewer(std::uint16_t a, std::uint16_t b) {
    auto distance = static_cast<std::uint16_t>(a - b);
    return distance >= 1 && distance <= 32767;
}

void SeparateCursorState::configure(std::uint16_t gen) {
    if (current && current->gen == gen) return;
    if (pending && pending->gen == gen) {
        current = pending;
    } else {
        current = Cursor{gen, std::nullopt, false};
    }
    if (pending && !isNewer(pending->gen, gen)) pending.reset();
}

void SeparateCursorState::receive(const protocol::CursorPosition& cursor) {
    if (!cursor.gen || !cursor.visible) return;
    auto apply = [&](Cursor& target) {
        target.visible = *cursor.visible;
        if (cursor.shape) target.shape = cursor.shape;
    };
    if (current) {
        if (current->gen == *cursor.gen) return apply(*current);
        if (!isNewer(*cursor.gen, current->gen)) return;
    }
    if (!pending || pending->gen != *cursor.gen) pending = Cursor{*cursor.gen, std::nullopt, false};
    apply(*pending);
}

}  // namespace orvanta::client
