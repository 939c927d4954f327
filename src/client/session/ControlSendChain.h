// The ordered control sending of one connection attempt: one write in flight, each message checked
// against the generations still allowed out when its turn comes; and the drain that lets a torn-down
// attempt's last messages leave before its channels close. Used on the main executor.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/Executor.h"
#include "platform/WebSocketClient.h"
#include "protocol/ControlMessages.h"

namespace orvanta::client {

// The close code of a channel the client leaves.
inline constexpr std::uint16_t kGoingAway = 1001;

class ControlSendChain final : public std::enable_shared_from_this<ControlSendChain> {
    struct Passkey {};

public:
    using Generation = std::string;

    // Whether a message of this generation may still go out; without it none does.
    std::function<bool(const Generation&)> allows;
    // A message could not be encoded, or its write failed.
    std::function<void(std::string failure, const Generation&)> onFailure;

    static std::shared_ptr<ControlSendChain> create(base::Executor& main,
                                                    std::shared_ptr<platform::WebSocketChannel> channel);
    ControlSendChain(Passkey, base::Executor& main, std::shared_ptr<platform::WebSocketChannel> channel);
    ControlSendChain(const ControlSendChain&) = delete;
    ControlSendChain& operator=(const ControlSendChain&) = delete;

    void enqueue(protocol::ControlMessage message, Generation generation);
    // Drops every message not yet written.
    void cancel() { cancelled_ = true; }
    // Runs `fn` once nothing is queued or being written; when that is already so, on the executor.
    void whenIdle(std::function<void()> fn);

private:
    bool idle() const { return !scheduled_ && !busy_ && queue_.empty(); }
    void pump();

    base::Executor& main_;
    const std::shared_ptr<platform::WebSocketChannel> channel_;
    std::deque<std::pair<protocol::ControlMessage, Generation>> queue_;
    bool scheduled_ = false;
    bool busy_ = false;
    bool cancelled_ = false;
    std::vector<std::function<void()>> idleWaiters_;
};

// Closes a torn-down attempt's channels (going away) once `tail`, if any, has written what it holds
// and `closingText`, if any, has gone out after it; after `watchdog` at the latest. `onFinished`
// runs at each of those two ends.
void drainThenClose(base::Executor& main, const std::shared_ptr<ControlSendChain>& tail,
                    std::optional<std::string> closingText, std::shared_ptr<platform::WebSocketChannel> control,
                    std::shared_ptr<platform::WebSocketChannel> video, base::Micros watchdog,
                    std::function<void()> onFinished);

}  // namespace orvanta::client
