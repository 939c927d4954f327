#include "host/media/Blackout.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/FakeBlackoutCovers.h"
#include "support/ManualExecutor.h"

namespace orvanta::host {
namespace {

using platform::CoverScreen;
using platform::DisplayBounds;

TEST(BlackoutStateTest, CoversAreWantedOnlyWhenEnabledUnlockedAndInASession) {
    using enum BlackoutSessionPhase;
    struct Case {
        BlackoutState state;
        bool wanted;
    };
    for (const auto& c : std::vector<Case>{{{true, connected, false}, true},
                                           {{true, waitingReturn, false}, true},
                                           {{true, none, false}, false},
                                           {{false, connected, false}, false},
                                           {{true, connected, true}, false}}) {
        EXPECT_EQ(c.state.coversWanted(), c.wanted);
    }
}

class BlackoutOverlayTest : public ::testing::Test {
protected:
    BlackoutOverlayTest() {
        covers_.screenList = {mainScreen_, sideScreen_, {77, {3840, 0, 1280, 720}, true}};
        overlay_->beforeReveal = [this](const BlackoutOverlay::CoverIDs& ids, std::function<void()> done) {
            hookCalls_.push_back(ids);
            pending_.push_back(std::move(done));
        };
        overlay_->onRevealed = [this] { ++revealedCalls_; };
    }
    std::vector<std::string> takeLines() { return std::exchange(lines_, {}); }
    BlackoutOverlay::CoverIDs coverIDs() const {
        BlackoutOverlay::CoverIDs ids;
        for (const auto& [id, cover] : covers_.covers) ids.insert(id);
        return ids;
    }
    void coverAndReveal() {
        overlay_->request(true);
        main_.runUntilIdle();
        pending_.back()();
        main_.runUntilIdle();
        takeLines();
    }

