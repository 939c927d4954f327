// The process-wide clipboard hub: keeps this machine's pasteboard in step with every attached
// peer (the host's clipboard connections and the client's outbound ones). Every content carries
// the device that first produced it (origin) and that device's counter (seq); the hub remembers
// the highest seq taken per origin, writes a peer's new content to the pasteboard and forwards it
// to every other peer, so content spreads along a chain of devices and is never taken twice.
// Runs on the main executor only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "base/Executor.h"
#include "base/Settings.h"
#include "platform/ImageCodec.h"
#include "platform/SyncPasteboard.h"

namespace orvanta::clipboard {

using Packet = platform::ClipboardPacket;

class ClipboardSync {
public:
    struct Peer {
        std::function<void(const Packet&)> send;  // must not block
        std::function<void()> close;
    };

    static constexpr std::string_view kEnabledKey = "tessaril.clipboard.always";
    static constexpr std::string_view kSeenKey = "tessaril.clipboard.seen";
    static constexpr std::string_view kCurrentKey = "tessaril.clipboard.current";
    static constexpr base::Micros kPollInterval{750'000};

    // `identity` is asked once, at the first need of this device's origin.
    ClipboardSync(base::Executor& main, base::Settings& defaults, platform::SyncPasteboard& board,
                  const platform::ImageCodec& images, std::function<std::string()> identity);
    ~ClipboardSync();
    ClipboardSync(const ClipboardSync&) = delete;
    ClipboardSync& operator=(const ClipboardSync&) = delete;

    // The process's hub, installed once by the application, which owns it; null before.
    static ClipboardSync* shared();
    static void setShared(ClipboardSync* hub);
    // Optional sink for the diagnostic lines.
    static inline std::function<void(const std::string&)> diagnosticLog;

    bool enabled() const { return enabled_; }
    void setEnabled(bool enabled);
    // After each change of enabled().
    std::function<void(bool)> onEnabledChanged;

    void attach(const std::string& id, Peer peer);
    void receive(const Packet& packet, const std::string& from);
    void detach(const std::string& id);
    void sessionApplied();
    void poll();

    // The change count right after the hub's own last write.
    std::optional<std::int64_t> networkChange() const { return networkChange_; }
    std::size_t peerCount() const { return peers_.size(); }
    const std::optional<Packet>& current() const { return current_; }
    const std::map<std::string, std::int64_t>& seen() const { return seen_; }

    // Standard Base64 of SHA-256 over "T"+text, "I"+data, or "I".
    static std::string fingerprint(const Packet& packet);

private:
    const std::string& origin();
    void startPolling();
    void receiveState(const Packet& packet, const Peer& peer);
    void receiveContent(const Packet& packet, const std::string& from);
    void sendToAll(const Packet& packet, const std::string* except);
    void storeSeen();
    void storeCurrent(const Packet& packet);
    std::string describeTypes() const;
    void log(const std::string& line) const;

    base::Executor& main_;
    base::Settings& defaults_;
    platform::SyncPasteboard& board_;
    const platform::ImageCodec& images_;
    std::function<std::string()> identity_;
    bool enabled_ = false;
    std::optional<std::string> origin_;
    base::TaskHandle timer_;
    std::optional<std::int64_t> observed_;
    std::optional<std::int64_t> networkChange_;
    std::optional<Packet> current_;
    std::map<std::string, std::int64_t> seen_;
    std::map<std::string, Peer> peers_;
};

}  // namespace orvanta::clipboard
