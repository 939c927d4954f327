#include "host/desktop/InputInjector.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include "base/DispatchQueue.h"
#include "base/NumberText.h"

namespace orvanta::host {

using platform::DisplayPoint;
using platform::DisplayRect;
using platform::MouseEventType;
using protocol::PointerInput;
using Result = InputInjector::Result;

// ---------------------------------------------------------------------------------------------
// Diagnostic log

namespace InputDiagnosticLog {

std::string formatLine(std::chrono::system_clock::time_point when, std::string_view message) {
    const auto days = std::chrono::floor<std::chrono::days>(when);
    const std::chrono::year_month_day ymd{days};
    const std::chrono::hh_mm_ss time{std::chrono::floor<std::chrono::milliseconds>(when - days)};
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return stamp + std::string(message) + "\n";
}

bool appendLine(const std::string& path, std::string_view line) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct stat st {};
    const bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1 &&
                      (st.st_mode & 077) == 0;
    const bool written = ours && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    return written;
}

void record(std::string message) {
    // Lives for the process: lines may still be queued while static objects are destroyed.
    static auto* writer = new base::DispatchQueue("orvanta.input-log");
    writer->async(
        [line = formatLine(std::chrono::system_clock::now(), message)] { appendLine(std::string(kPath), line); });
}

}  // namespace InputDiagnosticLog

// ---------------------------------------------------------------------------------------------
// Construction, sequence filter, sessions

namespace {

// A counter at its top is followed by 1 again; a small number right after a number this close to
// the top is the next message, not a stale one.
constexpr std::uint32_t kSequenceWrapWindow = 0x10000;

// Per button, in the order every release walks them: left, right, middle.
struct ButtonEvents {
    std::string_view name;
    MouseEventType down;
    MouseEventType up;
};
constexpr std::array<ButtonEvents, 3> kButtonEvents{{
    {"left", MouseEventType::leftDown, MouseEventType::leftUp},
    {"right", MouseEventType::rightDown, MouseEventType::rightUp},
    {"middle", MouseEventType::otherDown, MouseEventType::otherUp},
}};

std::string bit(bool on) { return on ? "1" : "0"; }

std::string modsText(bool command, bool control, bool option, bool shift) {
    return "mods=cmd:" + bit(command) + ",ctrl:" + bit(control) + ",opt:" + bit(option) + ",shift:" + bit(shift);
}

bool isFinite(const std::optional<double>& value) { return value && std::isfinite(*value); }

}  // namespace

InputInjector::InputInjector(base::Executor& queue, const base::Clock& clock, platform::InputSink& sink, Record record)
    : queue_(queue), clock_(clock), sink_(sink), record_(std::move(record)) {}

InputInjector::~InputInjector() { holdCheck_.cancel(); }

bool InputInjector::acceptSequence(std::uint32_t seq, const std::string& source) {
    if (seq == 0) return true;
    const auto found = lastSeqBySource_.find(source);
    if (found != lastSeqBySource_.end() && seq <= found->second) {
        const bool wrapped = found->second > std::numeric_limits<std::uint32_t>::max() - kSequenceWrapWindow &&
                             seq <= kSequenceWrapWindow;
        if (!wrapped) return false;
    }
    lastSeqBySource_[source] = seq;
    return true;
}

void InputInjector::beginSession(const std::string& source) {
    record_("input session begin");
    scrollRemainder_.erase(source);
    lastSeqBySource_[source] = 0;
    releaseKeys(source);
    releaseModifiers(false, {});
    releasePressed(pointerLocation_, nullptr);
    refreshHoldTimeout();
}

void InputInjector::endSession(const std::string& source, bool releaseAllSources) {
    scrollRemainder_.erase(source);
    lastSeqBySource_.erase(source);
    releaseKeys(releaseAllSources ? std::nullopt : std::optional(source));
    releaseModifiers(false, {});
    releasePressed(pointerLocation_, nullptr);
    refreshHoldTimeout();
    record_("input session end");
}

