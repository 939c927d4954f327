#include "client/ui/ClientScreenRules.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "base/Url.h"
#include "client/ui/SessionOverlay.h"
#include "client/viewer/ClientModel.h"
#include "protocol/DeviceNameDisplay.h"

namespace orvanta::client {

ThemeColour stateColour(SessionState state) {
    switch (stateTone(state)) {
        case StateTone::ok:
            return ThemeColour::stateOK;
        case StateTone::warning:
            return ThemeColour::stateWarn;
        case StateTone::danger:
            return ThemeColour::danger;
        case StateTone::muted:
            break;
    }
    return ThemeColour::muted;
}

namespace {

bool isListState(SessionState state) {
    return state == SessionState::disconnected || state == SessionState::authFailed || state == SessionState::revoked;
}

}  // namespace

bool showingList(bool visible, bool immersive, bool showingConnectScreen, SessionState state) {
    if (!visible || immersive) return false;
    if (showingConnectScreen) return true;
    if (state == SessionState::takenOver) return false;
    return isListState(state);
}

bool sessionShown(SessionState state, bool showingConnectScreen) {
    return !isListState(state) && !showingConnectScreen;
}

ConnectionMenu connectionMenu(SessionState state, bool isSelfConnection) {
    const bool live = ClientModel::isLive(state);
    return {.list = live && !isSelfConnection, .gameKeyboard = live, .disconnect = live, .backToHosts = live};
}

std::string shortNumber(double value) {
    std::array<char, 32> buffer{};
    const auto written =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::general, 6);
    return {buffer.data(), written.ptr};
}

std::string timesText(double value) { return shortNumber(value) + "倍"; }

std::size_t nearestScaleIndex(double scale) {
    const auto& choices = ConnectionManager::kDisplayAspectScaleChoices;
    std::size_t best = 0;
    for (std::size_t i = 1; i < choices.size(); ++i) {
        if (std::abs(choices[i] - scale) < std::abs(choices[best] - scale)) best = i;
    }
    return best;
}

double shownCursorScale(double stored) {
    if (!std::isfinite(stored)) return 1;
    if (stored <= kCursorScaleMin) return kCursorScaleMin;
    return std::round(std::min(stored, 2.0) / kCursorScaleStep) * kCursorScaleStep;
}

std::string hostName(const HostListStore::Entry& entry) {
    auto name = protocol::trimmedDeviceNameForDisplay(entry.displayName);
    if (base::trimWhitespace(name).empty()) return std::string(kUnnamedHost);
    return name;
}

std::optional<std::string> distinction(const HostListStore::Entry& entry,
                                       const std::vector<HostListStore::Entry>& entries) {
    const std::string name = hostName(entry);
    const bool shared = std::ranges::any_of(
        entries, [&](const HostListStore::Entry& other) { return other.id != entry.id && hostName(other) == name; });
    if (!shared) return std::nullopt;
    const auto url = base::Url::parse(entry.baseURL);
    if (!url) return std::nullopt;
    const auto host = url->decodedHost();
    if (!host || host->empty()) return std::nullopt;
    std::string text = *host;
    if (url->port) text += ":" + std::to_string(*url->port);
    text += base::percentDecode(url->path).value_or(url->path);
    text += " · ";
    text += HostListStore::label(entry.kind);
    return text;
}

std::string nearbyTitle(std::string_view advertisedName) {
    auto title = protocol::trimmedDeviceNameForDisplay(advertisedName);
    return title.empty() ? std::string(kUnnamedHost) : title;
}

bool wideLayout(double width) { return width - 2 * DesktopLayout::kPadding >= DesktopLayout::kTwoColumnMinWidth; }

double newWindowHeight(double fittingHeight, std::optional<double> visibleHeight, double titleBarHeight) {
    const double fitting = std::ceil(fittingHeight);
    const double height = visibleHeight ? std::min(*visibleHeight - titleBarHeight, fitting) : fitting;
    return std::max(height, kNewWindowMinimumHeight);
}

}  // namespace orvanta::client
