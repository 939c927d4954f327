// The unlock keymap, the plan of a password and the unlock sequence, on virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "host/desktop/LockUnlocker.h"
#include "support/FakeInputSink.h"
#include "support/FakeKeyboardLayout.h"
#include "support/FakeSessionState.h"

namespace orvanta::testing {
namespace {

using host::UnlockKeystroke;
using host::UnlockOutcome;
using platform::KeyLevel;

UnlockKeystroke stroke(std::uint16_t code, bool shift, bool option, char32_t unicode) {
    return {code, shift, option, static_cast<std::uint32_t>(unicode)};
}

TEST(UnlockKeymap, FirstLevelAndLowestKeyWinSkippingKeypadDeadAndControl) {
    FakeKeyboardLayout layout;
    layout.set(38, KeyLevel::none, u"a");
    layout.set(38, KeyLevel::shift, u"A");
    layout.set(38, KeyLevel::option, u"æ");
    layout.set(30, KeyLevel::shift, u"a");  // a lower key, but only at a later level
    layout.set(10, KeyLevel::none, u"1");
    layout.set(10, KeyLevel::shift, u"!");
    layout.set(12, KeyLevel::shiftOption, u"¡");
    layout.set(11, KeyLevel::option, u"!");      // Shift beats option
    layout.set(90, KeyLevel::none, u"7");        // keypad
    layout.set(34, KeyLevel::none, u"´", true);  // dead
    layout.set(40, KeyLevel::none, u"\r");
    layout.set(41, KeyLevel::none, u"\x7f");
    layout.set(42, KeyLevel::none, u"\U0001F600");  // two units
    layout.set(43, KeyLevel::none, u"");
    layout.set(20, KeyLevel::none, u"q");
    layout.set(21, KeyLevel::none, u"q");
    layout.keypad = {90};

    const auto map = host::UnlockKeymap::currentASCIICapable(layout);
    const host::UnlockKeymap::Map expected = {
        {U'a', stroke(38, false, false, U'a')}, {U'A', stroke(38, true, false, U'A')},
        {U'æ', stroke(38, false, true, U'æ')},  {U'1', stroke(10, false, false, U'1')},
        {U'!', stroke(10, true, false, U'!')},  {U'¡', stroke(12, true, true, U'¡')},
        {U'q', stroke(20, false, false, U'q')},
    };
    EXPECT_EQ(map, expected);
    FakeKeyboardLayout empty;
    EXPECT_TRUE(host::UnlockKeymap::currentASCIICapable(empty).empty());
}

TEST(UnlockKeymap, PlanHasOneStrokePerScalarAndRefusesControlCharacters) {
    const host::UnlockKeymap::Map map = {{U'a', stroke(38, false, false, U'a')}, {U'A', stroke(38, true, false, U'A')}};
    const auto plan = host::UnlockKeymap::plan("aA中\U0001F511", map);
    ASSERT_TRUE(plan);
    EXPECT_EQ(*plan, (std::vector{stroke(38, false, false, U'a'), stroke(38, true, false, U'A'),
                                  stroke(0, false, false, U'中'), stroke(0, false, false, U'\U0001F511')}));
    EXPECT_EQ(host::UnlockKeymap::plan("", map), std::vector<UnlockKeystroke>{});
    for (const std::string& refused :
         {std::string("ab\tc"), std::string("a\x7f"), std::string("x\n"), std::string("\xc3\x28")}) {
        EXPECT_FALSE(host::UnlockKeymap::plan(refused, map));
    }
}

// An environment that records what the sequence did, on virtual time, with scripted lock answers.
class ScriptedEnvironment final : public host::UnlockEnvironment {
public:
    std::optional<bool> isScreenLocked() override {
        calls.push_back("locked?");
        if (script.empty()) return lockedAfterScript;
        const auto answer = script.front();
        script.pop_front();
        return answer;
    }
    bool wakeDisplay() override {
        calls.push_back("wake");
        return asleep;
    }
    void postNudge() override { calls.push_back("nudge"); }
    void post(const UnlockKeystroke& s) override { calls.push_back("key " + std::to_string(s.unicode)); }
    void postReturn() override { calls.push_back("return"); }
    void pause(double seconds) override { elapsed += seconds; }