bool InputInjector::releasePointerInputs(bool includingUntrackedInputs, const std::set<std::uint16_t>& alreadyReleased,
                                         const PointerInput* input) {
    const DisplayPoint at = includingUntrackedInputs ? currentLocation() : pointerLocation_;
    const bool modifiersReleased = releaseModifiers(includingUntrackedInputs, alreadyReleased);
    for (const Button button : kButtons) {
        if (pressed_.contains(button)) {
            postUp(button, at, input);
        } else if (includingUntrackedInputs) {
            postMouse(kButtonEvents[std::size_t(button)].up, at, mouseEventNumber_, 0, input);
        }
    }
    refreshHoldTimeout();
    if (includingUntrackedInputs) record_("session phase=release-all");
    return modifiersReleased && pressed_.empty();
}

// ---------------------------------------------------------------------------------------------
// Coordinates

DisplayRect InputInjector::displayBounds() {
    if (targetRect) return *targetRect;
    const DisplayRect d = sink_.displayBounds(displayID).value_or(DisplayRect{});
    if (!displayContentRect || !(displayContentRect->width > 0) || !(displayContentRect->height > 0)) return d;
    const DisplayRect& c = *displayContentRect;
    const double width = d.width / c.width;
    const double height = d.height / c.height;
    return {d.x - c.x * width, d.y - c.y * height, width, height};
}

std::optional<DisplayRect> InputInjector::visibleContentRect() {
    if (targetRect) return visibleWindowRect;
    if (displayContentRect) return sink_.displayBounds(displayID).value_or(DisplayRect{});
    return std::nullopt;
}

DisplayPoint InputInjector::point(double x, double y) {
    const DisplayRect b = displayBounds();
    return {b.x + std::min(std::max(x, 0.0) * b.width, b.width - 1),
            b.y + std::min(std::max(y, 0.0) * b.height, b.height - 1)};
}

std::optional<DisplayPoint> InputInjector::mappedPoint(double x, double y) {
    if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
    // Without a display there is nowhere to put the pointer.
    const DisplayRect bounds = displayBounds();
    if (!(bounds.width >= 1) || !(bounds.height >= 1)) return std::nullopt;
    const DisplayPoint p = point(x, y);
    if (const auto visible = visibleContentRect(); visible && !visible->contains(p)) return std::nullopt;
    return p;
}

DisplayPoint InputInjector::currentLocation() { return sink_.cursorLocation().value_or(pointerLocation_); }

// The count is taken before the read, so a move while the read is under way shows next time.
DisplayPoint InputInjector::watchedLocation() {
    const std::uint64_t now = clock_.uptimeMicros();
    const std::optional<std::uint64_t> moves = sink_.pointerMoves();
    if (moves && lastPointerRead_ && lastPointerRead_->moves == *moves &&
        now - lastPointerRead_->atMicros < kUnreportedMoveCheckMicros) {
        return lastPointerRead_->location;
    }
    const std::optional<DisplayPoint> location = sink_.cursorLocation();
    lastPointerRead_.reset();
    if (moves && location) lastPointerRead_ = PointerRead{*location, *moves, now};
    return location.value_or(pointerLocation_);
}

InputInjector::NormalizedCursor InputInjector::cursorNormalized(std::optional<DisplayPoint> at) {
    const DisplayRect b = displayBounds();
    const DisplayPoint p = at ? *at : watchedLocation();
    if (!(b.width > 0) || !(b.height > 0)) return {};
    const auto visible = visibleContentRect();
    return {(p.x - b.x) / b.width, (p.y - b.y) / b.height, visible ? visible->contains(p) : b.contains(p)};
}

// ---------------------------------------------------------------------------------------------
// Pointer