    const CoverScreen mainScreen_{1, {0, 0, 1920, 1080}, false};
    const CoverScreen sideScreen_{2, {1920, 0, 1920, 1200}, false};
    testing::ManualExecutor main_;
    testing::FakeBlackoutCovers covers_;
    std::vector<std::string> lines_;
    std::shared_ptr<BlackoutOverlay> overlay_ =
        BlackoutOverlay::create(main_, covers_, [this](std::string_view line) { lines_.emplace_back(line); });
    std::vector<BlackoutOverlay::CoverIDs> hookCalls_;
    std::vector<std::function<void()>> pending_;
    int revealedCalls_ = 0;
};

TEST_F(BlackoutOverlayTest, CoversStayInvisibleUntilCaptureExcludesThem) {
    overlay_->request(true);
    EXPECT_EQ(covers_.created, 0);  // applied on the main executor
    main_.runUntilIdle();

    // One cover per physical screen, none on the host's own virtual display.
    ASSERT_EQ(covers_.covers.size(), 2u);
    std::vector<DisplayBounds> frames;
    for (const auto& [id, cover] : covers_.covers) frames.push_back(cover.frame);
    EXPECT_EQ(frames, (std::vector<DisplayBounds>{mainScreen_.frame, sideScreen_.frame}));
    EXPECT_EQ(overlay_->currentIDs(), coverIDs());
    ASSERT_EQ(hookCalls_, std::vector<BlackoutOverlay::CoverIDs>{coverIDs()});
    EXPECT_EQ(covers_.revealedCount(), 0u);

    // The hook may complete on any thread; the covers turn black on the main executor.
    std::thread([&] { pending_[0](); }).join();
    EXPECT_EQ(covers_.revealedCount(), 0u);
    main_.runUntilIdle();
    EXPECT_EQ(covers_.revealedCount(), 2u);
    EXPECT_EQ(revealedCalls_, 1);
    EXPECT_EQ(takeLines(),
              (std::vector<std::string>{"blackout: cover", "blackout: revealed 2 window(s) on 2 display(s)"}));
}

TEST_F(BlackoutOverlayTest, RequestsApplyTheLatestValueAndRepeatsDoNothing) {
    overlay_->request(true);
    overlay_->request(false);
    main_.runUntilIdle();
    EXPECT_EQ(covers_.created, 0);
    EXPECT_TRUE(takeLines().empty());

    overlay_->request(false);
    main_.runUntilIdle();
    EXPECT_TRUE(takeLines().empty());

    coverAndReveal();
    overlay_->request(true);
    main_.runUntilIdle();
    EXPECT_TRUE(takeLines().empty());
    EXPECT_EQ(covers_.created, 2);
    EXPECT_EQ(hookCalls_.size(), 1u);
}

TEST_F(BlackoutOverlayTest, AScreenPluggedInGetsOneNewCoverRevealedAlone) {
    coverAndReveal();
    covers_.setScreens({mainScreen_, sideScreen_, {3, {3840, 0, 800, 600}, false}});
    main_.runUntilIdle();
    ASSERT_EQ(covers_.covers.size(), 3u);
    EXPECT_EQ(covers_.revealedCount(), 2u);
    ASSERT_EQ(hookCalls_.size(), 2u);
    EXPECT_EQ(hookCalls_[1], coverIDs());  // the full set, not only the new cover
    EXPECT_EQ(overlay_->currentIDs(), coverIDs());

    pending_[1]();
    main_.runUntilIdle();
    EXPECT_EQ(covers_.revealedCount(), 3u);
    EXPECT_EQ(takeLines(), std::vector<std::string>{"blackout: revealed 1 window(s) on 3 display(s)"});
}

TEST_F(BlackoutOverlayTest, ScreensThatGoOrMoveTakeTheirCoversAlong) {
    coverAndReveal();
    const DisplayBounds moved{0, 0, 2560, 1440};
    covers_.setScreens({{1, moved, false}});
    main_.runUntilIdle();
    ASSERT_EQ(covers_.covers.size(), 1u);
    EXPECT_EQ(covers_.covers.begin()->second.frame, moved);
    EXPECT_EQ(overlay_->currentIDs(), coverIDs());
    EXPECT_EQ(hookCalls_.size(), 1u);  // no new cover, no new reveal
}

TEST_F(BlackoutOverlayTest, UncoveringBeforeTheHookCompletesLeavesNothingVisible) {
    overlay_->request(true);
    main_.runUntilIdle();
    overlay_->request(false);
    main_.runUntilIdle();
    EXPECT_TRUE(covers_.covers.empty());
    EXPECT_TRUE(overlay_->currentIDs().empty());

    // Even when covers are wanted again, the first pass's late completion reveals nothing.
    overlay_->request(true);
    main_.runUntilIdle();
    pending_[0]();
    main_.runUntilIdle();
    EXPECT_EQ(covers_.revealedCount(), 0u);
    EXPECT_EQ(revealedCalls_, 0);
    EXPECT_EQ(takeLines(), (std::vector<std::string>{"blackout: cover", "blackout: uncover", "blackout: cover"}));
}

TEST_F(BlackoutOverlayTest, TheNewestRevealAlsoTurnsCoversOfASupersededPassBlack) {
    overlay_->request(true);
    main_.runUntilIdle();
    covers_.setScreens({mainScreen_, sideScreen_, {3, {3840, 0, 800, 600}, false}});
    main_.runUntilIdle();
    ASSERT_EQ(hookCalls_.size(), 2u);

    pending_[0]();  // superseded: does nothing
    main_.runUntilIdle();
    EXPECT_EQ(covers_.revealedCount(), 0u);

    pending_[1]();
    main_.runUntilIdle();
    EXPECT_EQ(covers_.revealedCount(), 3u);
    EXPECT_EQ(takeLines().back(), "blackout: revealed 3 window(s) on 3 display(s)");
}

TEST_F(BlackoutOverlayTest, WithoutAHookCoversTurnBlackOnTheNextTurn) {
    overlay_->beforeReveal = nullptr;
    overlay_->request(true);
    main_.runUntilIdle();
    EXPECT_EQ(covers_.revealedCount(), 2u);
}

TEST_F(BlackoutOverlayTest, ALateCompletionAfterTheOverlayIsGoneIsHarmless) {
    overlay_->request(true);
    main_.runUntilIdle();
    overlay_.reset();
    pending_[0]();
    covers_.setScreens({mainScreen_});
    main_.runUntilIdle();
    EXPECT_EQ(covers_.revealedCount(), 0u);
}

}  // namespace
}  // namespace orvanta::host
