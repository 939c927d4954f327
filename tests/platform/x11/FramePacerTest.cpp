#include "platform/x11/FramePacer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace orvanta::platform::x11 {
namespace {

constexpr std::uint64_t kInterval = 16'667;  // 60 a second
constexpr std::uint64_t kStart = 5'000'000;

struct Outcome {
    std::size_t grabs = 0;
    std::uint64_t worstWait = 0;  // from a change's arrival to the grab that took it
    std::uint64_t span = 0;       // from the first grab to the last
};

// The capture loop on virtual time: a change arriving when the pacer allows is grabbed at once;
// otherwise a timer wakes the loop when it allows, `lateness` after (a timer is never exact), and
// changes arriving meanwhile are taken by that one grab. Every other change comes `early`.
Outcome run(std::uint64_t period, std::uint64_t lateness, std::uint64_t early, int changes) {
    FramePacer pacer(kInterval);
    Outcome outcome;
    std::optional<std::uint64_t> first;
    std::uint64_t last = 0;
    std::optional<std::uint64_t> waitingSince;
    std::uint64_t timer = std::numeric_limits<std::uint64_t>::max();
    auto grab = [&](std::uint64_t at, std::uint64_t since) {
        pacer.grabbed(at);
        ++outcome.grabs;
        outcome.worstWait = std::max(outcome.worstWait, at - since);
        if (!first) first = at;
        last = at;
    };
    for (int change = 0; change <= changes; ++change) {
        const std::uint64_t arrival = kStart + static_cast<std::uint64_t>(change) * period - (change % 2 ? early : 0);
        if (waitingSince && timer <= arrival) {
            grab(timer, *waitingSince);
            waitingSince.reset();
        }
        if (change == changes || waitingSince) continue;
        if (pacer.allows(arrival)) {
            grab(arrival, arrival);
        } else {
            waitingSince = arrival;
            timer = arrival + pacer.wait(arrival) + lateness;
        }
    }
    outcome.span = last - first.value_or(last);
    return outcome;
}

TEST(FramePacerTest, HoldsTheMaximumRateAndTakesChangesPromptly) {
    struct Case {
        const char* what;
        std::uint64_t period;
        std::uint64_t lateness;
        std::uint64_t early;
        std::size_t minGrabs;
        std::uint64_t worstWait;
    };
    const Case cases[] = {
        // Content at the maximum rate: every change is grabbed, none waits beyond the timer's lateness.
        {"60 a second", 16'667, 1'000, 0, 600, 0},
        // Changes that come early wait for the grid, not for an interval after the last grab: the
        // grabs keep their place on the content's beat instead of drifting behind it.
        {"60 a second, every other change 2 ms early", 16'667, 1'000, 2'000, 600, 3'000},
        // Slower content is grabbed the moment it changes.
        {"24 a second", 41'667, 1'000, 0, 600, 0},
        // Faster content is grabbed at the maximum rate and never waits a whole interval.
        {"100 a second", 10'000, 1'000, 0, 359, kInterval + 1'000},
    };
    for (const Case& c : cases) {
        const Outcome outcome = run(c.period, c.lateness, c.early, 600);
        EXPECT_GE(outcome.grabs, c.minGrabs) << c.what;
        EXPECT_LE(outcome.grabs, outcome.span / kInterval + 1) << c.what << ": never above the maximum rate";
        EXPECT_LE(outcome.worstWait, c.worstWait) << c.what;
    }
}

TEST(FramePacerTest, WaitsToTheMicrosecondOnAGridThatRestartsAfterAStillSpell) {
    FramePacer pacer(kInterval);
    EXPECT_TRUE(pacer.allows(kStart)) << "the first picture at once";
    pacer.grabbed(kStart);
    EXPECT_EQ(pacer.wait(kStart + 1), kInterval - 1);
    pacer.grabbed(kStart + kInterval + 900);  // woken 0.9 ms late: the grid stays
    EXPECT_EQ(pacer.wait(kStart + kInterval + 1'000), kInterval - 1'000);
    EXPECT_FALSE(pacer.allows(kStart + 2 * kInterval - 1));
    EXPECT_TRUE(pacer.allows(kStart + 2 * kInterval));

    const std::uint64_t still = kStart + 10 * kInterval + 123;  // a change after a still spell
    ASSERT_TRUE(pacer.allows(still));
    pacer.grabbed(still);
    EXPECT_EQ(pacer.wait(still), kInterval) << "the grid starts again from this grab";
}

}  // namespace
}  // namespace orvanta::platform::x11