Result InputInjector::handle(const PointerInput& input, const std::string& source) {
    if (!acceptSequence(input.seq, source)) return Result::ok;
    if (input.action == "cancel") return releaseAll(source, pointerLocation_, input);

    const bool hasPoint = input.x && input.y;
    const std::optional<DisplayPoint> target = hasPoint ? mappedPoint(*input.x, *input.y) : std::nullopt;
    if (input.action == "up") {
        if (target) pointerLocation_ = *target;
        return releaseAll(std::nullopt, pointerLocation_, input);
    }
    if (hasPoint && !target) return Result::ok;
    if (!sink_.trusted()) return Result::needsAccessibility;
    if (!releaseModifiers(false, {})) return Result::rejected;

    const std::string& action = input.action;
    if (action == "move") return move(input, target);
    if (action == "down") {
        if (!target) return Result::rejected;
        return press(Button::left, *target, input.clickState == 2 ? 2 : 1, true, &input);
    }
    if (action == "drag") return drag(input, target);
    if (action == "keepalive") {
        const auto left = pressed_.find(Button::left);
        if (left != pressed_.end() && !left->second.pendingUp) refreshHoldTimeout();
        return Result::ok;
    }
    if (action == "scroll") return scroll(input, target, source);
    if (action == "click" || action == "double" || action == "right" || action == "middle") {
        const DisplayPoint at = target.value_or(currentLocation());
        if (visibleWindowRect && !visibleWindowRect->contains(at)) return Result::ok;
        const Button button = action == "right" ? Button::right : action == "middle" ? Button::middle : Button::left;
        return press(button, at, action == "double" ? 2 : 1, false, &input);
    }
    return Result::rejected;
}

Result InputInjector::releaseAll(const std::optional<std::string>& keysOf, DisplayPoint at, const PointerInput& input) {
    if (keysOf) releaseKeys(keysOf);
    const bool modifiersReleased = releaseModifiers(false, {});
    releasePressed(at, &input);
    refreshHoldTimeout();
    return modifiersReleased && pressed_.empty() ? Result::ok : Result::rejected;
}

void InputInjector::releasePressed(DisplayPoint at, const PointerInput* input) {
    for (const Button button : kButtons) {
        if (pressed_.contains(button)) postUp(button, at, input);
    }
}

bool InputInjector::postUp(Button button, DisplayPoint at, const PointerInput* input) {
    Press& press = pressed_.at(button);
    if (postMouse(kButtonEvents[std::size_t(button)].up, at, press.number, press.count, input)) {
        pressed_.erase(button);
        return true;
    }
    press.pendingUp = true;
    return false;
}

Result InputInjector::move(const PointerInput& input, std::optional<DisplayPoint> target) {
    if (!target) {
        if (!isFinite(input.dx) || !isFinite(input.dy)) return Result::rejected;
        const DisplayPoint from = currentLocation();
        const DisplayRect r = visibleContentRect().value_or(displayBounds());
        if (!(r.width >= 1) || !(r.height >= 1)) return Result::ok;  // nowhere to move to
        target = DisplayPoint{std::min(std::max(r.minX(), from.x + *input.dx), r.maxX() - 1),
                              std::min(std::max(r.minY(), from.y + *input.dy), r.maxY() - 1)};
    }
    const auto left = pressed_.find(Button::left);
    if (left != pressed_.end() && left->second.pendingUp) return Result::rejected;
    pointerLocation_ = *target;
    if (left != pressed_.end()) {
        if (!postMouse(MouseEventType::leftDragged, *target, left->second.number, left->second.count, &input)) {
            return Result::rejected;
        }
        refreshHoldTimeout();
        return Result::ok;
    }
    return postMouse(MouseEventType::moved, *target, mouseEventNumber_, 0, &input) ? Result::ok : Result::rejected;
}

Result InputInjector::drag(const PointerInput& input, std::optional<DisplayPoint> target) {
    const auto left = pressed_.find(Button::left);
    if (left == pressed_.end() || !target || left->second.pendingUp) return Result::rejected;
    pointerLocation_ = *target;
    if (!postMouse(MouseEventType::leftDragged, *target, left->second.number, left->second.count, &input)) {
        return Result::rejected;
    }
    refreshHoldTimeout();
    return Result::ok;
}

Result InputInjector::scroll(const PointerInput& input, std::optional<DisplayPoint> target, const std::string& source) {
    constexpr double kMaxDelta = 500;
    const auto inRange = [](const std::optional<double>& d) { return isFinite(d) && std::abs(*d) <= kMaxDelta; };
    if (!inRange(input.dx) || !inRange(input.dy)) return Result::rejected;
    if (target) pointerLocation_ = *target;
    if (visibleWindowRect && !visibleWindowRect->contains(pointerLocation_)) return Result::ok;

    const Remainder remainder = scrollRemainder_.contains(source) ? scrollRemainder_.at(source) : Remainder{};
    const double h = remainder.dx + *input.dx;
    const double v = remainder.dy + *input.dy;
    const auto wholeH = static_cast<std::int32_t>(std::trunc(h));
    const auto wholeV = static_cast<std::int32_t>(std::trunc(v));
    if (wholeH != 0 || wholeV != 0) {
        if (!sink_.hasEventSource()) return Result::rejected;
        const platform::ScrollEvent event{pointerLocation_, wholeV, wholeH, heldFlags(), source};
        if (!post(event)) return Result::rejected;
    }
    if (h == wholeH && v == wholeV) {
        scrollRemainder_.erase(source);
    } else {
        scrollRemainder_[source] = {h - wholeH, v - wholeV};
    }
    return Result::ok;
}

