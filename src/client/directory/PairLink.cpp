#include "client/directory/PairLink.h"

#include <algorithm>
#include <cctype>

#include "base/Url.h"

namespace orvanta::client {
namespace {

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    std::ranges::transform(out, out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The value of the one item named `name`; nothing when there is none, several or no value.
std::optional<std::string> onlyValue(const std::vector<base::UrlQueryItem>& items, std::string_view name) {
    auto named = [&](const base::UrlQueryItem& item) { return item.name == name; };
    if (std::ranges::count_if(items, named) != 1) return std::nullopt;
    return std::ranges::find_if(items, named)->value;
}

bool isHttpsBaseURL(std::string_view text) {
    auto url = base::Url::parse(text);
    return url && lowerAscii(url->scheme) == "https" && url->host && !url->host->empty() && !url->user &&
           !url->password;
}

}  // namespace

std::optional<PairLink> PairLink::parse(std::string_view text) {
    auto link = base::Url::parse(base::trimWhitespace(text));
    if (!link || lowerAscii(link->scheme) != "orvanta") return std::nullopt;
    auto host = link->decodedHost();
    if (!host || lowerAscii(*host) != "pair" || !link->path.empty()) return std::nullopt;

    auto items = link->queryItems();
    auto baseURL = onlyValue(items, "u");
    auto code = onlyValue(items, "c");
    if (!baseURL || !isHttpsBaseURL(*baseURL) || !code || code->empty()) return std::nullopt;
    return PairLink{std::move(*baseURL), std::move(*code)};
}

}  // namespace orvanta::client
