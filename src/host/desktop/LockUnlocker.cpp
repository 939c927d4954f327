#include "host/desktop/LockUnlocker.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

#include "base/Utf8.h"

namespace orvanta::host {

namespace {

template <class T>
void wipe(std::vector<T>& values) {
    if (!values.empty()) OPENSSL_cleanse(values.data(), values.size() * sizeof(T));
    values.clear();
}

template <class C>
void wipe(std::basic_string<C>& text) {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size() * sizeof(C));
    text.clear();
}

bool isControl(std::uint32_t scalar) { return scalar < 32 || scalar == 127; }

}  // namespace

UnlockKeymap::Map UnlockKeymap::currentASCIICapable(platform::KeyboardLayout& layout) {
    using platform::KeyLevel;
    constexpr std::array kLevels = {KeyLevel::none, KeyLevel::shift, KeyLevel::option, KeyLevel::shiftOption};
    Map map;
    const auto codes = layout.typingKeyCodes();
    for (const KeyLevel level : kLevels) {
        for (const std::uint16_t code : codes) {
            const auto typed = layout.translate(code, level);
            if (!typed || typed->dead || typed->units.size() != 1 || isControl(typed->units[0])) continue;
            const std::uint32_t unicode = typed->units[0];
            const bool shift = level == KeyLevel::shift || level == KeyLevel::shiftOption;
            const bool option = level == KeyLevel::option || level == KeyLevel::shiftOption;
            map.try_emplace(unicode, UnlockKeystroke{code, shift, option, unicode});
        }
    }
    return map;
}

std::optional<std::vector<UnlockKeystroke>> UnlockKeymap::plan(std::string_view password, const Map& map) {
    auto scalars = base::decodeUtf8(password);
    if (!scalars) return std::nullopt;
    std::vector<UnlockKeystroke> strokes;
    strokes.reserve(scalars->size());  // no reallocation leaves a copy behind
    for (const char32_t scalar : *scalars) {
        if (isControl(scalar)) {
            wipe(strokes);
            wipe(*scalars);
            return std::nullopt;
        }
        const auto found = map.find(scalar);
        strokes.push_back(found != map.end() ? found->second : UnlockKeystroke{0, false, false, scalar});
    }
    wipe(*scalars);
    return strokes;
}

UnlockOutcome LockUnlocker::run(std::vector<UnlockKeystroke>& strokes, UnlockEnvironment& env, const Timing& timing) {
    const auto outcome = [&] {
        env.pause(env.wakeDisplay() ? timing.asleepWakeDelay : timing.awakeWakeDelay);
        const auto stillLocked = [&] { return env.isScreenLocked() == true; };
        if (!stillLocked()) return UnlockOutcome::notLocked;
        env.postNudge();
        env.pause(timing.nudgeDelay);
        for (const UnlockKeystroke& stroke : strokes) {
            if (!stillLocked()) return UnlockOutcome::interrupted;
            env.post(stroke);
            env.pause(timing.keystrokeDelay);
        }
        if (!stillLocked()) return UnlockOutcome::interrupted;
        env.postReturn();
        if (timing.confirmTimeout > 0) {
            for (double waited = 0; waited < timing.confirmTimeout; waited += timing.pollInterval) {
                env.pause(timing.pollInterval);
                if (env.isScreenLocked() == false) return UnlockOutcome::unlocked;
                if (!(timing.pollInterval > 0)) break;  // a zero interval would never reach the limit
            }
        }
        return env.isScreenLocked() == false ? UnlockOutcome::unlocked : UnlockOutcome::stillLocked;
    }();
    wipe(strokes);
    return outcome;
}

