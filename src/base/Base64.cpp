#include "base/Base64.h"

#include <array>

namespace orvanta::base {
namespace {

constexpr std::string_view kStandardAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUrlAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::uint8_t kInvalid = 0xFF;

using DecodeTable = std::array<std::uint8_t, 256>;

constexpr DecodeTable makeDecodeTable(std::string_view alphabet) {
    DecodeTable table{};
    table.fill(kInvalid);
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        table[static_cast<std::uint8_t>(alphabet[i])] = static_cast<std::uint8_t>(i);
    }
    return table;
}

constexpr DecodeTable kStandardTable = makeDecodeTable(kStandardAlphabet);
constexpr DecodeTable kUrlTable = makeDecodeTable(kUrlAlphabet);

std::string encode(ByteView bytes, std::string_view alphabet, bool padded) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out.push_back(alphabet[(v >> 18) & 63]);
        out.push_back(alphabet[(v >> 12) & 63]);
        out.push_back(alphabet[(v >> 6) & 63]);
        out.push_back(alphabet[v & 63]);
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 0) return out;
    std::uint32_t v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
    if (rest == 2) out.push_back(alphabet[(v >> 6) & 63]);
    if (padded) out.append(rest == 1 ? "==" : "=");
    return out;
}

// Decodes text whose padding has already been removed; `text.size() % 4` must not be 1.
std::optional<Bytes> decodeUnpadded(std::string_view text, const DecodeTable& table) {
    if (text.size() % 4 == 1) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 4 * 3 + 2);
    std::size_t i = 0;
    for (; i + 4 <= text.size(); i += 4) {
        std::uint8_t a = table[static_cast<std::uint8_t>(text[i])];
        std::uint8_t b = table[static_cast<std::uint8_t>(text[i + 1])];
        std::uint8_t c = table[static_cast<std::uint8_t>(text[i + 2])];
        std::uint8_t d = table[static_cast<std::uint8_t>(text[i + 3])];
        if ((a | b | c | d) & 0x80) return std::nullopt;
        std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
        out.push_back(static_cast<std::uint8_t>(v));
    }
    std::size_t rest = text.size() - i;
    if (rest == 0) return out;
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < rest; ++k) {
        std::uint8_t s = table[static_cast<std::uint8_t>(text[i + k])];
        if (s == kInvalid) return std::nullopt;
        v |= static_cast<std::uint32_t>(s) << (18 - 6 * k);
    }
    // Bits below the last whole byte must be zero, or two texts would decode to the same bytes.
    std::uint32_t strayMask = rest == 2 ? 0xFFFF : 0xFF;
    if (v & strayMask) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (rest == 3) out.push_back(static_cast<std::uint8_t>(v >> 8));
    return out;
}

// Strips canonical padding: only for a text of whole quanta, one "=" after three characters of
// the last quantum or two after two.
std::optional<std::string_view> stripPadding(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t pads = 0;
    while (pads < 2 && pads < text.size() && text[text.size() - 1 - pads] == '=') ++pads;
    return text.substr(0, text.size() - pads);
}

}  // namespace

std::string base64Encode(ByteView bytes) { return encode(bytes, kStandardAlphabet, true); }

std::optional<Bytes> base64Decode(std::string_view text) {
    auto body = stripPadding(text);
    if (!body) return std::nullopt;
    return decodeUnpadded(*body, kStandardTable);
}

std::string base64UrlEncode(ByteView bytes, bool padded) { return encode(bytes, kUrlAlphabet, padded); }

std::optional<Bytes> base64UrlDecode(std::string_view text) {
    if (text.find('=') == std::string_view::npos) return decodeUnpadded(text, kUrlTable);
    auto body = stripPadding(text);
    if (!body) return std::nullopt;
    return decodeUnpadded(*body, kUrlTable);
}

}  // namespace orvanta::base
