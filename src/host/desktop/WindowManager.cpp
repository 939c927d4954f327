#include "host/desktop/WindowManager.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "base/NumberText.h"

namespace orvanta::host {

using platform::AXNoValue;
using platform::AXValue;
using platform::Point;
using platform::Size;
using platform::WindowDescription;
using platform::AXError::illegalArgument;

namespace {

constexpr double kAspectTimeoutSeconds = 0.2;
constexpr double kFitTimeoutSeconds = 2.0;
constexpr double kFrameTolerance = 2.0;
constexpr std::size_t kKnownIdsShown = 8;
constexpr double kFrontmostMinimum = 100;
constexpr double kFitMinimumWidth = 120;
constexpr double kFitMinimumHeight = 100;
constexpr double kAspectMinimumWidth = 200;
constexpr double kAspectMinimumHeight = 120;

std::string nfc(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const auto* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return std::string(text);
    auto source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    auto composed = normalizer->normalize(source, status);
    if (U_FAILURE(status)) return std::string(text);
    std::string out;
    composed.toUTF8String(out);
    return out;
}

std::string errorName(int code) {
    switch (code) {
        case -25200:
            return "failure";
        case -25201:
            return "illegalArgument";
        case -25202:
            return "invalidUIElement";
        case -25204:
            return "cannotComplete";
        case -25205:
            return "attributeUnsupported";
        case -25208:
            return "notImplemented";
        case -25211:
            return "apiDisabled";
        case -25212:
            return "noValue";
        default:
            return "AXError";
    }
}

std::string label(std::int32_t pid, std::uint32_t id) {
    return "pid=" + std::to_string(pid) + " CGWindowID=" + std::to_string(id);
}

bool alwaysCurrent() { return true; }

// The failures met while matching: texts without duplicates, and whether any was a time-out.
class FailureLog {
public:
    void record(const AXFailure& failure) {
        if (std::find(texts_.begin(), texts_.end(), failure.description) == texts_.end()) {
            texts_.push_back(failure.description);
        }
        cannotComplete_ = cannotComplete_ || failure.cannotComplete;
    }
    void record(std::string text) { record(AXFailure::text(std::move(text))); }
    bool cannotComplete() const { return cannotComplete_; }
    std::string joined() const {
        auto sorted = texts_;
        std::ranges::stable_sort(sorted, unicodeLess);
        std::string out;
        for (const auto& text : sorted) out += (out.empty() ? "" : " ") + text;
        return out;
    }

private:
    std::vector<std::string> texts_;
    bool cannotComplete_ = false;
};

AXFailure matchedBy(std::string_view source, const AXFailure& frameFailure) {
    return {"matched by " + std::string(source) + "/_AXUIElementGetWindow; " + frameFailure.description,
            frameFailure.cannotComplete};
}

bool finite(const Rect& rect) {
    return std::isfinite(rect.x) && std::isfinite(rect.y) && std::isfinite(rect.width) && std::isfinite(rect.height);
}

}  // namespace

AXFailure AXFailure::fromCode(std::string_view name, int code) {
    return {std::string(name) + "=" + errorName(code) + "(" + std::to_string(code) + ")",
            code == platform::AXError::cannotComplete};
}

std::string formatNumber(double value) { return base::decimalText(value); }

std::string formatRect(const Rect& rect) {
    return "(" + formatNumber(rect.x) + ", " + formatNumber(rect.y) + ", " + formatNumber(rect.width) + ", " +
           formatNumber(rect.height) + ")";
}

bool framesMatch(const Rect& a, const Rect& b) {
    return std::abs(a.x - b.x) <= kFrameTolerance && std::abs(a.y - b.y) <= kFrameTolerance &&
           std::abs(a.width - b.width) <= kFrameTolerance && std::abs(a.height - b.height) <= kFrameTolerance;
}

bool unicodeLess(std::string_view a, std::string_view b) { return nfc(a) < nfc(b); }

WindowManager::WindowManager(platform::WindowSystem& system, platform::IconRenderer& icons, const base::Clock& clock,
                             LogFunction log)
    : system_(system), icons_(icons), clock_(clock), log_(std::move(log)), hostPid_(getpid()) {}

std::optional<AspectWindow> WindowManager::aspectWindow(const WindowDescription& info) {
    if (!info.number || !info.ownerPid || !info.bounds) return std::nullopt;
    return AspectWindow{*info.number, *info.ownerPid, info.ownerName.value_or(std::string(kUnnamedApp)), *info.bounds};
}

std::expected<AXValue, AXFailure> WindowManager::attribute(const AXElement& element, std::string_view name) {
    auto value = system_.copyAttribute(element, name);
    if (!value) return std::unexpected(AXFailure::fromCode(name, value.error()));
    if (std::holds_alternative<AXNoValue>(*value)) {
        return std::unexpected(AXFailure::text(std::string(name) + "=no value returned"));
    }
    return *value;
}

std::expected<Rect, AXFailure> WindowManager::readFrame(const AXElement& element) {
    auto position = attribute(element, "AXPosition");
    if (!position) return std::unexpected(position.error());
    const auto* point = std::get_if<Point>(&*position);
    if (!point || !std::isfinite(point->x) || !std::isfinite(point->y)) {
        return std::unexpected(AXFailure::text("AXPosition=invalid point"));
    }
    auto sizeValue = attribute(element, "AXSize");
    if (!sizeValue) return std::unexpected(sizeValue.error());
    const auto* size = std::get_if<Size>(&*sizeValue);
    if (!size || !std::isfinite(size->width) || !std::isfinite(size->height)) {
        return std::unexpected(AXFailure::text("AXSize=invalid size"));
    }
    return Rect{point->x, point->y, size->width, size->height};
}

std::expected<std::uint32_t, AXFailure> WindowManager::readWindowID(const AXElement& element) {
    auto id = system_.windowID(element);
    if (!id) return std::unexpected(AXFailure::fromCode("_AXUIElementGetWindow", id.error()));
    if (*id == 0) return std::unexpected(AXFailure::text("_AXUIElementGetWindow=null ID"));
    return *id;
}

std::optional<Rect> WindowManager::contentBounds(std::uint32_t windowID) { return contentBounds(system_, windowID); }

std::optional<Rect> WindowManager::contentBounds(platform::WindowSystem& system, std::uint32_t windowID) {
    if (windowID == 0) return std::nullopt;
    auto description = system.windowDescription(windowID);
    auto window = description ? aspectWindow(*description) : std::nullopt;
    if (!window || window->id != windowID) return std::nullopt;
    return description->content.value_or(window->frame);
}

std::optional<WindowTarget> WindowManager::frontmostTarget() {
    auto app = system_.frontmostApplication();
    if (!app || app->pid == hostPid_) return std::nullopt;
    const auto owner = WindowOwner::of(app->pid);
    const std::string appName = app->name.empty() ? std::string(kUnnamedApp) : app->name;
    if (system_.isAccessibilityTrusted()) owner.resumeIfStopped(appName, log_);
    const auto application = AXElement::application(app->pid);
    std::optional<AXElement> window;
    if (auto focused = attribute(application, "AXFocusedWindow")) {
        if (const auto* element = std::get_if<AXElement>(&*focused)) window = *element;
    }
    if (auto windows = window ? std::nullopt : std::optional(attribute(application, "AXWindows"));
        windows && *windows) {
        const auto* list = std::get_if<std::vector<AXElement>>(&**windows);
        if (list && !list->empty()) window = list->front();
    }
    if (!window) return std::nullopt;
    auto frame = readFrame(*window);
    if (!frame || frame->width < kFrontmostMinimum || frame->height < kFrontmostMinimum) return std::nullopt;
    return WindowTarget{appName, owner, *window, *frame};
}

std::optional<WindowTarget> WindowManager::target(const WindowDescription& window, bool forFit) {
    if (!window.ownerPid || !window.number || !window.bounds) return std::nullopt;
    const auto layer = window.layer.value_or(-1);
    if (forFit && (*window.ownerPid == hostPid_ || layer != 0 || window.bounds->width < kFitMinimumWidth ||
                   window.bounds->height < kFitMinimumHeight)) {
        return std::nullopt;
    }
    const auto owner = WindowOwner::of(*window.ownerPid);
    const std::string appName = window.ownerName.value_or(std::string(kUnnamedApp));
    if (forFit && system_.isAccessibilityTrusted()) owner.resumeIfStopped(appName, log_);
    // Matched against accessibility frames, which include the decorations.
    const auto current = aspectWindow(*window.number);
    const auto bounds = current ? current->frame : *window.bounds;
    auto resolved = resolveTarget(owner, appName, *window.number, bounds, layer, false, alwaysCurrent);
    if (!resolved) return std::nullopt;
    return *resolved;
}

void WindowManager::raise(const WindowTarget& target) {
    system_.activateApplication(target.owner.pid);
    system_.performAction(target.axWindow, "AXRaise");
}

std::expected<WindowTarget, ResolveError> WindowManager::resolveTarget(const WindowOwner& owner,
                                                                       std::string_view appName, std::uint32_t id,
                                                                       const Rect& bounds, std::int32_t layer,
                                                                       bool forAspect, const IsCurrent& isCurrent) {
    struct Entry {
        AXElement element;
        std::uint32_t id = 0;
        bool unreadable = false;
    };
    FailureLog failures;
    std::vector<Entry> entries;
    auto found = [&](const AXElement& element, const Rect& frame) {
        return WindowTarget{std::string(appName), owner, element, frame};
    };

    const auto application = AXElement::application(owner.pid);
    system_.setMessagingTimeout(application, forAspect ? kAspectTimeoutSeconds : kFitTimeoutSeconds);
    std::vector<AXElement> windows;
    if (auto list = attribute(application, "AXWindows")) {
        if (const auto* elements = std::get_if<std::vector<AXElement>>(&*list)) {
            windows = *elements;
        } else {
            failures.record("AXWindows=invalid list");
        }
    } else {
        failures.record(list.error());
    }

    for (const auto& element : windows) {
        if (!isCurrent()) return std::unexpected(Cancelled{});
        if (forAspect) system_.setMessagingTimeout(element, kAspectTimeoutSeconds);
        auto windowId = readWindowID(element);
        if (!windowId) {
            failures.record(windowId.error());
            entries.push_back({element, 0, true});
        } else if (*windowId == id) {
            auto frame = readFrame(element);
            if (!frame) return std::unexpected(matchedBy("AXWindows", frame.error()));
            return found(element, *frame);
        } else {
            entries.push_back({element, *windowId, false});
        }
    }

    if (forAspect) {
        for (std::string_view name : {"AXFocusedWindow", "AXMainWindow"}) {
            if (!isCurrent()) return std::unexpected(Cancelled{});
            auto value = attribute(application, name);
            if (!value) {
                failures.record(value.error());
                continue;
            }
            const auto* element = std::get_if<AXElement>(&*value);
            if (!element) {
                failures.record(std::string(name) + "=invalid element");
                continue;
            }
            system_.setMessagingTimeout(*element, kAspectTimeoutSeconds);
            auto windowId = readWindowID(*element);
            if (!windowId) {
                failures.record(windowId.error());
            } else if (*windowId == id) {
                auto frame = readFrame(*element);
                if (!frame) return std::unexpected(matchedBy(name, frame.error()));
                return found(*element, *frame);
            } else {
                failures.record(std::string(name) + ".id=" + std::to_string(*windowId));
            }
        }
    }

    std::vector<std::pair<const Entry*, Rect>> matching;
    for (const auto& entry : entries) {
        if (!entry.unreadable) continue;
        if (!isCurrent()) return std::unexpected(Cancelled{});
        auto frame = readFrame(entry.element);
        if (!frame) {
            failures.record(frame.error());
        } else if (framesMatch(*frame, bounds)) {
            matching.emplace_back(&entry, *frame);
        }
    }

    if (matching.size() == 1) {
        if (!isCurrent()) return std::unexpected(Cancelled{});
        const auto& [candidate, frame] = matching.front();
        auto list = system_.windowList(true);
        if (!list) return std::unexpected(AXFailure::text("keys=CGWindowOwnerPID+layer+bounds peer list unavailable"));
        std::vector<const WindowDescription*> peers;
        for (const auto& description : *list) {
            if (description.ownerPid == owner.pid && description.layer == layer && description.bounds &&
                framesMatch(*description.bounds, frame)) {
                peers.push_back(&description);
            }
        }
        if (peers.size() == 1 && peers.front()->number == id) {
            log_("window fit: matched AX window by frame pid " + std::to_string(owner.pid) + " id " +
                 std::to_string(id));
            return found(candidate->element, frame);
        }
        return std::unexpected(AXFailure::text("keys=CGWindowOwnerPID+layer+bounds frame=" + formatRect(frame) +
                                               " peerMatches=" + std::to_string(peers.size()) + " " +
                                               failures.joined()));
    }

    std::string known;
    std::size_t shown = 0;
    std::size_t unknown = 0;
    for (const auto& entry : entries) {
        if (entry.unreadable) {
            ++unknown;
        } else if (shown < kKnownIdsShown) {
            known += (shown++ == 0 ? "" : ",") + std::to_string(entry.id);
        }
    }
    return std::unexpected(AXFailure{"keys=AXWindows/_AXUIElementGetWindow,AXPosition+AXSize bounds=" +
                                         formatRect(bounds) + " AXWindows.count=" + std::to_string(windows.size()) +
                                         " knownIDs=[" + known + "] unknownIDs=" + std::to_string(unknown) +
                                         " frameMatches=" + std::to_string(matching.size()) + " " + failures.joined(),
                                     failures.cannotComplete()});
}

std::optional<std::vector<AspectWindow>> WindowManager::aspectWindows() {
    auto list = system_.windowList(true);
    if (!list) return std::nullopt;
    std::vector<AspectWindow> windows;
    for (const auto& description : *list) {
        auto window = aspectWindow(description);
        if (description.layer != 0 || !window || window->pid == hostPid_) continue;
        if (window->frame.width >= kAspectMinimumWidth && window->frame.height >= kAspectMinimumHeight) {
            windows.push_back(std::move(*window));
        }
    }
    return windows;
}

std::optional<std::vector<AspectWindow>> WindowManager::aspectEvacuationWindows() {
    auto list = system_.windowList(false);
    if (!list) return std::nullopt;
    std::vector<AspectWindow> windows;
    for (const auto& description : *list) {
        auto window = aspectWindow(description);
        if (description.layer != 0 || !window || window->pid <= 0 || window->pid == hostPid_) continue;
        if (window->id != 0 && !window->frame.isEmpty()) windows.push_back(std::move(*window));
    }
    return windows;
}

std::optional<AspectWindow> WindowManager::aspectWindow(std::uint32_t id) {
    if (id == 0) return std::nullopt;
    auto description = system_.windowDescription(id);
    auto window = description ? aspectWindow(*description) : std::nullopt;
    if (!window || window->id != id) return std::nullopt;
    return window;
}

void WindowManager::visitWindows(const Rect& area, const std::set<std::uint32_t>& excluding, const Visitor& visitor) {
    if (!system_.isAccessibilityTrusted() || area.isEmpty()) return;
    auto list = system_.windowList(false);
    if (!list) return;
    for (const auto& description : *list) {
        if (description.layer != 0 || !description.number || *description.number == 0 ||
            excluding.contains(*description.number)) {
            continue;
        }
        const auto& bounds = description.bounds;
        if (!bounds || bounds->isEmpty() || !area.contains(bounds->midX(), bounds->midY())) continue;
        if (!description.ownerPid || *description.ownerPid == hostPid_) continue;
        auto target = resolveTarget(WindowOwner::of(*description.ownerPid),
                                    description.ownerName.value_or(std::string(kUnnamedApp)), *description.number,
                                    *bounds, 0, false, alwaysCurrent);
        if (target && !target->frame.isEmpty() && area.contains(target->frame.midX(), target->frame.midY())) {
            visitor(*description.number, *target);
        }
    }
}

std::optional<WindowDescription> WindowManager::shareableWindow(std::uint32_t id) {
    auto list = system_.windowList(true);
    if (!list) return std::nullopt;
    auto found = std::ranges::find(*list, std::optional(id), &WindowDescription::number);
    if (found == list->end()) return std::nullopt;
    return *found;
}

std::optional<std::vector<WindowDescription>> WindowManager::selectableWindows() {
    auto list = system_.windowList(true);
    if (!list) return std::nullopt;
    std::erase_if(*list, [&](const WindowDescription& window) {
        return !window.ownerPid || *window.ownerPid == hostPid_ || !window.number || window.layer != 0 ||
               !window.bounds || window.bounds->width < kFitMinimumWidth || window.bounds->height < kFitMinimumHeight;
    });
    return list;
}

std::vector<OpenWindowInfo> WindowManager::openWindows() {
    std::vector<OpenWindowInfo> windows;
    for (const auto& window : selectableWindows().value_or(std::vector<WindowDescription>{})) {
        windows.push_back(
            {*window.number, *window.ownerPid, window.ownerName.value_or(std::string(kUnnamedApp)), window.title});
    }
    std::vector<std::pair<std::pair<std::string, std::string>, std::size_t>> keys;
    for (std::size_t i = 0; i < windows.size(); ++i)
        keys.push_back({{nfc(windows[i].appName), nfc(windows[i].title)}, i});
    std::ranges::sort(keys);
    std::vector<OpenWindowInfo> sorted;
    for (const auto& key : keys) sorted.push_back(std::move(windows[key.second]));
    return sorted;
}

std::optional<base::Bytes> WindowManager::appIconPNG(std::int32_t pid) {
    auto icon = system_.applicationIcon(pid);
    if (!icon) return std::nullopt;
    return icons_.renderPNG(*icon, kAppIconPixels);
}

AspectResolution WindowManager::resolveAspectWindow(const AspectWindow& window, const IsCurrent& isCurrent) {
    if (!isCurrent()) return Cancelled{};
    const auto prefix = label(window.pid, window.id);
    if (!system_.isAccessibilityTrusted()) return AXFailure::text(prefix + " AXIsProcessTrusted=false");
    auto fresh = aspectWindow(window.id);
    if (!fresh) return AXFailure::text(prefix + " CGWindowBounds=window unavailable");
    if (fresh->pid != window.pid) {
        return AXFailure::text(prefix + " CGWindowOwnerPID=" + std::to_string(fresh->pid) + " owner changed");
    }
    auto failed = [&](const AXFailure& failure) -> AspectResolution {
        if (!isCurrent()) return Cancelled{};
        return AXFailure{prefix + " " + failure.description, failure.cannotComplete};
    };
    auto target =
        resolveTarget(WindowOwner::of(window.pid), window.appName, window.id, fresh->frame, 0, true, isCurrent);
    if (!target) {
        if (std::holds_alternative<Cancelled>(target.error())) return Cancelled{};
        return failed(std::get<AXFailure>(target.error()));
    }
    auto reason = nonstandardReason(target->axWindow);
    if (!reason) return failed(reason.error());
    if (!isCurrent()) return Cancelled{};
    if (*reason) return AspectExcluded{prefix + " " + **reason};
    return *target;
}

std::expected<std::optional<std::string>, AXFailure> WindowManager::nonstandardReason(const AXElement& element) {
    auto text = [&](std::string_view name) -> std::expected<std::string, AXFailure> {
        auto value = attribute(element, name);
        if (!value) return std::unexpected(value.error());
        if (const auto* string = std::get_if<std::string>(&*value)) return *string;
        return std::unexpected(AXFailure::text(std::string(name) + "=invalid value"));
    };
    auto role = text("AXRole");
    if (!role) return std::unexpected(role.error());
    if (*role != "AXWindow") return "AXRole!=AXWindow";
    auto subrole = text("AXSubrole");
    if (!subrole) return std::unexpected(subrole.error());
    if (*subrole != "AXStandardWindow") return "AXSubrole!=AXStandardWindow";
    auto minimized = attribute(element, "AXMinimized");
    if (!minimized) return std::unexpected(minimized.error());
    const auto* flag = std::get_if<bool>(&*minimized);
    if (!flag) return std::unexpected(AXFailure::text("AXMinimized=invalid value"));
    if (*flag) return "AXMinimized=true";
    return std::nullopt;
}

AspectFrameResult WindowManager::checkAspectFrame(const AXElement& element, const Rect& expected, bool positionOnly) {
    const auto deadline = clock_.uptimeMicros() + kFrameSettleMicros;
    for (;;) {
        auto frame = readFrame(element);
        if (!frame) {
            return {std::nullopt, false, "read " + frame.error().description + " expected=" + formatRect(expected),
                    false, frame.error().cannotComplete};
        }
        auto compared = expected;
        if (positionOnly) {
            compared.width = frame->width;
            compared.height = frame->height;
        }
        const bool matches = framesMatch(*frame, compared);
        const auto now = clock_.uptimeMicros();
        if (matches || now >= deadline) {
            return {*frame, matches, "actual=" + formatRect(*frame) + " expected=" + formatRect(compared), false,
                    false};
        }
        system_.waitForFrameChange(element, deadline - now);
    }
}

AspectFrameResult WindowManager::applyAspectFrame(const AXElement& element, const Rect& expected, bool positionOnly,
                                                  bool requireInitialMove, const IsCurrent& isCurrent) {
    if (!isCurrent()) return AspectFrameResult::cancelledResult();
    std::vector<AXFailure> failures;
    auto write = [&](std::string_view name, std::string_view failureName, const AXValue& value) {
        const int code = finite(expected) ? system_.setAttribute(element, name, value) : illegalArgument;
        if (code == platform::AXError::success) return true;
        failures.push_back(AXFailure::fromCode(failureName, code));
        return false;
    };
    const Point origin{expected.x, expected.y};
    const bool moved = write("AXPosition", "write AXPosition", origin);
    if (!positionOnly && (moved || !requireInitialMove)) {
        if (!isCurrent()) return AspectFrameResult::cancelledResult();
        write("AXSize", "write AXSize", Size{expected.width, expected.height});
        if (!isCurrent()) return AspectFrameResult::cancelledResult();
        write("AXPosition", "rewrite AXPosition", origin);
    }
    if (!isCurrent()) return AspectFrameResult::cancelledResult();
    auto check = checkAspectFrame(element, expected, positionOnly);
    if (!isCurrent()) return AspectFrameResult::cancelledResult();
    if (failures.empty()) return check;
    std::string diagnostic;
    bool cannotComplete = check.cannotComplete;
    for (const auto& failure : failures) {
        diagnostic += failure.description + " ";
        cannotComplete = cannotComplete || failure.cannotComplete;
    }
    return {check.actual, check.matches, diagnostic + check.diagnostic, false, cannotComplete};
}

}  // namespace orvanta::host
