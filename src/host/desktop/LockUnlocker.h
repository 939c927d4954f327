// Types the login password, sent by a paired device, at the lock screen: the map from characters
// to keystrokes of the current layout, the plan for one password, and the sequence that wakes the
// display, types, presses Return and watches for the unlock. The password never reaches a log
// line, and every buffer built from it is wiped as soon as it is no longer needed.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/InputSink.h"
#include "platform/KeyboardLayout.h"
#include "platform/SessionState.h"

namespace orvanta::host {

struct UnlockKeystroke {
    std::uint16_t keyCode = 0;  // the layout's key code
    bool shift = false;
    bool option = false;
    std::uint32_t unicode = 0;  // the scalar the stroke types; 0 when none
    bool operator==(const UnlockKeystroke&) const = default;
};

namespace UnlockKeymap {
using Map = std::unordered_map<std::uint32_t, UnlockKeystroke>;

// Every character the layout types with one key and no, Shift, option or both modifiers: the
// first combination wins in that order, lower key codes first within one. Keypad keys, dead keys
// and control characters are left out. Empty when the layout cannot be read.
Map currentASCIICapable(platform::KeyboardLayout& layout);
// One stroke per scalar of the password: the map's, else the bare character. Nothing when the
// password holds a control character or is not UTF-8 (what was planned so far is wiped).
std::optional<std::vector<UnlockKeystroke>> plan(std::string_view password, const Map& map);
}  // namespace UnlockKeymap

enum class UnlockOutcome { unlocked, stillLocked, notLocked, interrupted };

// What the unlock sequence acts through.
class UnlockEnvironment {
public:
    virtual ~UnlockEnvironment() = default;
    virtual std::optional<bool> isScreenLocked() = 0;  // nothing: unknown
    virtual bool wakeDisplay() = 0;                    // true when the display was asleep
    virtual void postNudge() = 0;
    virtual void post(const UnlockKeystroke& stroke) = 0;
    virtual void postReturn() = 0;
    virtual void pause(double seconds) = 0;
};

namespace LockUnlocker {
struct Timing {
    double asleepWakeDelay = 1.5;
    double awakeWakeDelay = 0.4;
    double nudgeDelay = 0.4;
    double keystrokeDelay = 0.02;
    double confirmTimeout = 6.0;
    double pollInterval = 0.25;
};

// Blocks the calling thread for the whole sequence. `strokes` is wiped and left empty.
UnlockOutcome run(std::vector<UnlockKeystroke>& strokes, UnlockEnvironment& env, const Timing& timing);
}  // namespace LockUnlocker

// Blocks the calling thread for a number of seconds; tests hand in virtual time.
using Sleeper = std::function<void(double seconds)>;
void sleepSeconds(double seconds);

// Posts real key events through the sink: Shift and the option modifier as real presses around
// each character.
class SystemUnlockEnvironment final : public UnlockEnvironment {
public:
    SystemUnlockEnvironment(platform::InputSink& sink, platform::SessionState& session, platform::DisplaySleep& display,
                            Sleeper sleeper = sleepSeconds);

    std::optional<bool> isScreenLocked() override;
    bool wakeDisplay() override;
    void postNudge() override;
    void post(const UnlockKeystroke& stroke) override;
    void postReturn() override;
    void pause(double seconds) override;

    static constexpr std::uint16_t kShiftKey = 56;
    // The right-hand option key, which is this desktop's AltGr: the level the keymap's option
    // strokes were read at.
    static constexpr std::uint16_t kOptionKey = 61;
    static constexpr std::uint16_t kReturnKey = 36;

private:
    void key(std::uint16_t code, bool down, platform::EventFlags flags);

    platform::InputSink& sink_;
    platform::SessionState& session_;
    platform::DisplaySleep& display_;
    Sleeper sleeper_;
};

// A dry run that posts nothing: locked until Return follows exactly the expected strokes.
class SimulatedUnlockEnvironment final : public UnlockEnvironment {
public:
    using Log = std::function<void(std::string_view)>;
    SimulatedUnlockEnvironment(std::vector<UnlockKeystroke> expected, Log log, Sleeper sleeper = sleepSeconds);
    ~SimulatedUnlockEnvironment() override;

    std::optional<bool> isScreenLocked() override;
    bool wakeDisplay() override { return false; }
    void postNudge() override;
    void post(const UnlockKeystroke& stroke) override;
    void postReturn() override;
    void pause(double seconds) override;

    static constexpr double kMaxPauseSeconds = 0.05;

private:
    std::mutex lock_;
    bool locked_ = true;
    std::vector<UnlockKeystroke> typed_;
    std::vector<UnlockKeystroke> expected_;
    Log log_;
    Sleeper sleeper_;
};

}  // namespace orvanta::host
