// Clipboard packets from peers through the hub's receive path, as the host's clipboard channel
// hands them over: each message's text is parsed as JSON and, when it parses, received from one of
// two attached peers. The hub must never take an origin's content twice or go back on a counter it
// has seen, and whatever it keeps or sends must be a content packet it can serialise.
//
// Input layout: a run of messages, each a 2-byte big-endian length and that many bytes (the last
// takes what is left); a message's first byte picks the peer (bit 0) and, with bit 1, detaches and
// re-attaches it first; the rest is the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "base/Json.h"
#include "clipboard/ClipboardSync.h"
#include "support/FakePasteboard.h"
#include "support/MemorySettings.h"

namespace {

using namespace orvanta;
using clipboard::ClipboardSync;

void check(bool condition) {
    if (!condition) std::abort();
}

bool isContent(const clipboard::Packet& packet) {
    if (!packet.is_object()) return false;
    const auto type = packet.find("type");
    const auto origin = packet.find("origin");
    const auto seq = packet.find("seq");
    return type != packet.end() && type->is_string() &&
           (*type == "clipboard" || *type == "clipboardImage" || *type == "clipboardState") &&
           (*type == "clipboardState" || (origin != packet.end() && origin->is_string() && seq != packet.end() &&
                                          seq->is_number_integer()));
}

void checkSent(const clipboard::Packet& packet) {
    check(isContent(packet));
    try {
        (void)packet.dump();
    } catch (const base::Json::exception&) {
        check(false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::DrainedExecutor main;
    testing::MemorySettings settings;
    settings.set(ClipboardSync::kEnabledKey, true);
    testing::FakePasteboard board;
    testing::FakeImageCodec images;
    ClipboardSync hub(main, settings, board, images, [] { return std::string("this-device"); });
    const std::string peers[] = {"peer-a", "peer-b"};
    auto attach = [&](const std::string& id) { hub.attach(id, {[](const clipboard::Packet& p) { checkSent(p); }, [] {}}); };
    for (const auto& id : peers) attach(id);
    main.drain();

    base::ByteView rest(data, size);
    while (rest.size() >= 2) {
        const std::size_t length = std::min<std::size_t>(std::size_t{rest[0]} << 8 | rest[1], rest.size() - 2);
        const base::ByteView message = rest.subspan(2, length);
        rest = rest.subspan(2 + length);
        if (message.empty()) continue;
        const std::string& from = peers[message[0] & 1];
        if (message[0] & 2) {
            hub.detach(from);
            attach(from);
        }
        const std::string text(message.begin() + 1, message.end());
        const auto packet = base::Json::parse(text, nullptr, false);
        if (packet.is_discarded()) continue;

        const std::map<std::string, std::int64_t> seenBefore = hub.seen();
        const int writesBefore = board.writes;
        hub.receive(packet, from);
        main.drain();
        if (board.writes != writesBefore) {
            // Written content is new: its counter is above what was seen from its origin.
            check(isContent(packet) && packet.at("type") != "clipboardState");
            const auto& origin = packet.at("origin").get_ref<const std::string&>();
            const auto seq = packet.at("seq").get<std::int64_t>();
            const auto before = seenBefore.find(origin);
            check(before == seenBefore.end() || seq > before->second);
        }
        for (const auto& [origin, seq] : seenBefore) {
            const auto now = hub.seen().find(origin);
            check(now != hub.seen().end() && now->second >= seq);
        }
        if (hub.current()) check(isContent(*hub.current()) && hub.current()->at("type") != "clipboardState");
    }
    return 0;
}
