#include "clipboard/ClipboardSync.h"

#include <cstdio>

#include "base/Base64.h"
#include "base/Crypto.h"
#include "protocol/ControlMessages.h"

namespace orvanta::clipboard {

namespace {

constexpr std::size_t kMaxOriginBytes = 256;
constexpr std::size_t kMaxTextBytes = 1'000'000;
constexpr std::size_t kMaxTypesLogged = 6;

ClipboardSync* sharedHub = nullptr;

std::optional<std::int64_t> integerOf(const Packet& packet, std::string_view key) {
    const auto found = packet.find(key);
    if (found == packet.end() || !found->is_number_integer()) return std::nullopt;
    if (found->is_number_unsigned() && found->get<std::uint64_t>() > std::uint64_t(INT64_MAX)) return std::nullopt;
    return found->get<std::int64_t>();
}

const std::string* stringOf(const Packet& packet, std::string_view key) {
    const auto found = packet.find(key);
    return found != packet.end() && found->is_string() ? found->get_ptr<const std::string*>() : nullptr;
}

// An object whose values are all integers, else nothing.
std::optional<std::map<std::string, std::int64_t>> integerMap(const base::Json* object) {
    if (!object || !object->is_object()) return std::nullopt;
    std::map<std::string, std::int64_t> result;
    for (const auto& [key, value] : object->items()) {
        if (!value.is_number_integer() || (value.is_number_unsigned() && value.get<std::uint64_t>() > std::uint64_t(INT64_MAX)))
            return std::nullopt;
        result.emplace(key, value.get<std::int64_t>());
    }
    return result;
}

std::int64_t lookup(const std::map<std::string, std::int64_t>& map, const std::string& key) {
    const auto found = map.find(key);
    return found == map.end() ? 0 : found->second;
}

// A type name as a quoted literal with escapes, for the poll line.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escaped[12];
                    std::snprintf(escaped, sizeof escaped, "\\u{%x}", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace

ClipboardSync::ClipboardSync(base::Executor& main, base::Settings& defaults, platform::SyncPasteboard& board,
                             const platform::ImageCodec& images, std::function<std::string()> identity)
    : main_(main), defaults_(defaults), board_(board), images_(images), identity_(std::move(identity)) {
    enabled_ = defaults_.boolean(kEnabledKey).value_or(false);
    if (const auto stored = defaults_.dictionary(kSeenKey)) {
        std::map<std::string, std::int64_t> seen;
        bool allIntegers = true;
        for (const auto& [key, value] : *stored) {
            const auto* number = value.get<std::int64_t>();
            if (!number) {
                allIntegers = false;
                break;
            }
            seen.emplace(key, *number);
        }
        if (allIntegers) seen_ = std::move(seen);
    }
    if (enabled_) startPolling();
}

ClipboardSync::~ClipboardSync() {
    timer_.cancel();
    if (sharedHub == this) sharedHub = nullptr;
}

ClipboardSync* ClipboardSync::shared() { return sharedHub; }
void ClipboardSync::setShared(ClipboardSync* hub) { sharedHub = hub; }

const std::string& ClipboardSync::origin() {
    if (!origin_) origin_ = identity_();
    return *origin_;
}

void ClipboardSync::startPolling() {
    poll();
    // Cancelled in the destructor, so a tick never reaches a hub that is gone.
    timer_ = main_.repeating(kPollInterval, [this] { poll(); });
}

void ClipboardSync::setEnabled(bool enabled) {
    if (enabled == enabled_) return;
    defaults_.set(kEnabledKey, enabled);
    enabled_ = enabled;
    if (onEnabledChanged) onEnabledChanged(enabled);
    if (enabled) {
        startPolling();
        return;
    }
    timer_.cancel();
    timer_ = {};
    auto closing = std::move(peers_);
    peers_.clear();
    for (auto& [id, peer] : closing) peer.close();
    current_.reset();
    observed_.reset();
}

void ClipboardSync::attach(const std::string& id, Peer peer) {
    if (!enabled_) {
        peer.close();
        return;
    }
    poll();
    peers_.insert_or_assign(id, peer);
    log("clipboard peers: " + std::to_string(peers_.size()));
    Packet state{{"type", "clipboardState"}, {"known", seen_}};
    if (current_) {
        if (const auto* o = stringOf(*current_, "origin")) state["origin"] = *o;
        if (const auto s = integerOf(*current_, "seq")) state["seq"] = *s;
    }
    peer.send(state);
}

void ClipboardSync::receive(const Packet& packet, const std::string& from) {
    if (!enabled_ || !packet.is_object() || packet.empty()) return;
    const auto* type = stringOf(packet, "type");
    if (!peers_.contains(from) || !type) return;
    poll();
    if (*type == "clipboardState") {
        // A peer's send may have detached it during the poll.
        if (const auto peer = peers_.find(from); peer != peers_.end()) receiveState(packet, Peer(peer->second));
    } else if (*type == "clipboard" || *type == "clipboardImage") {
        receiveContent(packet, from);
    }
}

// Decides whether the peer that just greeted us gets our current content: exactly one of two
// unseen contents crosses, the one with the greater origin.
void ClipboardSync::receiveState(const Packet& packet, const Peer& peer) {
    if (!current_) return;
    const auto* co = stringOf(*current_, "origin");
    const auto cs = integerOf(*current_, "seq");
    if (!co || !cs) return;
    const auto* po = stringOf(packet, "origin");
    const std::int64_t ps = integerOf(packet, "seq").value_or(0);
    const auto knownField = packet.find("known");
    const auto known = integerMap(knownField == packet.end() ? nullptr : &*knownField).value_or(std::map<std::string, std::int64_t>{});

    const std::int64_t peerHas = std::max(lookup(known, *co), po && *po == *co ? ps : 0);
    if (*cs <= peerHas) return;
    if (!po || *po == *co || ps <= lookup(seen_, *po) || *co >= *po) peer.send(*current_);
}

void ClipboardSync::receiveContent(const Packet& packet, const std::string& from) {
    const auto* packetOrigin = stringOf(packet, "origin");
    if (!packetOrigin || packetOrigin->empty() || packetOrigin->size() > kMaxOriginBytes || *packetOrigin == origin())
        return;
    const auto seq = integerOf(packet, "seq");
    if (!seq || *seq <= lookup(seen_, *packetOrigin)) return;
    const std::string type = *stringOf(packet, "type");
    Packet taken{{"type", type}, {"origin", *packetOrigin}, {"seq", *seq}};

    bool written = false;
    if (type == "clipboard") {
        const auto* text = stringOf(packet, "text");
        if (!text || text->size() > kMaxTextBytes) return;
        written = board_.writeText(*text);
        taken["text"] = *text;
    } else {
        const auto* data = stringOf(packet, "data");
        if (!data) return;
        const auto png = protocol::ClipboardImage{*data}.decodePng();
        if (!png || !images_.isDecodablePng(*png)) return;
        written = board_.writePng(*png);
        taken["data"] = *data;
    }
    networkChange_ = observed_ = board_.changeCount();
    if (!written) {
        current_.reset();
        return;
    }
    current_ = taken;
    seen_[*packetOrigin] = *seq;
    storeSeen();
    storeCurrent(taken);
    sendToAll(taken, &from);
}

void ClipboardSync::detach(const std::string& id) {
    peers_.erase(id);
    log("clipboard peers: " + std::to_string(peers_.size()));
}

void ClipboardSync::poll() {
    const std::int64_t change = board_.changeCount();
    if (!enabled_ || (observed_ && *observed_ == change)) return;
    const bool firstObservation = !observed_;
    observed_ = change;
    current_.reset();
    const std::string types = describeTypes();
    auto [packet, result] = board_.readForSync();
    const std::size_t peerCount = peers_.size();
    auto line = [&](const std::string& word, bool sent) {
        log("clipboard poll: change=" + std::to_string(change) + " types=[" + types + "] result=" + word +
            " peers=" + std::to_string(peerCount) + " sent=" + (sent ? "yes" : "no"));
    };
    if (!packet) {
        defaults_.remove(kCurrentKey);
        line(result, false);
        return;
    }
    const std::string digest = fingerprint(*packet);
    if (firstObservation) {
        if (const auto stored = defaults_.dictionary(kCurrentKey)) {
            const auto field = [&](std::string_view key) { return stored->find(key); };
            const auto d = field("digest"), o = field("origin"), s = field("seq");
            const auto* storedDigest = d == stored->end() ? nullptr : d->second.get<std::string>();
            const auto* storedOrigin = o == stored->end() ? nullptr : o->second.get<std::string>();
            const auto* storedSeq = s == stored->end() ? nullptr : s->second.get<std::int64_t>();
            if (storedDigest && *storedDigest == digest && storedOrigin && storedSeq &&
                seen_.contains(*storedOrigin) && seen_.at(*storedOrigin) == *storedSeq) {
                (*packet)["origin"] = *storedOrigin;
                (*packet)["seq"] = *storedSeq;
                current_ = std::move(*packet);
                line("nil(suppressed)", false);
                return;
            }
        }
    }
    if (networkChange_ && *networkChange_ == change) {
        line("nil(suppressed)", false);
        return;
    }
    const std::int64_t seq = lookup(seen_, origin()) + 1;
    (*packet)["origin"] = origin();
    (*packet)["seq"] = seq;
    current_ = *packet;
    seen_[origin()] = seq;
    storeSeen();
    storeCurrent(*packet);
    sendToAll(*packet, nullptr);
    line(result, peerCount > 0);
}

void ClipboardSync::sessionApplied() {
    networkChange_ = observed_ = board_.changeCount();
    if (enabled_ && current_) {
        if (const auto onBoard = board_.readPacket(); onBoard && fingerprint(*onBoard) == fingerprint(*current_)) return;
    }
    current_.reset();
    defaults_.remove(kCurrentKey);
}

std::string ClipboardSync::fingerprint(const Packet& packet) {
    std::string body = "I";
    if (const auto* text = stringOf(packet, "text")) {
        body = "T" + *text;
    } else if (const auto* data = stringOf(packet, "data")) {
        body = "I" + *data;
    }
    const auto digest = base::sha256(base::asBytes(body));
    return base::base64Encode(digest);
}

void ClipboardSync::sendToAll(const Packet& packet, const std::string* except) {
    // A send may detach peers; iterate over a snapshot.
    const auto peers = peers_;
    for (const auto& [id, peer] : peers) {
        if (!except || id != *except) peer.send(packet);
    }
}

void ClipboardSync::storeSeen() {
    base::SettingsDictionary stored;
    for (const auto& [key, value] : seen_) stored.emplace(key, value);
    defaults_.set(kSeenKey, std::move(stored));
}

void ClipboardSync::storeCurrent(const Packet& packet) {
    defaults_.set(kCurrentKey, base::SettingsDictionary{{"origin", *stringOf(packet, "origin")},
                                                        {"seq", *integerOf(packet, "seq")},
                                                        {"digest", fingerprint(packet)}});
}

std::string ClipboardSync::describeTypes() const {
    const auto names = board_.typeNames();
    std::string description;
    for (std::size_t i = 0; i < names.size() && i < kMaxTypesLogged; ++i) {
        if (i) description += ",";
        description += quoted(names[i]);
    }
    return description;
}

void ClipboardSync::log(const std::string& line) const {
    if (diagnosticLog) diagnosticLog(line);
}

}  // namespace orvanta::clipboard
