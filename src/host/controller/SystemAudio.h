// System audio: one capture run at a time while the coordinator wants audio sent, started again
// after failures with a growing wait, and whether audio is being sent. On the host queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Clock.h"
#include "base/Executor.h"
#include "host/controller/HostMediaSeams.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

class SystemAudio final : public std::enable_shared_from_this<SystemAudio> {
public:
    // Without media, audio never starts.
    SystemAudio(base::Executor& queue, const base::Clock& clock, std::shared_ptr<HostMedia> media);

    // What the welcome offers a client: nothing for the desktop and Android clients' `other`
    // kind, which have no audio playback.
    static std::optional<protocol::AudioFormat> offer(DeviceKind kind);

    // Starts a run when audio is wanted and none runs (not before the retry time: a later refresh
    // asks again), stops the run when it no longer is.
    void refresh();
    // A new session starts without the back-off of the last one's failures.
    void forgetFailures();

    // Set after construction.
    std::function<bool()> wanted;  // every condition for sending audio holds
    std::function<std::shared_ptr<WebSocketConnection>()> connection;  // where a new run's packets go
    std::function<void(bool sending)> publishSending;
    std::function<void(std::string_view line)> log;

private:
    void start();
    void started(const std::shared_ptr<HostAudioCapture>& capture, bool running);
    void failed(const std::shared_ptr<HostAudioCapture>& capture, const std::string& message);

    base::Executor& queue_;
    const base::Clock& clock_;
    std::shared_ptr<HostMedia> media_;
    std::shared_ptr<HostAudioCapture> capture_;
    std::uint16_t generation_ = 0;
    int failures_ = 0;
    std::uint64_t retryAt_ = 0;
};

}  // namespace orvanta::host
