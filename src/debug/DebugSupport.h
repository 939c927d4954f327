// The client side's environment-driven automation and its timed debug log. With any variable
// named "TESSARIL_CLIENT_DEBUG_..." the window opens on the client side and, when the client's root
// view first shows, a fixed sequence pairs, connects, waits for video, reports and runs the checks,
// writing one line per step to the log file. Without one it only counts frames and writes nothing.
// One per process, made by the application; main executor only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Executor.h"
#include "client/viewer/ViewerHandoffs.h"
#include "debug/DebugClient.h"
#include "debug/DebugEnvironment.h"
#include "debug/DebugTask.h"

namespace orvanta::debug {

class DebugSupport final : public client::DebugHandoff, public std::enable_shared_from_this<DebugSupport> {
    struct Passkey {};

public:
    // The connect wait: at most this many rounds until at least this many frames have arrived.
    static constexpr int kConnectWaitRounds = 150;
    static constexpr std::int64_t kConnectWaitFrames = 31;

    // `bundleId` is the application's identifier for the start line, "-" when empty.
    static std::shared_ptr<DebugSupport> create(Environment env, base::Executor& main, const base::Clock& clock,
                                                std::string bundleId = {});
    DebugSupport(Passkey, Environment env, base::Executor& main, const base::Clock& clock, std::string bundleId);
    ~DebugSupport() override;
    DebugSupport(const DebugSupport&) = delete;
    DebugSupport& operator=(const DebugSupport&) = delete;

    // ---- The hand-off the client model and window use.
    bool isActive() const override;
    // One line, written at once: "[%7.3f] " of the seconds since creation, the message, a line feed.
    void log(const std::string& message) override;
    void frameShown() override { ++frames_; }

    std::int64_t frames() const { return frames_; }
    // Lines kept until the log opens.
    void addPendingNote(std::string note) { pendingNotes_.push_back(std::move(note)); }

    // The client's root view became visible: starts the sequence unless an earlier run's client is
    // still alive.
    void run(const std::shared_ptr<DebugClient>& client);

private:
    Async sequence(std::shared_ptr<DebugClient> client);
    Async pair(std::shared_ptr<DebugClient> client, const PairRequest& request);
    Async waitForVideo(std::shared_ptr<DebugClient> client);
    void scheduleQuit(const std::shared_ptr<DebugClient>& client, double seconds);
    void reportSurface(const DebugClient& client);

    Async resizeCheck(std::shared_ptr<DebugClient> client);
    Async aspectCheck(std::shared_ptr<DebugClient> client);
    Async inputCheck(std::shared_ptr<DebugClient> client);
    Async inputMoveTest(std::shared_ptr<DebugClient> client, protocol::CursorPosition start);
    Async inputBarSteps(std::shared_ptr<DebugClient> client, NormalizedPoint a, NormalizedPoint b);
    Async sideToggleCheck(std::shared_ptr<DebugClient> client, double seconds);

    // Suspends the running coroutine for `seconds`.
    Sleep sleep(double seconds);
    auto addHost(DebugClient& client, const PairRequest& request, const std::string& code, bool& ok);
    std::string stateText(const DebugClient& client) const;
    void openLog(const std::string& path);
    void closeLog();

    const Environment env_;
    base::Executor& main_;
    const base::Clock& clock_;
    const std::string bundleId_;
    const std::uint64_t startMicros_;
    int logFd_ = -1;
    std::weak_ptr<DebugClient> client_;
    std::int64_t frames_ = 0;
    std::vector<std::string> pendingNotes_;
    std::vector<std::string> observed_;
    std::vector<Async> runs_;
};

}  // namespace orvanta::debug
