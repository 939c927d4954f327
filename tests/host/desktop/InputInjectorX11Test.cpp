// The injector through the XTest backend on a private X server, checked by a window of ours.
#include <gtest/gtest.h>
#include <xcb/xtest.h>

#include "host/desktop/InputInjector.h"
#include "host/desktop/LockUnlocker.h"
#include "platform/x11/X11InputSink.h"
#include "support/ManualExecutor.h"
#include "support/X11InputProbe.h"
#include "support/XvfbFixture.h"

namespace orvanta::testing {
namespace {

using host::InputInjector;
using Event = X11InputProbe::Event;
using Result = InputInjector::Result;

class InjectorOnX11 : public ::testing::Test {
protected:
    void start(const std::string& display) {
        probe = std::make_unique<X11InputProbe>(display);
        auto opened = platform::x11::X11InputSink::open(executor, display);
        ASSERT_TRUE(opened) << opened.error();
        sink = std::move(*opened);
        probe->settle = [this] { sink->cursorLocation(); };
        injector = std::make_unique<InputInjector>(executor, executor.clock(), *sink, [](std::string) {});
    }
    Result pointer(std::string action, std::optional<double> x = {}, std::optional<double> y = {},
                   std::optional<double> dx = {}, std::optional<double> dy = {}) {
        protocol::PointerInput p;
        p.action = std::move(action);
        p.x = x;
        p.y = y;
        p.dx = dx;
        p.dy = dy;
        return injector->handle(p, "dev");
    }
    Result key(std::string name, bool command = false, std::optional<protocol::KeyInput::Phase> phase = {}) {
        protocol::KeyInput k;
        k.name = std::move(name);
        k.command = command;
        k.phase = phase;
        return injector->handle(k, "dev");
    }

