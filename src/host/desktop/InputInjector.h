// Turns the pointer, key and text messages of connected devices into input events on this desktop:
// per-source sequence filtering and input sessions, mapping of picture coordinates onto the
// captured display or window, mouse-button and held-key bookkeeping (nothing stays pressed when a
// device goes quiet or away), and the input diagnostic log. Every call, and the hold check, runs
// on the owner's executor; the injector takes no locks.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/Clock.h"
#include "base/Executor.h"
#include "platform/InputSink.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

namespace InputDiagnosticLog {
inline constexpr std::string_view kPath = "/tmp/orvanta-input.log";
// Appends "timestamp message" to kPath, in call order, on the log's own queue. Any failure drops
// the line silently.
void record(std::string message);
// The line as written: ISO 8601 UTC time with milliseconds, a blank, the message, a line feed.
std::string formatLine(std::chrono::system_clock::time_point when, std::string_view message);
// Appends one line to `path` with a single write, only to a regular file of the effective user
// with one link and no group or other permissions; never follows a symbolic link or blocks on a
// FIFO. Returns whether the line was written.
bool appendLine(const std::string& path, std::string_view line);
}  // namespace InputDiagnosticLog

class InputInjector {
public:
    enum class Result { ok, needsAccessibility, rejected };

    struct NormalizedCursor {
        double x = 0;
        double y = 0;
        bool visible = false;
        bool operator==(const NormalizedCursor&) const = default;
    };

    using Record = std::function<void(std::string)>;

    // `queue` runs every call and the hold check; `clock` is its uptime clock.
    InputInjector(base::Executor& queue, const base::Clock& clock, platform::InputSink& sink,
                  Record record = InputDiagnosticLog::record);
    ~InputInjector();
    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    // Where the picture maps to; written by the owner, read on every pointer message.
    // A captured window: the whole frame maps onto targetRect, input outside visibleWindowRect is
    // dropped. Both in global display coordinates.
    std::optional<platform::DisplayRect> targetRect;
    std::optional<platform::DisplayRect> visibleWindowRect;
    // A captured display (nothing: the main one), and the part of the frame its picture covers, in
    // frame units (nothing: all of it).
    std::optional<std::uint32_t> displayID;
    std::optional<platform::DisplayRect> displayContentRect;

    Result handle(const protocol::PointerInput& pointer, const std::string& source);
    Result handle(const protocol::KeyInput& key, const std::string& source);
    Result handle(const protocol::TextInput& text, const std::string& source);

    void beginSession(const std::string& source);
    void endSession(const std::string& source, bool releaseAllSources);

    // Releases held modifiers and every pressed button (with includingUntrackedInputs, also a blind
    // up for buttons and both modifier keys of each kind that we do not know to be down). True when
    // the modifiers were released and no button is left pressed.
    bool releasePointerInputs(bool includingUntrackedInputs, const std::set<std::uint16_t>& alreadyReleased,
                              const protocol::PointerInput* input = nullptr);
    // Releases the keys a source holds (nothing: every source); returns the codes that went up.
    std::set<std::uint16_t> releaseKeys(const std::optional<std::string>& source);
    bool releaseModifiers(bool includingUntracked, const std::set<std::uint16_t>& alreadyReleased);
    void refreshHoldTimeout();

    // The pointer (nothing: where it is now) in picture units, not clamped, and whether it lies
    // in the visible part of the picture. Where it is now is asked of the desktop only when it
    // reported moves since the last ask, or the last ask is kUnreportedMoveCheckMicros old.
    NormalizedCursor cursorNormalized(std::optional<platform::DisplayPoint> at = std::nullopt);

    // Flags of the modifier keys held through key phases.
    platform::EventFlags heldFlags() const;

    static constexpr std::chrono::microseconds kHoldTimeout{3'000'000};
    // How long a move that brings no report (a warp) may go unseen by cursorNormalized.
    static constexpr std::uint64_t kUnreportedMoveCheckMicros = 1'000'000;

private:
    enum class Button { left, right, middle };
    static constexpr std::array kButtons = {Button::left, Button::right, Button::middle};  // the order of releases
    struct Press {
        std::int64_t number = 0;
        std::int64_t count = 0;
        bool pendingUp = false;
    };
    struct HeldKey {
        std::set<std::string> owners;
        platform::KeyEvent up;
    };

    bool acceptSequence(std::uint32_t seq, const std::string& source);

    // Pointer.
    platform::DisplayRect displayBounds();
    std::optional<platform::DisplayRect> visibleContentRect();
    platform::DisplayPoint point(double x, double y);
    std::optional<platform::DisplayPoint> mappedPoint(double x, double y);
    platform::DisplayPoint currentLocation();
    platform::DisplayPoint watchedLocation();
    Result releaseAll(const std::optional<std::string>& keysOf, platform::DisplayPoint at,
                      const protocol::PointerInput& input);
    void releasePressed(platform::DisplayPoint at, const protocol::PointerInput* input);
    bool postUp(Button button, platform::DisplayPoint at, const protocol::PointerInput* input);
    Result move(const protocol::PointerInput& input, std::optional<platform::DisplayPoint> target);
    Result drag(const protocol::PointerInput& input, std::optional<platform::DisplayPoint> target);
    Result scroll(const protocol::PointerInput& input, std::optional<platform::DisplayPoint> target,
                  const std::string& source);
    Result press(Button button, platform::DisplayPoint at, std::int64_t count, bool hold,
                 const protocol::PointerInput* input);
    bool postMouse(platform::MouseEventType type, platform::DisplayPoint at, std::int64_t number, std::int64_t count,
                   const protocol::PointerInput* input);
    void scheduleHoldCheck();
    void holdCheck();

    // Keys and text.
    Result handleKeyPhase(protocol::KeyInput::Phase phase, const protocol::KeyInput& input, const std::string& source);
    Result postKey(std::uint16_t code, const std::u16string* text, std::string_view route, platform::EventFlags flags);
    void releaseKey(std::uint16_t code, const std::optional<std::string>& source);
    bool post(const platform::InputEvent& event);
    Result releaseBeforeStroke();

    base::Executor& queue_;
    const base::Clock& clock_;
    platform::InputSink& sink_;
    Record record_;

    std::unordered_map<std::string, std::uint32_t> lastSeqBySource_;
    std::map<Button, Press> pressed_;
    std::map<std::uint16_t, HeldKey> heldKeys_;
    platform::EventFlags modifiersToCheck_ = 0;
    struct Remainder {
        double dx = 0;
        double dy = 0;
    };
    std::unordered_map<std::string, Remainder> scrollRemainder_;
    platform::DisplayPoint pointerLocation_;
    struct PointerRead {
        platform::DisplayPoint location;
        std::uint64_t moves = 0;  // the sink's move count before the read
        std::uint64_t atMicros = 0;
    };
    std::optional<PointerRead> lastPointerRead_;
    std::int64_t mouseEventNumber_ = 100;
    bool holdCheckScheduled_ = false;
    std::optional<std::uint64_t> holdDeadlineMicros_;
    base::TaskHandle holdCheck_;
};

}  // namespace orvanta::host
