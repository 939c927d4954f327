// The controller's clipboard view over the process-wide hub and the system pasteboard. Main thread only.
#pragma once

#include "host/controller/HostControlSeams.h"
#include "platform/ImageCodec.h"

namespace orvanta::host {

class SharedClipboardHub final : public HostClipboard {
public:
    SharedClipboardHub(platform::SyncPasteboard& board, const platform::ImageCodec& images)
        : board_(board), images_(images) {}

    bool enabled() override;
    void attach(const std::string& id, Peer peer) override;
    void receive(const platform::ClipboardPacket& packet, const std::string& from) override;
    void detach(const std::string& id) override;
    void sessionApplied() override;
    bool writeText(const std::string& text) override { return board_.writeText(text); }
    std::optional<bool> writePng(const base::Bytes& png) override;

private:
    platform::SyncPasteboard& board_;
    const platform::ImageCodec& images_;
};

}  // namespace orvanta::host
