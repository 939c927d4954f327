// The session view on a private X server: what the bar shows in each state, with a screenshot of
// each for a person to look at, its layout at narrow widths and what its buttons report.
#include "client/ui/SessionView.h"

#include <gtest/gtest.h>

#include <QTest>

#include "support/ManualExecutor.h"
#include "support/QtWidgetsApp.h"
#include "support/XvfbFixture.h"

namespace orvanta::client {
namespace {

using State = ConnectionManager::State;
using B = OverlayButton;

class SessionViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ORVANTA_REQUIRE_XVFB(testing::XvfbOptions{.windowManager = true});
        testing::qtWidgetsApp();
        view = std::make_unique<SessionView>(main, main.clock());
        view->resize(760, 420);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    }

    static OverlayFacts facts(State state, bool frame = true) {
        OverlayFacts f;
        f.state = state;
        f.receivedFrame = frame;
        f.hostDisplayName = "Studio";
        f.streamSize = {1920, 1080};
        f.fps = 60;
        return f;
    }

    testing::ManualExecutor main;
    std::unique_ptr<SessionView> view;
};

TEST_F(SessionViewTest, EachStateShowsItsBarAndKeepsAScreenshot) {
    const struct {
        const char* name;
        OverlayFacts facts;
        std::vector<B> buttons;
        bool surface;
    } cases[] = {
        {"connecting", facts(State::connecting, false), {B::settings, B::disconnect}, true},
        {"connected-waiting", facts(State::connected, false), {B::settings, B::fullScreen, B::disconnect}, true},
        {"connected", facts(State::connected), {B::settings, B::fullScreen, B::disconnect}, true},
        {"locked", facts(State::locked), {B::settings, B::disconnect}, true},
        {"busy", facts(State::busy), {B::settings, B::takeOver, B::joinAsController, B::stop}, false},
        {"controller", facts(State::controller), {B::settings, B::showHere, B::disconnect}, true},
        {"takenOver", facts(State::takenOver), {B::settings, B::returnHere, B::close}, false},
        {"recovering", facts(State::recovering), {B::settings, B::disconnect}, true},
        {"decodeError", facts(State::decodeError), {B::settings, B::disconnect}, true},
        {"authFailed", facts(State::authFailed), {B::settings, B::disconnect}, false},
        {"revoked", facts(State::revoked), {B::settings, B::disconnect}, false},
        {"disconnected", facts(State::disconnected), {B::settings, B::disconnect}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        view->apply(c.facts);
        QTest::qWait(20);
        view->grab().save(testing::artifactPath(std::string("session-view-") + c.name + ".png"));
        EXPECT_EQ(view->visibleButtons(), c.buttons);
        EXPECT_EQ(view->surface().isVisible(), c.surface);
        EXPECT_EQ(view->statusText().toStdString(), statusLine(c.facts));
    }
}

TEST_F(SessionViewTest, TheCompactBarBeforeAndAfterTheFirstFrame) {
    view->apply(facts(State::connected, false));
    EXPECT_FALSE(view->buttonEnabled(B::fullScreen));
    EXPECT_EQ(view->statusText(), "映像を待っています…");
    EXPECT_EQ(view->barToolTip(), "映像を待っています…");

    view->apply(facts(State::connected));
    EXPECT_TRUE(view->buttonEnabled(B::fullScreen));
    EXPECT_EQ(view->barToolTip(), "接続中 · Studio · 1920×1080 · 60 fps");

    auto immersive = facts(State::connected);
    immersive.immersive = true;
    view->apply(immersive);
    EXPECT_FALSE(view->statusBarShown());
    EXPECT_TRUE(view->surface().isImmersive());
}

TEST_F(SessionViewTest, ANarrowWindowStacksTheBarsParts) {
    view->apply(facts(State::busy));
    view->resize(760, 420);
    QTest::qWait(20);
    EXPECT_TRUE(view->barInRow());
    view->resize(420, 420);
    QTest::qWait(20);
    EXPECT_FALSE(view->barInRow());
    EXPECT_TRUE(view->actionsInRow());
    view->grab().save(testing::artifactPath("session-view-busy-narrow.png"));
    // Below the label the row keeps the buttons at their own width, 8 apart from the left.
    const auto buttons = view->visibleButtons();
    EXPECT_EQ(view->button(buttons.front())->x(), 0);
    for (std::size_t i = 1; i < buttons.size(); ++i) {
        const QRect before = view->button(buttons[i - 1])->geometry();
        EXPECT_EQ(view->button(buttons[i])->x(), before.x() + before.width() + 8) << i;
        EXPECT_EQ(view->button(buttons[i])->width(), view->button(buttons[i])->sizeHint().width()) << i;
    }
    view->resize(200, 420);
    QTest::qWait(20);
    EXPECT_FALSE(view->actionsInRow());
    view->grab().save(testing::artifactPath("session-view-busy-narrower.png"));
}

TEST_F(SessionViewTest, ButtonsAndDeactivationAreReported) {
    std::vector<B> pressed;
    view->onButton = [&](B which) { pressed.push_back(which); };
    int inactive = 0;
    view->onWindowInactive = [&] { ++inactive; };
    view->apply(facts(State::takenOver));
    QTest::mouseClick(view->button(B::returnHere), Qt::LeftButton);
    QTest::mouseClick(view->button(B::close), Qt::LeftButton);
    EXPECT_EQ(pressed, (std::vector<B>{B::returnHere, B::close}));

    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    view->focusSettings();
    EXPECT_TRUE(view->button(B::settings)->hasFocus());

    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    EXPECT_GE(inactive, 1);

    std::vector<bool> picker;
    view->presentWindowPicker = [&](bool shown) { picker.push_back(shown); };
    view->setWindowPickerShown(true);
    view->setWindowPickerShown(true);
    view->setWindowPickerShown(false);
    EXPECT_EQ(picker, (std::vector<bool>{true, false}));
}

}  // namespace
}  // namespace orvanta::client
