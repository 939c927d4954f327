// Keeps the client side from connecting to the host side of this same process: the host publishes
// its identifier here, and saved hosts are compared with it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvanta::client {

// The host identifier this process's host side published; written on the host's queue and read on
// the main thread, under one lock.
class LocalHostIdentity {
public:
    // An empty identifier clears it.
    static void publish(std::string_view hostId);
    // Nothing before the host side published one.
    static std::optional<std::string> hostId();
};

namespace SelfConnectionGuard {

// True when both identifiers are present, non-empty once surrounding white space is trimmed, and
// equal ignoring case (full Unicode upper-casing).
bool isSelfConnection(const std::optional<std::string>& entryHostId, const std::optional<std::string>& localHostId);

}  // namespace SelfConnectionGuard

}  // namespace orvanta::client
