#include "debug/DebugEnvironment.h"

#include <charconv>
#include <vector>

extern char** environ;

namespace orvanta::debug {

Environment environmentSnapshot() {
    Environment env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        env.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    return env;
}

bool hasAutomationVariable(const Environment& env) {
    const auto first = env.lower_bound(kVariablePrefix);
    return first != env.end() && first->first.starts_with(kVariablePrefix);
}

std::optional<std::string> value(const Environment& env, std::string_view name) {
    const auto found = env.find(name);
    return found == env.end() ? std::nullopt : std::optional(found->second);
}

bool flag(const Environment& env, std::string_view name) { return value(env, name) == "1"; }

double seconds(const Environment& env, std::string_view name) {
    const auto text = value(env, name);
    if (!text) return 0;
    double parsed = 0;
    const auto* end = text->data() + text->size();
    const auto [stop, ec] = std::from_chars(text->data(), end, parsed);
    return ec == std::errc{} && stop == end ? parsed : 0;
}

std::optional<PairRequest> parsePair(std::string_view text) {
    std::vector<std::string> pieces;
    while (true) {
        const auto bar = text.find('|');
        if (auto piece = text.substr(0, bar); !piece.empty()) pieces.emplace_back(piece);
        if (bar == std::string_view::npos) break;
        text.remove_prefix(bar + 1);
    }
    if (pieces.size() != 3) return std::nullopt;
    using Kind = client::HostListStore::Kind;
    const Kind kind = pieces[2] == "windows" ? Kind::windows : pieces[2] == "ios" ? Kind::ios : Kind::mac;
    return PairRequest{pieces[0], pieces[1], kind};
}

std::string_view kindName(client::HostListStore::Kind kind) {
    switch (kind) {
        case client::HostListStore::Kind::windows:
            return "windows";
        case client::HostListStore::Kind::ios:
            return "ios";
        case client::HostListStore::Kind::mac:
            break;
    }
    return "mac";
}

}  // namespace orvanta::debug
