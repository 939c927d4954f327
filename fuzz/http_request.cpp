// Arbitrary bytes through the HTTP server's request reader, in chunks whose sizes come from the
// input, then through the upgrade check; the answer must not depend on the chunking.
//
// Input layout: byte 0 has the listener in bit 0 (1: LAN) and, in bits 1 to 6, how many chunk
// sizes follow (0 to 63), one byte each (a chunk of 1 to 256 bytes). The rest is the stream, cut
// into chunks of those sizes in turn, or fed whole when there are none.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/Utf8.h"
#include "host/transport/HTTPServer.h"

namespace {

using orvanta::base::ByteView;
using orvanta::host::HTTPRequestReader;

void require(bool condition) {
    if (!condition) __builtin_trap();
}

HTTPRequestReader::Result readInChunks(HTTPRequestReader& reader, ByteView stream,
                                       std::span<const std::uint8_t> chunkSizes) {
    HTTPRequestReader::Result result = std::nullopt;
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
        const std::size_t wanted = chunkSizes.empty() ? stream.size() : chunkSizes[i % chunkSizes.size()] + 1u;
        const std::size_t count = std::min(wanted, stream.size() - at);
        result = reader.feed(stream.subspan(at, count));
        at += count;
        if (!result || *result) break;
    }
    return result;
}

void checkRequest(const orvanta::host::ReceivedRequest& received, bool isLAN) {
    const auto& request = received.request;
    require(request.isLAN == isLAN);
    require(request.body.size() <= HTTPRequestReader::kMaxBodyBytes);
    require(request.method == "POST" || request.body.empty());
    require(request.method != "POST" || received.leftover.empty());
    require(request.path.find('?') == std::string::npos);
    require(orvanta::base::isValidUtf8(request.method) && orvanta::base::isValidUtf8(request.path));
    for (const auto& [name, value] : request.headers) {
        require(orvanta::base::isValidUtf8(name) && orvanta::base::isValidUtf8(value));
    }
    if (auto accept = orvanta::host::checkWebSocketUpgrade(request)) require(accept->size() == 28);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool isLAN = (data[0] & 1) != 0;
    const std::size_t sizeCount = std::min<std::size_t>((data[0] >> 1) & 63, size - 1);
    const std::span<const std::uint8_t> chunkSizes(data + 1, sizeCount);
    const ByteView stream(data + 1 + sizeCount, size - 1 - sizeCount);

    HTTPRequestReader chunked(isLAN);
    const HTTPRequestReader::Result result = readInChunks(chunked, stream, chunkSizes);
    if (result && *result) checkRequest(**result, isLAN);
    if (result && !*result) {
        const auto ended = chunked.end();
        require(std::get<orvanta::host::RequestEndedEarly>(ended).receivedBytes == stream.size());
    }

    // Within the overall limit, reading all at once finds the same request or the same error; only
    // the leftover may be longer, since it is what followed the head in the completing read.
    if (stream.size() <= HTTPRequestReader::kMaxReceivedBytes) {
        HTTPRequestReader whole(isLAN);
        const HTTPRequestReader::Result once = whole.feed(stream);
        require(once.has_value() == result.has_value());
        if (!once) {
            require(once.error() == result.error());
        } else {
            require(once->has_value() == result->has_value());
            if (*once) {
                require((*once)->request == (*result)->request);
                const auto& full = (*once)->leftover;
                const auto& part = (*result)->leftover;
                require(part.size() <= full.size() && std::equal(part.begin(), part.end(), full.begin()));
            }
        }
    }
    return 0;
}
