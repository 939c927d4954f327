#include "client/ui/SessionOverlay.h"

#include <cmath>
#include <cstdint>

namespace orvanta::client {

namespace {

using State = ConnectionManager::State;

constexpr std::string_view kSeparator = " · ";

// Whole pixels, the fraction dropped; a size that is no number shows as 0.
std::string wholePixels(double side) {
    return std::isfinite(side) && side > 0 ? std::to_string(static_cast<std::int64_t>(side)) : "0";
}

}  // namespace

std::string_view indicatorTitle(State state) {
    switch (state) {
        case State::disconnected:
            return "未接続";
        case State::connecting:
            return "接続中…";
        case State::connected:
            return "接続中";
        case State::locked:
            return "ホストがロック中";
        case State::busy:
            return "別の端末が使用中";
        case State::controller:
            return "入力専用で参加中";
        case State::takenOver:
            return "別の端末へ切り替わりました";
        case State::recovering:
        case State::decodeError:
            return "復帰中…";
        case State::authFailed:
            return "接続できません";
        case State::revoked:
            return "ペアリングし直してください";
    }
    return "";
}

StateTone stateTone(State state) {
    switch (state) {
        case State::connected:
        case State::controller:
            return StateTone::ok;
        case State::locked:
        case State::busy:
        case State::takenOver:
        case State::recovering:
        case State::decodeError:
            return StateTone::warning;
        case State::authFailed:
        case State::revoked:
        case State::disconnected:
            return StateTone::danger;
        case State::connecting:
            return StateTone::muted;
    }
    return StateTone::muted;
}

std::string statusLine(const OverlayFacts& facts) {
    if (facts.state != State::connected) return std::string(indicatorTitle(facts.state));
    if (!facts.receivedFrame) return "映像を待っています…";
    if (facts.viewOnly) return "表示専用";
    const bool named = facts.hostDisplayName && !facts.hostDisplayName->empty();
    return "接続中 · " + (named ? *facts.hostDisplayName : std::string("名前のない端末"));
}

std::string measurements(const OverlayFacts& facts) {
    if (facts.state != State::connected || !facts.receivedFrame) return {};
    return wholePixels(facts.streamSize.width) + "×" + wholePixels(facts.streamSize.height) + std::string(kSeparator) +
           std::to_string(facts.fps) + " fps";
}

std::string compactTooltip(const OverlayFacts& facts) {
    std::string tooltip = statusLine(facts);
    const std::string stream = measurements(facts);
    if (tooltip.empty()) return stream;
    if (!stream.empty()) tooltip += std::string(kSeparator) + stream;
    return tooltip;
}

std::string_view buttonTitle(OverlayButton button) {
    switch (button) {
        case OverlayButton::settings:
            return "設定";
        case OverlayButton::fullScreen:
            return "全画面";
        case OverlayButton::disconnect:
            return "切断";
        case OverlayButton::takeOver:
            return "こちらに切り替える";
        case OverlayButton::joinAsController:
            return "入力専用で参加";
        case OverlayButton::stop:
            return "やめる";
        case OverlayButton::returnHere:
            return "こちらに戻す";
        case OverlayButton::close:
            return "閉じる";
        case OverlayButton::showHere:
            return "この端末で表示";
    }
    return "";
}

std::vector<OverlayButton> actionButtons(State state, bool viewOnly) {
    using B = OverlayButton;
    switch (state) {
        case State::busy:
            if (viewOnly) return {B::settings, B::takeOver, B::stop};
            return {B::settings, B::takeOver, B::joinAsController, B::stop};
        case State::takenOver:
            return {B::settings, B::returnHere, B::close};
        case State::controller:
            return {B::settings, B::showHere, B::disconnect};
        default:
            return {B::settings, B::disconnect};
    }
}

std::vector<OverlayButton> compactBarButtons() {
    return {OverlayButton::settings, OverlayButton::fullScreen, OverlayButton::disconnect};
}

bool isDestructive(OverlayButton button) { return button == OverlayButton::disconnect; }

bool isCompactBar(State state) { return state == State::connected; }

bool showsStateLabel(const OverlayFacts& facts) { return !isCompactBar(facts.state) || !facts.receivedFrame; }

bool showsVideoSurface(const OverlayFacts& facts) {
    if (facts.immersive) return true;
    if (facts.showingConnectScreen) return false;
    switch (facts.state) {
        case State::connecting:
        case State::connected:
        case State::locked:
        case State::controller:
        case State::recovering:
        case State::decodeError:
            return true;
        default:
            return false;
    }
}

std::optional<std::string_view> caption(State state) {
    if (state == State::controller) return "映像面を選ぶと遠隔入力できます。";
    return std::nullopt;
}

OverlayLayout overlayLayout(double offeredWidth, double labelWidth, double actionsRowWidth) {
    const bool actionsInRow = actionsRowWidth <= offeredWidth;
    const bool barInRow = labelWidth + kBarSpacing + actionsRowWidth <= offeredWidth;
    return {barInRow, barInRow || actionsInRow};
}

}  // namespace orvanta::client
