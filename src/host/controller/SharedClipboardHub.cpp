#include "host/controller/SharedClipboardHub.h"

#include "clipboard/ClipboardSync.h"

namespace orvanta::host {

using clipboard::ClipboardSync;

// No hub installed reads as sync switched off.
bool SharedClipboardHub::enabled() {
    auto* hub = ClipboardSync::shared();
    return hub && hub->enabled();
}

void SharedClipboardHub::attach(const std::string& id, Peer peer) {
    if (auto* hub = ClipboardSync::shared()) hub->attach(id, {std::move(peer.send), std::move(peer.close)});
}

void SharedClipboardHub::receive(const platform::ClipboardPacket& packet, const std::string& from) {
    if (auto* hub = ClipboardSync::shared()) hub->receive(packet, from);
}

void SharedClipboardHub::detach(const std::string& id) {
    if (auto* hub = ClipboardSync::shared()) hub->detach(id);
}

void SharedClipboardHub::sessionApplied() {
    if (auto* hub = ClipboardSync::shared()) hub->sessionApplied();
}

// The header is checked before decoding, so declared dimensions beyond reason are never allocated.
std::optional<bool> SharedClipboardHub::writePng(const base::Bytes& png) {
    if (!platform::pngHeaderAcceptable(png) || !images_.isDecodablePng(png)) return std::nullopt;
    return board_.writePng(png);
}

}  // namespace orvanta::host
