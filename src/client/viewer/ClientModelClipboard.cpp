// The model's two session timers: the pasteboard poll that sends what the user copies here into
// the session, and the frame-rate count. Both live only while the session takes input.
#include <string_view>

#include "client/viewer/ClientModel.h"
#include "clipboard/ClipboardSync.h"

namespace orvanta::client {
namespace {

base::Sha256Digest prefixedDigest(std::string_view prefix, base::ByteView body) {
    base::Bytes bytes(prefix.begin(), prefix.end());
    bytes.insert(bytes.end(), body.begin(), body.end());
    return base::sha256(bytes);
}

}  // namespace

std::optional<base::Bytes> ClientModel::pngData(platform::SyncPasteboard& pasteboard) {
    return pasteboard.content().png;
}

base::Sha256Digest ClientModel::clipboardDigest(const platform::PasteboardContent& content) {
    if (content.text) return prefixedDigest("text:", base::toBytes(*content.text));
    return prefixedDigest("image:", content.png ? base::ByteView(*content.png) : base::ByteView());
}

void ClientModel::startTimers() {
    std::weak_ptr<ClientModel> weak = weak_from_this();
    if (!clipboardTimer_) {
        clipboardTimer_ = platform_.main.repeating(kClipboardPollInterval, [weak] {
            if (auto self = weak.lock()) self->pollPasteboard();
        });
    }
    if (!fpsTimer_) {
        frameCount_ = 0;
        fpsTimer_ = platform_.main.repeating(kFpsInterval, [weak] {
            auto self = weak.lock();
            if (!self) return;
            self->fps_.assign(self->frameCount_);
            self->frameCount_ = 0;
        });
    }
}

void ClientModel::stopTimers() {
    clipboardTimer_.cancel();
    clipboardTimer_ = {};
    fpsTimer_.cancel();
    fpsTimer_ = {};
    fps_.assign(0);
}

void ClientModel::pollPasteboard() {
    const auto change = platform_.pasteboard->changeCount();
    if (change == lastPasteboardChange_) return;
    lastPasteboardChange_ = change;
    const State state = connection_->state();
    if (state == State::connected || state == State::controller) sendClipboardNow();
}

void ClientModel::sendClipboardNow() {
    auto& board = *platform_.pasteboard;
    lastPasteboardChange_ = board.changeCount();
    if (!platform_.defaults->boolean(kSendClipboardKey).value_or(false)) return;
    // What clipboard sync wrote came from a peer; it is not echoed into the session.
    const auto& hub = platform_.hub;
    if (hub.enabled() && hub.networkChange() == lastPasteboardChange_) return;
    auto content = board.content();
    if (!content.text && !content.png) return;
    const auto digest = clipboardDigest(content);
    if (digest == lastClipboardDigest_) return;
    // Counted as sent even when the session drops it (view-only, too large).
    lastClipboardDigest_ = digest;
    if (content.text) {
        connection_->sendClipboardText(std::move(*content.text));
    } else {
        connection_->sendClipboardImage(*content.png);
    }
}

}  // namespace orvanta::client
