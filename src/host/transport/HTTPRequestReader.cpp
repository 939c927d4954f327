#include "host/transport/HTTPRequestReader.h"

#include <algorithm>
#include <vector>

#include "base/Utf8.h"

namespace orvanta::host {
namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kStatusBadRequest = "400 Bad Request";
constexpr std::string_view kStatusPayloadTooLarge = "413 Payload Too Large";

// Horizontal white space as header values are trimmed of it: tab and the space separators.
bool isHorizontalSpace(char32_t c) {
    return c == U'\t' || c == U' ' || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::u32string_view trimmed(std::u32string_view text) {
    while (!text.empty() && isHorizontalSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isHorizontalSpace(text.back())) text.remove_suffix(1);
    return text;
}

std::vector<std::u32string_view> splitLines(std::u32string_view text) {
    std::vector<std::u32string_view> lines;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(U"\r\n", start);
        if (end == std::u32string_view::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
}

std::vector<std::u32string_view> splitAtSpaces(std::u32string_view line) {
    std::vector<std::u32string_view> pieces;
    for (std::size_t start = 0; start < line.size();) {
        std::size_t end = line.find(U' ', start);
        if (end == std::u32string_view::npos) end = line.size();
        if (end > start) pieces.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

}  // namespace

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string headerValue(const HTTPRequest& request, const std::string& name) {
    auto it = request.headers.find(name);
    return it == request.headers.end() ? std::string() : it->second;
}

std::optional<std::string_view> replyStatus(const HTTPRequestError& error) {
    if (std::holds_alternative<MalformedRequestLine>(error)) return kStatusBadRequest;
    if (std::holds_alternative<BadContentLength>(error)) return kStatusPayloadTooLarge;
    return std::nullopt;
}

std::expected<HTTPRequest, MalformedRequestLine> parseRequestHead(std::string_view head, bool isLAN) {
    const std::u32string text = base::decodeUtf8Lossy(head);
    const std::vector<std::u32string_view> lines = splitLines(text);
    const std::vector<std::u32string_view> pieces = splitAtSpaces(lines.front());
    if (pieces.size() != 3 || !pieces[2].starts_with(U"HTTP/1.")) {
        return std::unexpected(MalformedRequestLine{base::encodeUtf8(lines.front())});
    }
    HTTPRequest request;
    request.method = base::encodeUtf8(pieces[0]);
    request.path = base::encodeUtf8(pieces[1].substr(0, pieces[1].find(U'?')));
    request.isLAN = isLAN;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t colon = lines[i].find(U':');
        if (colon == std::u32string_view::npos) continue;
        request.headers[asciiLower(base::encodeUtf8(lines[i].substr(0, colon)))] =
            base::encodeUtf8(trimmed(lines[i].substr(colon + 1)));
    }
    return request;
}

std::expected<std::size_t, BadContentLength> declaredContentLength(const HTTPRequest& request) {
    auto it = request.headers.find("content-length");
    if (it == request.headers.end()) return 0;
    std::string_view text = it->second;
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::unexpected(BadContentLength{it->second});
    std::size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::unexpected(BadContentLength{it->second});
        // Saturates: anything past the limit is refused alike, so no overflow can wrap into range.
        value = std::min(value * 10 + static_cast<std::size_t>(c - '0'), HTTPRequestReader::kMaxBodyBytes + 1);
    }
    if ((negative && value != 0) || value > HTTPRequestReader::kMaxBodyBytes) {
        return std::unexpected(BadContentLength{it->second});
    }
    return value;
}

HTTPRequestReader::Result HTTPRequestReader::feed(base::ByteView chunk) {
    received_.insert(received_.end(), chunk.begin(), chunk.end());
    if (received_.size() > kMaxReceivedBytes) return std::unexpected(RequestTooLarge{received_.size()});
    if (!head_) {
        const std::string_view text = base::asText(received_);
        const std::size_t from = scanned_ >= kHeadEnd.size() - 1 ? scanned_ - (kHeadEnd.size() - 1) : 0;
        const std::size_t end = text.find(kHeadEnd, from);
        if (end == std::string_view::npos) {
            scanned_ = text.size();
            return std::nullopt;
        }
        if (end > kMaxHeadBytes) return std::unexpected(RequestHeadTooLarge{end});
        auto request = parseRequestHead(text.substr(0, end), isLAN_);
        if (!request) return std::unexpected(request.error());
        auto length = declaredContentLength(*request);
        if (!length) return std::unexpected(length.error());
        head_ = Head{std::move(*request), end + kHeadEnd.size(), *length};
    }
    const auto rest = base::ByteView(received_).subspan(head_->bodyStart);
    ReceivedRequest received{std::move(head_->request), {}};
    if (received.request.method == "POST") {
        if (rest.size() < head_->contentLength) {
            head_->request = std::move(received.request);
            return std::nullopt;
        }
        received.request.body.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(head_->contentLength));
    } else {
        received.leftover.assign(rest.begin(), rest.end());
    }
    return received;
}

}  // namespace orvanta::host