    std::deque<std::optional<bool>> script;
    std::optional<bool> lockedAfterScript = true;
    bool asleep = false;
    std::vector<std::string> calls;
    double elapsed = 0;
};

TEST(LockUnlocker, RunOutcomes) {
    struct Case {
        std::string what;
        bool asleep;
        std::deque<std::optional<bool>> script;
        std::optional<bool> afterScript;
        UnlockOutcome outcome;
        std::vector<std::string> calls;
        double elapsed;
    };
    const host::LockUnlocker::Timing timing;
    // Locked at the start, before each of the two strokes and before Return.
    const std::deque<std::optional<bool>> typed = {true, true, true, true};
    const auto plus = [&](std::deque<std::optional<bool>> polls) {
        auto all = typed;
        all.insert(all.end(), polls.begin(), polls.end());
        return all;
    };
    const std::vector<std::string> typing = {"wake",    "locked?", "nudge",   "locked?", "key 97",
                                             "locked?", "key 98",  "locked?", "return"};
    const auto then = [&](std::vector<std::string> more) {
        auto all = typing;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const std::vector<Case> cases = {
        {"not locked", false, {false}, false, UnlockOutcome::notLocked, {"wake", "locked?"}, 0.4},
        {"unknown is not locked", true, {std::nullopt}, true, UnlockOutcome::notLocked, {"wake", "locked?"}, 1.5},
        {"unlocks on the second poll", false, plus({true, false}), true, UnlockOutcome::unlocked,
         then({"locked?", "locked?"}), 0.4 + 0.4 + 0.04 + 0.5},
        {"never unlocks", false, typed, true, UnlockOutcome::stillLocked, then(std::vector<std::string>(25, "locked?")),
         0.4 + 0.4 + 0.04 + 6.0},
        {"unknown while polling", false, typed, std::nullopt, UnlockOutcome::stillLocked,
         then(std::vector<std::string>(25, "locked?")), 0.4 + 0.4 + 0.04 + 6.0},
        {"unlocked while typing",
         false,
         {true, true, false},
         true,
         UnlockOutcome::interrupted,
         {"wake", "locked?", "nudge", "locked?", "key 97", "locked?"},
         0.4 + 0.4 + 0.02},
    };
    for (const auto& c : cases) {
        ScriptedEnvironment env;
        env.asleep = c.asleep;
        env.script = c.script;
        env.lockedAfterScript = c.afterScript;
        std::vector<UnlockKeystroke> strokes = {stroke(1, false, false, U'a'), stroke(2, false, false, U'b')};
        const auto* storage = reinterpret_cast<const unsigned char*>(strokes.data());
        const std::size_t bytes = strokes.size() * sizeof(UnlockKeystroke);
        EXPECT_EQ(host::LockUnlocker::run(strokes, env, timing), c.outcome) << c.what;
        EXPECT_EQ(strokes.data(), static_cast<const void*>(storage));  // the same storage, now wiped
        EXPECT_TRUE(std::all_of(storage, storage + bytes, [](unsigned char b) { return b == 0; })) << c.what;
        EXPECT_EQ(env.calls, c.calls) << c.what;
        EXPECT_NEAR(env.elapsed, c.elapsed, 1e-9) << c.what;
        EXPECT_TRUE(strokes.empty()) << c.what;
    }
}

TEST(LockUnlocker, WithoutConfirmTimeOnlyOneCheckFollowsReturn) {
    ScriptedEnvironment env;
    env.script = {true, true, false};
    std::vector<UnlockKeystroke> none;
    host::LockUnlocker::Timing timing;
    timing.confirmTimeout = 0;
    EXPECT_EQ(host::LockUnlocker::run(none, env, timing), UnlockOutcome::unlocked);
    EXPECT_EQ(env.calls, (std::vector<std::string>{"wake", "locked?", "nudge", "locked?", "return", "locked?"}));
}

TEST(SimulatedUnlockEnvironment, UnlocksOnlyOnTheExpectedStrokesAndSaysSo) {
    const host::UnlockKeymap::Map map = {{U'p', stroke(33, false, false, U'p')}, {U'W', stroke(25, true, false, U'W')}};
    std::vector<std::string> log;
    double slept = 0;
    host::SimulatedUnlockEnvironment env(
        *host::UnlockKeymap::plan("pW", map), [&](std::string_view line) { log.emplace_back(line); },
        [&](double seconds) { slept += seconds; });

    auto wrong = *host::UnlockKeymap::plan("pw", map);
    EXPECT_EQ(host::LockUnlocker::run(wrong, env, {}), UnlockOutcome::stillLocked);
    EXPECT_EQ(log,
              std::vector<std::string>{"debug simulate-lock: return posted (dry run, no real events), match=false"});
    EXPECT_NEAR(slept, 0.05 * 2 + 0.02 * 2 + 0.05 * 24, 1e-9);  // each pause cut to 50 ms

    auto right = *host::UnlockKeymap::plan("pW", map);
    EXPECT_EQ(host::LockUnlocker::run(right, env, {}), UnlockOutcome::unlocked);
    EXPECT_EQ(log.back(), "debug simulate-lock: return posted (dry run, no real events), match=true");
    auto again = *host::UnlockKeymap::plan("pW", map);
    EXPECT_EQ(host::LockUnlocker::run(again, env, {}), UnlockOutcome::notLocked);  // stays unlocked

    host::SimulatedUnlockEnvironment nothingExpected({}, {}, [](double) {});
    std::vector<UnlockKeystroke> none;
    EXPECT_EQ(host::LockUnlocker::run(none, nothingExpected, {}), UnlockOutcome::stillLocked);
}

TEST(SystemUnlockEnvironment, WrapsCharactersInRealModifierPresses) {
    FakeInputSink sink;
    FakeSessionState session;
    session.asleep = true;
    host::SystemUnlockEnvironment env(sink, session, session, [](double) {});
    EXPECT_TRUE(env.wakeDisplay());
    EXPECT_FALSE(env.wakeDisplay());
    session.locked = std::nullopt;
    EXPECT_EQ(env.isScreenLocked(), std::nullopt);

    env.postNudge();
    env.post(stroke(38, true, false, U'A'));
    env.post(stroke(24, true, true, U'Ω'));
    env.post(stroke(0, false, false, U'\U0001F511'));
    env.postReturn();
    using platform::kFlagOption;
    using platform::kFlagShift;
    const std::vector<platform::KeyEvent> expected = {
        {56, true, kFlagShift, {}, 0},
        {56, false, 0, {}, 0},
        {56, true, kFlagShift, {}, 0},
        {0, true, kFlagShift, u"A", 0},
        {0, false, kFlagShift, u"A", 0},
        {56, false, 0, {}, 0},
        {56, true, kFlagShift, {}, 0},
        {61, true, kFlagShift | kFlagOption, {}, 0},
        {0, true, kFlagShift | kFlagOption, u"Ω", 0},
        {0, false, kFlagShift | kFlagOption, u"Ω", 0},
        {61, false, kFlagShift, {}, 0},
        {56, false, 0, {}, 0},
        {0, true, 0, u"\U0001F511", 0},
        {0, false, 0, u"\U0001F511", 0},
        {36, true, 0, {}, 0},
        {36, false, 0, {}, 0},
    };
    EXPECT_EQ(sink.eventsOf<platform::KeyEvent>(), expected);
}

}  // namespace
}  // namespace orvanta::testing
