#include "host/transport/HostPairLink.h"

#include <qrencode.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "base/Json.h"

namespace orvanta::host::HostPairLink {
namespace {

constexpr std::size_t kMaxNameLength = 253;
constexpr std::size_t kMaxLabelLength = 63;
// The tool lists every peer of the network; this leaves room for thousands of them.
constexpr std::size_t kMaxStatusBytes = std::size_t{8} << 20;
constexpr std::string_view kLinkPrefix = "orvanta://pair?u=https%3A%2F%2F";
constexpr std::string_view kLinkPortAndCode = "%3A8443&c=";

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool isLabelCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

bool isValidLabel(std::string_view label) {
    if (label.empty() || label.size() > kMaxLabelLength) return false;
    if (label.front() == '-' || label.back() == '-') return false;
    for (char c : label) {
        if (!isLabelCharacter(c)) return false;
    }
    return true;
}

// Only ASCII passes the label check, so counting bytes counts characters wherever it matters.
bool isValidDnsName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (;;) {
        const std::size_t dot = name.find('.');
        if (!isValidLabel(name.substr(0, dot))) return false;
        if (dot == std::string_view::npos) return true;
        name.remove_prefix(dot + 1);
    }
}

// {"Self": {"DNSName": "..."}}; every other key is ignored.
std::optional<std::string> dnsName(base::ByteView status) {
    auto json = base::parseJsonObject(base::asText(status));
    if (!json) return std::nullopt;
    base::JsonObjectReader root(*json);
    const base::Json* self = root.find("Self");
    if (!self) return std::nullopt;
    base::JsonObjectReader node(*self);
    auto name = node.required<std::string>("DNSName");
    if (node.failed()) return std::nullopt;
    return name;
}

}  // namespace

std::optional<std::string> lookup(std::string_view code, platform::ProcessRunner& runner, const Tool& tool) {
    for (const std::string& path : tool.paths) {
        if (!isExecutableFile(path)) continue;
        auto result = runner.run({path, {"status", "--json"}, tool.timeout, kMaxStatusBytes});
        if (!result || result->exitCode != 0) return std::nullopt;
        return make(result->output, code);
    }
    return std::nullopt;
}

std::optional<std::string> make(base::ByteView status, std::string_view code) {
    auto name = dnsName(status);
    if (!name) return std::nullopt;
    if (name->ends_with('.')) name->pop_back();
    if (!isValidDnsName(*name)) return std::nullopt;
    return std::string(kLinkPrefix) + *name + std::string(kLinkPortAndCode) + std::string(code);
}

std::optional<QrMatrix> qr(std::string_view text) {
    const auto bytes = base::asBytes(text);
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeData(static_cast<int>(bytes.size()), bytes.data(), 0, QR_ECLEVEL_M), &QRcode_free);
    if (!code) return std::nullopt;
    QrMatrix matrix{code->version, code->width, {}};
    const std::size_t count = static_cast<std::size_t>(code->width) * static_cast<std::size_t>(code->width);
    matrix.modules.reserve(count);
    // The lowest bit of each module byte says dark; the others are the encoder's bookkeeping.
    for (std::size_t i = 0; i < count; ++i) matrix.modules.push_back((code->data[i] & 0x01) != 0);
    return matrix;
}

}  // namespace orvanta::host::HostPairLink
