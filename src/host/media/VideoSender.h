// Puts encoded video on the video connection as media packets and watches the client keep up: from
// its acknowledgements it finds stalls (stage 1 sends only keyframes, stage 2 asks the owner to
// close), and it steps the encoder's bit rate down after repeated stalls and up after calm minutes.
// Runs on the owner's queue alone; it has no lock of its own.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "host/media/Encoder.h"
#include "protocol/StreamConfig.h"

namespace orvanta::host {

class WebSocketConnection;

// The sender's view of a video connection.
class VideoConnection {
public:
    virtual ~VideoConnection() = default;
    // One binary message, without a limit on the bytes in flight.
    virtual void sendBinary(base::Bytes message) = 0;
    // Any thread.
    virtual std::int64_t bytesInFlight() const = 0;
};

std::shared_ptr<VideoConnection> videoConnection(std::shared_ptr<WebSocketConnection> connection);

// Whether a stage-2 stall may be forgiven because the capture has just restarted.
struct CaptureRestartGrace {
    static constexpr std::uint64_t kGraceMicros = 3'000'000;

    bool hasStarted = false;                   // a pipeline has started on this video connection
    std::optional<std::uint64_t> restartedAt;  // the last restart, not the first start

    void recordStart(std::uint64_t now);
    bool covers(std::uint64_t now) const;

    bool operator==(const CaptureRestartGrace&) const = default;
};

class VideoSender {
public:
    using LogSink = std::function<void(std::string_view)>;

    struct Unacked {
        std::uint32_t seq = 0;
        std::uint64_t sentAt = 0;
        bool operator==(const Unacked&) const = default;
    };

    static constexpr std::int64_t kBacklogLimitBytes = 1'048'576;
    static constexpr std::uint64_t kStage1FloorMicros = 250'000;
    static constexpr std::uint64_t kStage1LongStallMicros = 1'000'000;
    static constexpr std::uint64_t kStage2Micros = 2'000'000;
    static constexpr std::uint64_t kRearmGraceMicros = 300'000;
    static constexpr std::uint64_t kStage1WindowMicros = 10'000'000;
    static constexpr std::uint64_t kRateStepSpacingMicros = 10'000'000;
    static constexpr std::uint64_t kCalmBeforeStepUpMicros = 60'000'000;
    static constexpr std::int64_t kMinSteppedBitRate = 16'000'000;
    static constexpr std::size_t kStage1EventsForStepDown = 3;

    // `clock` is the uptime clock and outlives the sender.
    explicit VideoSender(const base::Clock& clock, LogSink log = {});

    void attach(std::shared_ptr<VideoConnection> connection, bool pipelineRunning);
    void detach();
    void setGeneration(std::uint16_t gen);
    void setConfig(const protocol::StreamConfig& config);
    void sendFrame(base::Bytes avcc, bool isKey, std::uint64_t ptsMicros);
    // True when `seq` itself was awaiting acknowledgement in the current generation.
    bool ackReceived(std::uint16_t gen, std::uint32_t seq);
    void rebaseStallClock(std::uint64_t now);
    void checkStall(std::uint64_t now, BitRateControl* encoder);

    // Called on the owner's queue.
    std::function<void()> onForceKeyframe;
    std::function<void()> onStage2Stall;

    CaptureRestartGrace captureRestartGrace;
    std::uint64_t baseRTTMicros = 20'000;

    const std::shared_ptr<VideoConnection>& connection() const { return connection_; }
    const std::deque<Unacked>& unacked() const { return unacked_; }
    bool stalled() const { return stalled_; }
    bool droppedFrames() const { return droppedFrames_; }
    std::uint64_t stage1GraceUntil() const { return stage1GraceUntil_; }
    std::uint16_t gen() const { return gen_; }
    std::uint32_t seq() const { return seq_; }
    std::int64_t sentFrames() const { return sentFrames_; }
    std::int64_t droppedCount() const { return droppedCount_; }
    const std::optional<base::Bytes>& configData() const { return configData_; }

    // 3/4 of the rate, never below the floor.
    static std::int64_t stepDown(std::int64_t rate);

private:
    void drop();
    void engageStage1(std::uint64_t now, std::uint64_t age);
    void recover();
    void adjustBitRate(std::uint64_t now, BitRateControl& encoder);
    void log(std::string_view line) const;

    const base::Clock& clock_;
    const LogSink log_;
    std::uint16_t gen_ = 0;
    std::uint32_t seq_ = 0;
    std::shared_ptr<VideoConnection> connection_;
    std::optional<base::Bytes> configData_;
    std::deque<Unacked> unacked_;
    bool stalled_ = false;
    bool droppedFrames_ = false;
    std::int64_t sentFrames_ = 0;
    std::int64_t droppedCount_ = 0;
    std::uint64_t stage1GraceUntil_ = 0;
    std::vector<std::uint64_t> stage1Times_;
    std::vector<std::int64_t> previousRates_;
    std::uint64_t lastStage1OrAttach_ = 0;
    std::uint64_t recoverySince_ = 0;
    std::optional<std::uint64_t> lastRateChange_;
};

}  // namespace orvanta::host
