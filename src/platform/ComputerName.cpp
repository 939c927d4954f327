#include "platform/ComputerName.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace orvanta::platform {
namespace {

constexpr std::string_view kPrettyKey = "PRETTY_HOSTNAME=";

// One value of an environment-style file: bare, or in single or double quotes, with backslash
// escapes outside single quotes.
std::string unquote(std::string_view raw) {
    std::string value;
    char quote = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (quote == 0 && (c == '"' || c == '\'')) {
            quote = c;
        } else if (quote != 0 && c == quote) {
            quote = 0;
        } else if (c == '\\' && quote != '\'' && i + 1 < raw.size()) {
            value += raw[++i];
        } else if (quote == 0 && (c == ' ' || c == '\t')) {
            break;  // an unquoted value ends at white space
        } else {
            value += c;
        }
    }
    return value;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

std::optional<std::string> prettyHostname(std::string_view machineInfo) {
    std::optional<std::string> found;
    while (!machineInfo.empty()) {
        const auto end = machineInfo.find('\n');
        const std::string_view line = trimmed(machineInfo.substr(0, end));
        machineInfo = end == std::string_view::npos ? std::string_view{} : machineInfo.substr(end + 1);
        if (line.starts_with(kPrettyKey)) found = unquote(line.substr(kPrettyKey.size()));
    }
    if (!found || found->empty()) return std::nullopt;
    return found;
}

std::optional<std::string> computerName(const std::filesystem::path& machineInfo) {
    std::ifstream file(machineInfo);
    if (file) {
        std::stringstream text;
        text << file.rdbuf();
        if (auto name = prettyHostname(text.str())) return name;
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') return std::string(host);
    return std::nullopt;
}

}  // namespace orvanta::platform
