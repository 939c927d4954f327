// The coordinator's side of system audio: when it is wanted, where it goes, the welcome's offer.
#include "host/controller/HostController.h"

namespace orvanta::host {

void HostController::wireSystemAudio() {
    audio_ = std::make_shared<SystemAudio>(queue_, clock_, dependencies_.components.media);
    // A run's answers may come after the controller is gone: the callbacks hold it weakly.
    const std::weak_ptr<HostController> weak = weak_from_this();
    audio_->wanted = [weak] {
        auto self = weak.lock();
        return self && self->audioWanted();
    };
    audio_->connection = [weak]() -> std::shared_ptr<WebSocketConnection> {
        auto self = weak.lock();
        return self && self->session_ ? self->session_->video : nullptr;
    };
    audio_->publishSending = [weak](bool sending) {
        if (auto self = weak.lock()) {
            self->main_.async([published = self->published_, sending] {
                if (published->state().audioSending == sending) return;
                published->assign([sending](HostPublishedState& state) { state.audioSending = sending; });
            });
        }
    };
    audio_->log = [weak](std::string_view line) {
        if (auto self = weak.lock()) self->log(line);
    };
}

void HostController::refreshAudio() { audio_->refresh(); }

bool HostController::audioWanted() const {
    return session_ && session_->authenticated && session_->audioRequested && !session_->detachedAt &&
           session_->video && sender_->hasConnection() && !paused_;
}

// The session's kind was read from the hello: `other` is exactly a client text other than the
// desktop and Android clients.
std::optional<protocol::AudioFormat> HostController::audioOffer(const Session& session) {
    return SystemAudio::offer(session.deviceKind);
}

}  // namespace orvanta::host
