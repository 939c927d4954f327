#include "platform/x11/FramePacer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace orvanta::platform::x11 {
namespace {

constexpr std::uint64_t kInterval = 16'667;  // 60 a second
constexpr std::uint64_t kStart = 5'000'000;

struct Outcome {
    std::size_t grabs = 0;
    std::uint64_t worstWait = 0;    // from a change's arrival to the grab that took it
    std::uint64_t settledWait = 0;  // the same over the second half of the changes
    std::uint64_t span = 0;         // from the first grab to the last
};

struct Content {
    std::uint64_t period;
    std::uint64_t early = 0;  // every other change comes this much early
    std::uint64_t late = 0;   // the tenth change comes this much late
};

// The capture loop on virtual time: a change arriving when the pacer allows is grabbed at once;
// otherwise a timer wakes the loop when it allows, a millisecond late (a timer is never exact),
// and changes arriving meanwhile are taken by that one grab.
Outcome run(const Content& content, int changes) {
    constexpr std::uint64_t kLateness = 1'000;
    FramePacer pacer(kInterval);
    Outcome outcome;
    std::optional<std::uint64_t> first;
    std::uint64_t last = 0;
    std::optional<std::pair<std::uint64_t, int>> waiting;  // since when, and which change
    std::uint64_t timer = std::numeric_limits<std::uint64_t>::max();
    auto grab = [&](std::uint64_t at, std::uint64_t since, int change) {
        pacer.grabbed(at);
        ++outcome.grabs;
        outcome.worstWait = std::max(outcome.worstWait, at - since);
        if (change >= changes / 2) outcome.settledWait = std::max(outcome.settledWait, at - since);
        if (!first) first = at;
        last = at;
    };
    for (int change = 0; change <= changes; ++change) {
        const std::uint64_t arrival = kStart + static_cast<std::uint64_t>(change) * content.period -
                                      (change % 2 ? content.early : 0) + (change == 10 ? content.late : 0);
        if (waiting && timer <= arrival) {
            grab(timer, waiting->first, waiting->second);
            waiting.reset();
        }
        if (change == changes || waiting) continue;
        if (pacer.allows(arrival)) {
            grab(arrival, arrival, change);
        } else {
            waiting = {arrival, change};
            timer = arrival + pacer.wait(arrival) + kLateness;
        }
    }
    outcome.span = last - first.value_or(last);
    return outcome;
}

TEST(FramePacerTest, HoldsTheMaximumRateAndTakesChangesAsTheyCome) {
    struct Case {
        const char* what;
        Content content;
        std::size_t minGrabs;
        std::uint64_t worstWait;
        std::uint64_t settledWait;
    };
    const Case cases[] = {
        {"60 a second", {16'667}, 600, 0, 0},
        // Changes a little early are taken at once: the grabs stay on the content's beat instead of
        // drifting behind it.
        {"60 a second, every other change 2 ms early", {16'667, 2'000}, 600, 0, 0},
        // After one late change the grabs catch up with the content within a few changes.
        {"60 a second, one change 10 ms late", {16'667, 0, 10'000}, 600, 10'000, 0},
        // Slower content is grabbed the moment it changes.
        {"24 a second", {41'667}, 600, 0, 0},
        // Faster content is grabbed at the maximum rate and never waits a whole interval.
        {"100 a second", {10'000}, 359, kInterval + 1'000, kInterval + 1'000},
    };
    for (const Case& c : cases) {
        const Outcome outcome = run(c.content, 600);
        EXPECT_GE(outcome.grabs, c.minGrabs) << c.what;
        // One grab ahead of the schedule at most: the rate stays the maximum on average.
        EXPECT_LE(outcome.grabs, outcome.span / kInterval + 2) << c.what;
        EXPECT_LE(outcome.worstWait, c.worstWait) << c.what;
        EXPECT_LE(outcome.settledWait, c.settledWait) << c.what;
    }
}

TEST(FramePacerTest, WaitsToTheMicrosecondAndStartsAfreshAfterAStillSpell) {
    FramePacer pacer(kInterval);
    EXPECT_TRUE(pacer.allows(kStart)) << "the first picture at once";
    pacer.grabbed(kStart);
    EXPECT_EQ(pacer.wait(kStart + 1), kInterval - pacer.tolerance() - 1);
    // Taken as early as allowed time after time, the grabs fall back to one an interval: sixty of
    // them take a second less one interval at least.
    std::uint64_t now = kStart;
    for (int grab = 1; grab < 60; ++grab) {
        now += pacer.wait(now);
        pacer.grabbed(now);
    }
    EXPECT_GE(now - kStart, 58 * kInterval);

    const std::uint64_t still = now + 10 * kInterval + 123;  // a change after a still spell
    ASSERT_TRUE(pacer.allows(still));
    pacer.grabbed(still);
    EXPECT_EQ(pacer.wait(still), kInterval - pacer.tolerance());
}

}  // namespace
}  // namespace orvanta::platform::x11
