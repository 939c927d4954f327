#include "host/media/AspectDisplayApplication.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ManualExecutor.h"

namespace orvanta::host {
namespace {

using namespace std::chrono_literals;
using Key = AspectDisplayApplication::WindowKey;

class AspectDisplayApplicationTest : public ::testing::Test {
protected:
    void advance(std::chrono::milliseconds d) { clock_.advance(d); }
    std::vector<std::string> takeLines() { return std::exchange(lines_, {}); }

    testing::ManualClock clock_{50'000'000};
    std::vector<std::string> lines_;
    AspectDisplayApplication app_{9, [this] { return static_cast<double>(clock_.uptimeMicros()) / 1e6; },
                                  [this](std::string_view line) { lines_.emplace_back(line); }};
    const Key window_{41, 300};
    const AspectMoveFailure ordinary_{"AXError -25200", false};
    const AspectMoveFailure busy_{"cannot complete", true};
};

TEST_F(AspectDisplayApplicationTest, OrdinaryFailuresGiveUpAfterTheThirdAndLogOnlyTheFirst) {
    EXPECT_TRUE(app_.canMove(window_));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(app_.canMove(window_)) << i;
        app_.recordMove(window_, ordinary_);
    }
    EXPECT_FALSE(app_.canMove(window_));
    advance(3600s);
    EXPECT_FALSE(app_.canMove(window_));
    EXPECT_EQ(takeLines(), std::vector<std::string>{"display aspect fit: move failed display=9 window=41 pid=300 "
                                                    "attempt=1 reason=AXError -25200"});
    EXPECT_TRUE(app_.canMove({41, 301}));  // the key is window and process together
}

TEST_F(AspectDisplayApplicationTest, CannotCompleteFailuresWaitFourSecondsEachTime) {
    for (int i = 0; i < 5; ++i) {
        app_.recordMove(window_, busy_);
        EXPECT_FALSE(app_.canMove(window_));
        advance(3999ms);
        EXPECT_FALSE(app_.canMove(window_));
        advance(1ms);
        EXPECT_TRUE(app_.canMove(window_)) << i;
    }
    // None of them counted: two ordinary failures later the window is still movable.
    app_.recordMove(window_, ordinary_);
    app_.recordMove(window_, ordinary_);
    EXPECT_TRUE(app_.canMove(window_));
    EXPECT_EQ(takeLines().size(), 1u);
}

TEST_F(AspectDisplayApplicationTest, RecoveriesLogTheRetryCount) {
    app_.recordMove(window_, ordinary_);
    app_.recordMove(window_, busy_);
    takeLines();
    app_.recordMove(window_, std::nullopt);
    EXPECT_EQ(takeLines(),
              std::vector<std::string>{"display aspect fit: move recovered display=9 window=41 pid=300 retry=2"});
    EXPECT_TRUE(app_.canMove(window_));

    app_.recordMove(window_, ordinary_);
    app_.recordMove(window_, ordinary_);
    takeLines();
    app_.recordArrivalOnSweep(window_);
    EXPECT_EQ(takeLines(), std::vector<std::string>{"display aspect fit: move recovered display=9 window=41 pid=300 "
                                                    "retry=1 observed=WindowServer"});
    // A fresh record starts again at attempt 1.
    app_.recordMove(window_, ordinary_);
    EXPECT_EQ(takeLines().size(), 1u);

    // Windows without a record: nothing to say.
    app_.recordMove({1, 2}, std::nullopt);
    app_.recordArrivalOnSweep({3, 4});
    EXPECT_TRUE(takeLines().empty());
}

TEST_F(AspectDisplayApplicationTest, ThreeMissingListsInARowStopTheMoves) {
    app_.recordWindowList(false);
    app_.recordWindowList(false);
    app_.recordWindowList(true);
    app_.recordWindowList(false);
    app_.recordWindowList(false);
    app_.recordWindowList(false);
    const std::string reason = " reason=WindowServer list unavailable";
    EXPECT_EQ(takeLines(), (std::vector<std::string>{
                               "display aspect fit: move failed display=9 attempt=1/3" + reason,
                               "display aspect fit: move failed display=9 attempt=2/3" + reason,
                               "display aspect fit: move failed display=9 attempt=1/3" + reason,
                               "display aspect fit: move failed display=9 attempt=2/3" + reason,
                               "display aspect fit: move stopped display=9 attempt=3/3" + reason,
                           }));
    int batches = 0;
    app_.sweep([] { return true; }, [] {}, true, [&](auto) { ++batches; });
    EXPECT_EQ(batches, 0);
}

TEST_F(AspectDisplayApplicationTest, SweepPromotesSwitchesCaptureOnceAndRunsOneBatchAtATime) {
    bool promoted = false;
    int switches = 0;
    std::vector<std::function<void()>> batches;
    const auto sweep = [&](bool captureActive) {
        app_.sweep([&] { return promoted; }, [&] { ++switches; }, captureActive,
                   [&](std::function<void()> done) { batches.push_back(std::move(done)); });
    };

    sweep(true);  // not promoted yet: nothing else happens
    EXPECT_EQ(switches, 0);
    EXPECT_FALSE(app_.captureSelected);

    promoted = true;
    sweep(false);
    EXPECT_EQ(switches, 1);
    EXPECT_TRUE(app_.captureSelected);
    EXPECT_TRUE(batches.empty());  // capture does not show the display yet
    EXPECT_EQ(takeLines(), std::vector<std::string>{"display aspect fit: selecting virtual capture id=9"});

    sweep(true);
    sweep(true);  // the first batch still runs
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_TRUE(app_.moving);
    batches[0]();
    EXPECT_FALSE(app_.moving);
    sweep(true);
    EXPECT_EQ(batches.size(), 2u);
    EXPECT_EQ(switches, 1);
    EXPECT_TRUE(takeLines().empty());
}

TEST_F(AspectDisplayApplicationTest, ABatchEndingAfterTheApplicationIsGoneIsHarmless) {
    std::function<void()> done;
    {
        AspectDisplayApplication app(
            3, [] { return 0.0; }, [](std::string_view) {});
        app.sweep([] { return true; }, [] {}, true, [&](std::function<void()> d) { done = std::move(d); });
    }
    done();
}

}  // namespace
}  // namespace orvanta::host
