#include "client/session/SeparateCursorState.h"

#include <gtest/gtest.h>

namespace orvanta::client {
namespace {

using Cursor = SeparateCursorState::Cursor;
using protocol::CursorPosition;

const CursorPosition::Shape kArrow{"iVBO", 16, 16, 1, 1};
const CursorPosition::Shape kHand{"iVBH", 24, 24, 4, 2};

CursorPosition report(std::optional<std::uint16_t> gen, std::optional<bool> visible,
                      std::optional<CursorPosition::Shape> shape = std::nullopt) {
    return {0.5, 0.5, gen, visible, std::move(shape)};
}

TEST(SeparateCursorState, GenerationsCompareInSerialNumberOrder) {
    const std::vector<std::tuple<std::uint16_t, std::uint16_t, bool>> cases = {
        {8, 7, true},      {7, 7, false},    {6, 7, false},     {0, 65535, true},
        {65535, 0, false}, {32767, 0, true}, {32768, 0, false},
    };
    for (const auto& [a, b, newer] : cases) EXPECT_EQ(SeparateCursorState::isNewer(a, b), newer) << a << " " << b;
}

TEST(SeparateCursorState, ConfigureStartsInvisibleOrTakesOverThePendingReport) {
    SeparateCursorState state;
    state.configure(7);
    EXPECT_EQ(state.current, (Cursor{7, std::nullopt, false}));
    state.receive(report(7, true));
    EXPECT_EQ(state.current, (Cursor{7, std::nullopt, true}));

    state.receive(report(8, true, kArrow));
    EXPECT_EQ(state.current->gen, 7);
    EXPECT_EQ(state.pending, (Cursor{8, kArrow, true}));
    state.configure(8);
    EXPECT_EQ(state.current, (Cursor{8, kArrow, true}));
    EXPECT_EQ(state.pending, std::nullopt);

    state.receive(report(8, false));
    EXPECT_EQ(state.current, (Cursor{8, kArrow, false})) << "a report without a shape keeps the image";
    state.configure(8);
    EXPECT_EQ(state.current, (Cursor{8, kArrow, false})) << "configuring the same generation keeps the cursor";
}

TEST(SeparateCursorState, StaleAndIncompleteReportsAreIgnored) {
    SeparateCursorState state;
    state.configure(7);
    auto before = state;
    for (const auto& ignored : {report(6, true, kHand), report(std::nullopt, true), report(7, std::nullopt, kHand)}) {
        state.receive(ignored);
        EXPECT_EQ(state, before);
    }
    state.configure(65535);
    state.receive(report(0, true));
    EXPECT_EQ(state.pending->gen, 0);
    state.configure(0);
    state.receive(report(65535, true, kHand));
    EXPECT_EQ(state.current, (Cursor{0, std::nullopt, true}));
}

TEST(SeparateCursorState, PendingReportsWaitOnlyForANewerGeneration) {
    SeparateCursorState state;
    state.receive(report(9, true, kHand));
    state.configure(8);
    EXPECT_EQ(state.pending, (Cursor{9, kHand, true}));
    state.configure(10);
    EXPECT_EQ(state.pending, std::nullopt);
    EXPECT_EQ(state.current, (Cursor{10, std::nullopt, false}));

    state.receive(report(12, true, kHand));
    state.receive(report(11, true));
    EXPECT_EQ(state.pending, (Cursor{11, std::nullopt, true})) << "a report of another generation replaces it";
}

}  // namespace
}  // namespace orvanta::client
