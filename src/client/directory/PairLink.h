// A pair link ("orvanta://pair?u=<base URL>&c=<code>") pasted or scanned on the client: the
// host's base URL and the pairing code it carries.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvanta::client {

struct PairLink {
    std::string baseURL;  // an "https" URL with a host, as the link carries it
    std::string code;     // as the link carries it, never trimmed or re-cased

    // Nothing unless `text`, without surrounding white space, is such a link: scheme "orvanta" and
    // host "pair" in any case, no path, exactly one "u" and one "c" item, "u" an "https" URL with a
    // host and no user or password, "c" not empty. Other query items are ignored.
    static std::optional<PairLink> parse(std::string_view text);

    bool operator==(const PairLink&) const = default;
};

}  // namespace orvanta::client
