// The client automation's environment: a copy of the process environment taken once, and the
// variables that drive the automation, read exactly as they stand.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "client/directory/HostListStore.h"

namespace orvanta::debug {

using Environment = std::map<std::string, std::string, std::less<>>;

inline constexpr std::string_view kVariablePrefix = "TESSARIL_CLIENT_DEBUG_";
inline constexpr std::string_view kLogVariable = "TESSARIL_CLIENT_DEBUG_LOG";
inline constexpr std::string_view kPairVariable = "TESSARIL_CLIENT_DEBUG_PAIR";
inline constexpr std::string_view kQuitAfterVariable = "TESSARIL_CLIENT_DEBUG_QUIT_AFTER";
inline constexpr std::string_view kTerminateVariable = "TESSARIL_CLIENT_DEBUG_TERMINATE";
inline constexpr std::string_view kConnectVariable = "TESSARIL_CLIENT_DEBUG_CONNECT";
inline constexpr std::string_view kResizeVariable = "TESSARIL_CLIENT_DEBUG_RESIZE";
inline constexpr std::string_view kAspectVariable = "TESSARIL_CLIENT_DEBUG_ASPECT";
inline constexpr std::string_view kInputVariable = "TESSARIL_CLIENT_DEBUG_INPUT";
inline constexpr std::string_view kSideToggleVariable = "TESSARIL_CLIENT_DEBUG_SIDE_TOGGLE";

// The process environment now; later changes are not seen.
Environment environmentSnapshot();

// Any variable with the prefix, whatever its value.
bool hasAutomationVariable(const Environment& env);
std::optional<std::string> value(const Environment& env, std::string_view name);
// Only the exact value "1" is set.
bool flag(const Environment& env, std::string_view name);
// Seconds as a decimal; missing or unparsable is 0.
double seconds(const Environment& env, std::string_view name);

struct PairRequest {
    std::string address;
    std::string codePath;
    client::HostListStore::Kind kind = client::HostListStore::Kind::mac;
    bool operator==(const PairRequest&) const = default;
};

// "address|code file|kind", empty pieces dropped; nothing unless exactly three remain. An unknown
// kind is mac.
std::optional<PairRequest> parsePair(std::string_view text);
std::string_view kindName(client::HostListStore::Kind kind);

}  // namespace orvanta::debug
