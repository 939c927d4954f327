// The URL parser on arbitrary text, with the two callers that take URLs from outside: a pair link
// (pasted or scanned) and the base URL of a host found by DNS-SD (named by any device on the LAN).
// Whatever parses must give back printable ASCII that parses to the same components; a pair link
// must carry a base URL that parses; a DNS-SD base URL must parse to exactly its parts, its host
// decoding to the announced name.
//
// Input layout: bytes 0 and 1 are a big-endian port for the DNS-SD base URL; the rest is the text
// given to all three.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/Url.h"
#include "client/directory/PairLink.h"
#include "protocol/BonjourDiscovery.h"

namespace {

using orvanta::base::Url;

void check(bool condition) {
    if (!condition) std::abort();
}

bool isPrintableAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

void checkUrl(std::string_view text) {
    const auto url = Url::parse(text);
    if (!url) return;
    const std::string written = url->text();
    check(isPrintableAscii(written));
    check(Url::parse(written) == url);
    (void)url->decodedHost();
    (void)url->queryItems();
}

void checkPairLink(std::string_view text) {
    const auto link = orvanta::client::PairLink::parse(text);
    if (!link) return;
    check(!link->code.empty());
    const auto base = Url::parse(link->baseURL);
    check(base && base->host && !base->host->empty() && !base->user);
    check(isPrintableAscii(link->baseURL));
}

void checkBaseUrl(std::string_view hostName, std::uint16_t port) {
    const auto text = orvanta::protocol::BonjourDiscovery::baseURL(hostName, port);
    if (!text) return;
    const auto url = Url::parse(*text);
    check(url && url->scheme == "http" && url->port == port && url->host && !url->host->empty());
    check(!url->user && url->path.empty() && !url->query && !url->fragment);
    check(url->text() == *text && isPrintableAscii(*text));
    // The resolver is handed the decoded host: exactly the name the responder announced.
    if (hostName.ends_with('.')) hostName.remove_suffix(1);
    check(url->decodedHost() == hostName);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const auto port = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
    const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
    checkUrl(text);
    checkPairLink(text);
    checkBaseUrl(text, port);
    return 0;
}