Result InputInjector::press(Button button, DisplayPoint at, std::int64_t count, bool hold, const PointerInput* input) {
    for (const Button b : kButtons) {
        const auto held = pressed_.find(b);
        if (held == pressed_.end()) continue;
        const bool keepLeft = button != Button::left && held->first == Button::left && !held->second.pendingUp;
        if (!keepLeft) postUp(held->first, pointerLocation_, input);
    }
    if (std::ranges::any_of(pressed_, [](const auto& entry) { return entry.second.pendingUp; })) {
        refreshHoldTimeout();
        return Result::rejected;
    }
    const std::int64_t number = mouseEventNumber_ + 1;
    if (!postMouse(kButtonEvents[std::size_t(button)].down, at, number, count, input)) return Result::rejected;
    mouseEventNumber_ = number;
    pressed_[button] = Press{number, count, false};
    pointerLocation_ = at;
    if (!hold) postUp(button, at, input);
    refreshHoldTimeout();
    const auto still = pressed_.find(button);
    return still != pressed_.end() && still->second.pendingUp ? Result::rejected : Result::ok;
}

bool InputInjector::postMouse(MouseEventType type, DisplayPoint at, std::int64_t number, std::int64_t count,
                              const PointerInput* input) {
    if (!sink_.hasEventSource()) return false;
    const platform::MouseEvent event{type, at, count, number, heldFlags()};
    if (!post(event)) return false;

    const auto button =
        std::ranges::find_if(kButtonEvents, [type](const ButtonEvents& b) { return b.down == type || b.up == type; });
    if (button == kButtonEvents.end()) return true;  // moves and drags write no line
    const bool down = type == button->down;
    const auto flag = [input](const std::optional<bool> PointerInput::*field) {
        return input && (input->*field).value_or(false);
    };
    record_("pointer button=" + std::string(button->name) + " phase=" + (down ? "down" : "up") +
            " x=" + base::decimalText(at.x) + " y=" + base::decimalText(at.y) +
            " route=normal action=" + (input ? input->action : std::string("-")) + " count=" + std::to_string(count) +
            " clickState=" + std::to_string(event.clickState) + " " +
            modsText(flag(&PointerInput::command), flag(&PointerInput::control), flag(&PointerInput::option),
                     flag(&PointerInput::shift)));
    return true;
}

bool InputInjector::post(const platform::InputEvent& event) { return sink_.post(event).has_value(); }

// ---------------------------------------------------------------------------------------------
// Hold timeout

void InputInjector::refreshHoldTimeout() {
    holdDeadlineMicros_ =
        pressed_.empty() ? std::nullopt : std::optional(clock_.uptimeMicros() + std::uint64_t(kHoldTimeout.count()));
    scheduleHoldCheck();
}

void InputInjector::scheduleHoldCheck() {
    if (holdCheckScheduled_ || !holdDeadlineMicros_) return;
    holdCheckScheduled_ = true;
    const std::uint64_t now = clock_.uptimeMicros();
    const auto delay = base::Micros(*holdDeadlineMicros_ > now ? *holdDeadlineMicros_ - now : 0);
    // Cancelled by the destructor, so a check never outlives the injector.
    holdCheck_ = queue_.asyncAfter(delay, [this] { holdCheck(); });
}

void InputInjector::holdCheck() {
    holdCheckScheduled_ = false;
    if (!holdDeadlineMicros_) return;
    if (*holdDeadlineMicros_ > clock_.uptimeMicros()) {
        scheduleHoldCheck();
        return;
    }
    releaseModifiers(false, {});
    releasePressed(pointerLocation_, nullptr);
    refreshHoldTimeout();
}

}  // namespace orvanta::host