    ManualExecutor executor;
    std::unique_ptr<X11InputProbe> probe;
    std::unique_ptr<platform::x11::X11InputSink> sink;
    std::unique_ptr<InputInjector> injector;
};

TEST_F(InjectorOnX11, PointerMotionButtonsAndWheelReachTheWindow) {
    ORVANTA_REQUIRE_XVFB();
    ASSERT_NO_FATAL_FAILURE(start(display));
    EXPECT_TRUE(sink->trusted());
    EXPECT_EQ(sink->displayBounds(std::nullopt), (platform::DisplayRect{0, 0, 1920, 1080}));

    ASSERT_EQ(pointer("move", 0.25, 0.5), Result::ok);
    EXPECT_EQ(probe->ofType(XCB_MOTION_NOTIFY).back().x, 480);
    EXPECT_EQ(sink->cursorLocation(), (platform::DisplayPoint{480, 540}));
    probe->events.clear();

    ASSERT_EQ(pointer("click", 0.5, 0.5), Result::ok);
    ASSERT_EQ(pointer("right", 0.5, 0.5), Result::ok);
    ASSERT_EQ(pointer("middle", 0.5, 0.5), Result::ok);
    ASSERT_EQ(pointer("scroll", std::nullopt, std::nullopt, 0.0, 100.0), Result::ok);  // two notches, 20 px kept
    ASSERT_EQ(pointer("scroll", std::nullopt, std::nullopt, -40.0, 20.0), Result::ok);
    std::vector<std::pair<std::uint8_t, std::uint8_t>> buttons;
    for (const auto& e : probe->collect()) {
        if (e.type == XCB_BUTTON_PRESS || e.type == XCB_BUTTON_RELEASE) buttons.emplace_back(e.type, e.detail);
        if (e.type == XCB_BUTTON_PRESS) {
            EXPECT_EQ(std::pair(e.x, e.y), std::pair(960, 540));
        }
    }
    constexpr std::uint8_t P = XCB_BUTTON_PRESS, R = XCB_BUTTON_RELEASE;
    EXPECT_EQ(buttons, (std::vector<std::pair<std::uint8_t, std::uint8_t>>{{P, 1},
                                                                           {R, 1},
                                                                           {P, 3},
                                                                           {R, 3},
                                                                           {P, 2},
                                                                           {R, 2},
                                                                           {P, 4},
                                                                           {R, 4},
                                                                           {P, 4},
                                                                           {R, 4},
                                                                           {P, 4},
                                                                           {R, 4},
                                                                           {P, 7},
                                                                           {R, 7}}));
    EXPECT_FALSE(probe->anythingPressed());
}

TEST_F(InjectorOnX11, KeysWithModifiersAndTextInAnyScriptTypeWithoutChangingTheKeymap) {
    ORVANTA_REQUIRE_XVFB();
    ASSERT_NO_FATAL_FAILURE(start(display));
    const auto keymapBefore = probe->keyboardMapping();

    ASSERT_EQ(key("a", true), Result::ok);
    const auto presses = probe->ofType(XCB_KEY_PRESS);
    ASSERT_EQ(presses.size(), 2u);  // Super, then the key with Super in effect
    EXPECT_NE(presses[1].state & XCB_MOD_MASK_4, 0);
    EXPECT_EQ(probe->typed(), U"a");
    probe->events.clear();

    const std::u32string text = U"Grüße, 日本語 ✓ Ωµ €\U0001F600";
    ASSERT_EQ(key("return"), Result::ok);
    ASSERT_EQ(key("Q"), Result::ok);
    ASSERT_EQ(injector->handle(protocol::TextInput{0, "Grüße, 日本語 ✓ Ωµ €\U0001F600"}, "dev"), Result::ok);
    ASSERT_EQ(key("shift", false, protocol::KeyInput::Phase::down), Result::ok);
    ASSERT_EQ(key("x"), Result::ok);  // typed text ignores a held Shift
    ASSERT_EQ(key("1"), Result::ok);
    ASSERT_EQ(key("shift", false, protocol::KeyInput::Phase::up), Result::ok);
    EXPECT_EQ(probe->typed(), U"Q" + text + U"x1");
    EXPECT_EQ(probe->ofType(XCB_KEY_PRESS).front().detail, 36);  // Return on the default map

    executor.advance(platform::x11::X11InputSink::kSpareHoldTime);
    sink->cursorLocation();  // a round trip: the server has handled the restore
    EXPECT_EQ(probe->keyboardMapping(), keymapBefore);
    EXPECT_FALSE(probe->anythingPressed());
}

TEST_F(InjectorOnX11, FollowsAKeymapThatChangesUnderneath) {
    ORVANTA_REQUIRE_XVFB();
    ASSERT_NO_FATAL_FAILURE(start(display));
    ASSERT_EQ(key("a"), Result::ok);
    const auto a = probe->ofType(XCB_KEY_PRESS).back().detail;
    const auto keymapBefore = probe->keyboardMapping();

    // Someone else turns the "a" key into "ä".
    xcb_connection_t* c = probe->connection();
    const std::uint8_t perKey =
        std::uint8_t(keymapBefore.size() / (xcb_get_setup(c)->max_keycode - xcb_get_setup(c)->min_keycode + 1));
    const std::vector<xcb_keysym_t> umlaut(perKey, XKB_KEY_adiaeresis);
    xcb_change_keyboard_mapping(c, 1, a, perKey, umlaut.data());
    probe->sync();
    sink->cursorLocation();  // the change notice has reached the injecting connection
    probe->events.clear();
    ASSERT_EQ(key("a"), Result::ok);
    ASSERT_EQ(key("ä"), Result::ok);
    EXPECT_EQ(probe->typed(), U"aä");
    EXPECT_EQ(probe->ofType(XCB_KEY_PRESS).back().detail, a);

    const auto offset = std::size_t(a - xcb_get_setup(c)->min_keycode) * perKey;
    xcb_change_keyboard_mapping(c, 1, a, perKey, keymapBefore.data() + offset);
    executor.advance(platform::x11::X11InputSink::kSpareHoldTime);
    sink->cursorLocation();
    EXPECT_EQ(probe->keyboardMapping(), keymapBefore);
}

TEST_F(InjectorOnX11, NothingStaysPressedAfterReleases) {
    ORVANTA_REQUIRE_XVFB();
    ASSERT_NO_FATAL_FAILURE(start(display));
    injector->beginSession("dev");
    ASSERT_EQ(pointer("down", 0.5, 0.5), Result::ok);
    ASSERT_EQ(pointer("drag", 0.6, 0.5), Result::ok);
    ASSERT_EQ(key("control", false, protocol::KeyInput::Phase::down), Result::ok);
    ASSERT_EQ(key("home", false, protocol::KeyInput::Phase::down), Result::ok);
    EXPECT_TRUE(probe->anythingPressed());
    injector->endSession("dev", false);
    EXPECT_FALSE(probe->anythingPressed());

    ASSERT_EQ(pointer("down", 0.5, 0.5), Result::ok);
    ASSERT_EQ(key("shift", false, protocol::KeyInput::Phase::down), Result::ok);
    const auto released = injector->releaseKeys(std::nullopt);
    EXPECT_TRUE(injector->releasePointerInputs(true, released));
    EXPECT_FALSE(probe->anythingPressed());
}

TEST_F(InjectorOnX11, PointerMovesOfAnyDeviceAreCountedWhileSomebodyAsks) {
    ORVANTA_REQUIRE_XVFB();
    ASSERT_NO_FATAL_FAILURE(start(display));
    auto other = platform::x11::XConnection::open(display);
    ASSERT_TRUE(other) << other.error();
    const auto moveFromOutside = [&](std::int16_t x) {
        xcb_test_fake_input((*other)->get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, (*other)->root(), x, 300, 0);
        free(xcb_get_input_focus_reply((*other)->get(), xcb_get_input_focus((*other)->get()), nullptr));
        sink->cursorLocation();  // its reply comes after the news of that move
    };

    EXPECT_EQ(sink->pointerMoves(), std::nullopt) << "the first ask starts the watch";
    sink->cursorLocation();
    const auto still = sink->pointerMoves();
    ASSERT_TRUE(still);
    EXPECT_EQ(sink->pointerMoves(), still);
    moveFromOutside(100);
    moveFromOutside(200);
    const auto moved = sink->pointerMoves();
    ASSERT_TRUE(moved);
    EXPECT_GT(*moved, *still);
    ASSERT_EQ(pointer("move", 0.5, 0.5), Result::ok);
    EXPECT_GT(*sink->pointerMoves(), *moved) << "our own move counts before its news come";

    executor.advance(platform::x11::X11InputSink::kPointerWatchIdle);
    executor.advance(platform::x11::X11InputSink::kPointerWatchIdle);
    moveFromOutside(100);
    EXPECT_EQ(sink->pointerMoves(), std::nullopt) << "a watch nobody asked for ended, and starts anew";
}

TEST_F(InjectorOnX11, AVanishedServerIsAnErrorNotACrash) {
    ORVANTA_REQUIRE_XVFB();
    auto server = XvfbServer::start();
    ASSERT_TRUE(server) << server.error();
    auto opened = platform::x11::X11InputSink::open(executor, (*server)->display());
    ASSERT_TRUE(opened) << opened.error();
    sink = std::move(*opened);
    injector = std::make_unique<InputInjector>(executor, executor.clock(), *sink, [](std::string) {});
    ASSERT_EQ(pointer("down", 0.5, 0.5), Result::ok);
    (*server)->kill();
    EXPECT_EQ(pointer("move", 0.2, 0.2), Result::rejected);
    EXPECT_EQ(injector->handle(protocol::TextInput{0, "日本"}, "dev"), Result::rejected);
    const auto error = sink->post(platform::KeyEvent{0, true, 0, {}, 0});  // a lost connection shows at once
    ASSERT_FALSE(error);
    EXPECT_EQ(error.error().kind, platform::InputSinkError::Kind::unavailable);
    EXPECT_FALSE(sink->hasEventSource());
    EXPECT_FALSE(injector->releasePointerInputs(true, {}));
    executor.advance(std::chrono::seconds(5));  // the hold check finds the server gone too
}

TEST_F(InjectorOnX11, UnlockTypesThePasswordThroughTheLayout) {
    ORVANTA_REQUIRE_XVFB();
    ASSERT_NO_FATAL_FAILURE(start(display));
    auto connection = platform::x11::XConnection::open(display);
    ASSERT_TRUE(connection);
    platform::x11::X11KeyboardLayout layout(**connection);
    const auto map = host::UnlockKeymap::currentASCIICapable(layout);
    ASSERT_TRUE(map.contains(U'a'));
    EXPECT_EQ(map.at(U'a'), (host::UnlockKeystroke{38, false, false, U'a'}));
    EXPECT_EQ(map.at(U'A'), (host::UnlockKeystroke{38, true, false, U'A'}));
    EXPECT_EQ(map.at(U'!'), (host::UnlockKeystroke{10, true, false, U'!'}));
    const auto keys = layout.typingKeyCodes();
    EXPECT_EQ(std::ranges::find(keys, 79), keys.end());  // keypad 7

    struct Locked final : platform::SessionState, platform::DisplaySleep {
        std::optional<bool> screenLocked() override { return true; }
        std::optional<bool> displayAsleep() override { return false; }
        bool wakeDisplay() override { return false; }
    } session;
    host::SystemUnlockEnvironment env(*sink, session, session, [](double) {});
    auto strokes = *host::UnlockKeymap::plan("pA5$wörd中", map);
    EXPECT_EQ(host::LockUnlocker::run(strokes, env, {}), host::UnlockOutcome::stillLocked);
    EXPECT_EQ(probe->typed(), U"pA5$wörd中");
    EXPECT_EQ(probe->ofType(XCB_KEY_PRESS).back().detail, 36);  // Return
    EXPECT_FALSE(probe->anythingPressed());
}

}  // namespace
}  // namespace orvanta::testing