void sleepSeconds(double seconds) {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// ---------------------------------------------------------------------------------------------

SystemUnlockEnvironment::SystemUnlockEnvironment(platform::InputSink& sink, platform::SessionState& session,
                                                 platform::DisplaySleep& display, Sleeper sleeper)
    : sink_(sink), session_(session), display_(display), sleeper_(std::move(sleeper)) {}

std::optional<bool> SystemUnlockEnvironment::isScreenLocked() { return session_.screenLocked(); }

bool SystemUnlockEnvironment::wakeDisplay() { return display_.wakeDisplay(); }

void SystemUnlockEnvironment::key(std::uint16_t code, bool down, platform::EventFlags flags) {
    // A failed post is silent: the lock polls tell the outcome.
    (void)sink_.post(platform::KeyEvent{code, down, flags, {}, 0});
}

void SystemUnlockEnvironment::postNudge() {
    key(kShiftKey, true, platform::kFlagShift);
    key(kShiftKey, false, 0);
}

void SystemUnlockEnvironment::postReturn() {
    key(kReturnKey, true, 0);
    key(kReturnKey, false, 0);
}

void SystemUnlockEnvironment::post(const UnlockKeystroke& stroke) {
    platform::EventFlags flags = 0;
    if (stroke.shift) {
        key(kShiftKey, true, platform::kFlagShift);
        flags |= platform::kFlagShift;
    }
    if (stroke.option) {
        flags |= platform::kFlagOption;
        key(kOptionKey, true, flags);
    }
    const bool surrogate = stroke.unicode >= 0xD800 && stroke.unicode <= 0xDFFF;
    if (stroke.unicode == 0 || surrogate) {
        key(stroke.keyCode, true, flags);
        key(stroke.keyCode, false, flags);
    } else {
        for (const bool down : {true, false}) {
            platform::KeyEvent event{0, down, flags, {}, 0};
            platform::appendUtf16(event.text, stroke.unicode);
            (void)sink_.post(event);
            wipe(event.text);
        }
    }
    if (stroke.option) key(kOptionKey, false, flags & ~platform::kFlagOption);
    if (stroke.shift) key(kShiftKey, false, flags & ~(platform::kFlagOption | platform::kFlagShift));
}

void SystemUnlockEnvironment::pause(double seconds) { sleeper_(seconds); }

// ---------------------------------------------------------------------------------------------

SimulatedUnlockEnvironment::SimulatedUnlockEnvironment(std::vector<UnlockKeystroke> expected, Log log, Sleeper sleeper)
    : expected_(std::move(expected)), log_(std::move(log)), sleeper_(std::move(sleeper)) {}

SimulatedUnlockEnvironment::~SimulatedUnlockEnvironment() {
    wipe(typed_);
    wipe(expected_);
}

std::optional<bool> SimulatedUnlockEnvironment::isScreenLocked() {
    std::lock_guard guard(lock_);
    return locked_;
}

void SimulatedUnlockEnvironment::postNudge() {
    std::lock_guard guard(lock_);
    wipe(typed_);
}

void SimulatedUnlockEnvironment::post(const UnlockKeystroke& stroke) {
    std::lock_guard guard(lock_);
    if (typed_.size() == typed_.capacity()) {
        // Grow by hand so that the old storage is wiped, not just freed.
        std::vector<UnlockKeystroke> larger;
        larger.reserve(std::max<std::size_t>(16, typed_.size() * 2));
        larger.assign(typed_.begin(), typed_.end());
        wipe(typed_);
        typed_.swap(larger);
    }
    typed_.push_back(stroke);
}

void SimulatedUnlockEnvironment::postReturn() {
    bool match = false;
    {
        std::lock_guard guard(lock_);
        match = !expected_.empty() && typed_ == expected_;
        wipe(typed_);
        if (match) locked_ = false;
    }
    if (log_) {
        log_(std::string("debug simulate-lock: return posted (dry run, no real events), match=") +
             (match ? "true" : "false"));
    }
}

void SimulatedUnlockEnvironment::pause(double seconds) {
    if (seconds > 0) sleeper_(std::min(seconds, kMaxPauseSeconds));
}

}  // namespace orvanta::host
