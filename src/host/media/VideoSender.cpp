#include "host/media/VideoSender.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string>

#include "host/transport/Support.h"
#include "host/transport/WebSocket.h"
#include "protocol/VideoPacket.h"

namespace orvanta::host {

namespace {

class WebSocketVideoConnection final : public VideoConnection {
public:
    explicit WebSocketVideoConnection(std::shared_ptr<WebSocketConnection> connection)
        : connection_(std::move(connection)) {}

    void sendBinary(base::Bytes message) override {
        connection_->send(WebSocketParser::frame(message, WebSocketOpcode::binary),
                          std::numeric_limits<std::int64_t>::max());
    }
    std::int64_t bytesInFlight() const override { return connection_->bytesInFlight(); }

private:
    std::shared_ptr<WebSocketConnection> connection_;
};

// Seconds as a decimal with at least one fractional digit.
std::string decimalSeconds(std::uint64_t micros) {
    char text[32];
    const double seconds = static_cast<double>(micros) / 1'000'000;
    auto [end, error] = std::to_chars(text, text + sizeof text, seconds);
    std::string out(text, end);
    if (out.find_first_of(".e") == std::string::npos) out += ".0";
    return out;
}

}  // namespace

std::shared_ptr<VideoConnection> videoConnection(std::shared_ptr<WebSocketConnection> connection) {
    return std::make_shared<WebSocketVideoConnection>(std::move(connection));
}

void CaptureRestartGrace::recordStart(std::uint64_t now) {
    restartedAt = hasStarted ? std::optional(now) : std::nullopt;
    hasStarted = true;
}

bool CaptureRestartGrace::covers(std::uint64_t now) const {
    return restartedAt && now >= *restartedAt && now - *restartedAt < kGraceMicros;
}

VideoSender::VideoSender(const base::Clock& clock, LogSink log) : clock_(clock), log_(std::move(log)) {}

void VideoSender::log(std::string_view line) const {
    if (log_) {
        log_(line);
    } else {
        Log::info(line);
    }
}

std::int64_t VideoSender::stepDown(std::int64_t rate) {
    if (rate * 3 <= kMinSteppedBitRate * 4 - 1) return kMinSteppedBitRate;
    return rate * 3 / 4;
}

void VideoSender::attach(std::shared_ptr<VideoConnection> connection, bool pipelineRunning) {
    const std::uint64_t now = clock_.uptimeMicros();
    captureRestartGrace = {pipelineRunning, std::nullopt};
    connection_ = std::move(connection);
    stage1Times_.clear();
    lastStage1OrAttach_ = recoverySince_ = now;
    unacked_.clear();
    stalled_ = false;
    stage1GraceUntil_ = 0;
    // The client first learns the current stream.
    if (configData_ && connection_) connection_->sendBinary(*configData_);
}

void VideoSender::detach() {
    connection_.reset();
    unacked_.clear();
    stalled_ = false;
    stage1GraceUntil_ = 0;
}

void VideoSender::setGeneration(std::uint16_t gen) {
    gen_ = gen;
    lastRateChange_.reset();
    previousRates_.clear();
    stage1Times_.clear();
    unacked_.clear();
    stalled_ = false;
    droppedFrames_ = false;
    stage1GraceUntil_ = 0;
}

void VideoSender::setConfig(const protocol::StreamConfig& config) {
    ++seq_;
    auto packet = config.packet(seq_, clock_.uptimeMicros());
    if (!packet) return;
    configData_ = packet->encoded();
    if (connection_) connection_->sendBinary(*configData_);
}

void VideoSender::drop() {
    droppedFrames_ = true;
    ++droppedCount_;
}

void VideoSender::sendFrame(base::Bytes avcc, bool isKey, std::uint64_t ptsMicros) {
    if (!connection_) return;
    // After a drop, a non-key frame may reference what the client never got: only a keyframe
    // makes the stream whole again.
    if (!isKey && (stalled_ || droppedFrames_)) {
        drop();
        return;
    }
    if (!isKey && connection_->bytesInFlight() > kBacklogLimitBytes) {
        drop();
        if (onForceKeyframe) onForceKeyframe();
        return;
    }
    protocol::PacketFlags flags;
    if (isKey)
        flags = droppedFrames_
                    ? protocol::PacketFlags{protocol::PacketFlags::keyframe, protocol::PacketFlags::discontinuity}
                    : protocol::PacketFlags::keyframe;
    ++seq_;
    auto packet =
        protocol::VideoPacket::make(protocol::PacketType::video, flags, gen_, seq_, ptsMicros, std::move(avcc));
    if (!packet) return;
    if (isKey) droppedFrames_ = false;
    unacked_.push_back({seq_, clock_.uptimeMicros()});
    ++sentFrames_;
    connection_->sendBinary(packet->encoded());
}

bool VideoSender::ackReceived(std::uint16_t gen, std::uint32_t seq) {
    if (gen != gen_) return false;
    // A client cannot acknowledge a number not yet sent; such an ack would clear every frame.
    if (static_cast<std::int32_t>(seq - seq_) > 0) return false;
    const bool found = std::any_of(unacked_.begin(), unacked_.end(), [&](const Unacked& u) { return u.seq == seq; });
    std::erase_if(unacked_, [&](const Unacked& u) { return u.seq <= seq; });
    if (unacked_.empty() && stalled_) {
        stalled_ = false;
        droppedFrames_ = true;
        log("stall stage1 recovered: forcing keyframe");
        if (onForceKeyframe) onForceKeyframe();
    }
    return found;
}

void VideoSender::rebaseStallClock(std::uint64_t now) {
    for (auto& entry : unacked_) entry.sentAt = now;
}

void VideoSender::engageStage1(std::uint64_t now, std::uint64_t age) {
    stage1GraceUntil_ = 0;
    stalled_ = true;
    log("stall stage1 engaged: oldest unacked age " + std::to_string(age / 1000) + "ms");
    lastStage1OrAttach_ = recoverySince_ = now;
    stage1Times_.push_back(now);
}

void VideoSender::checkStall(std::uint64_t now, BitRateControl* encoder) {
    if (!connection_) return;
    const std::uint64_t age = unacked_.empty() ? 0 : now - unacked_.front().sentAt;
    if (!unacked_.empty() && age > kStage2Micros) {
        if (captureRestartGrace.covers(now)) {
            log("video stall (stage2) ignored: capture restart in progress");
        } else if (onStage2Stall) {
            onStage2Stall();
        }
        return;
    }
    const std::uint64_t threshold = std::max(3 * baseRTTMicros, kStage1FloorMicros);
    if (stalled_) {
        if (!unacked_.empty() && age <= threshold) {
            stage1GraceUntil_ = now + kRearmGraceMicros;
            stalled_ = false;
            droppedFrames_ = true;
            log("stall stage1 recovered early: oldest age " + std::to_string(age / 1000) + "ms, " +
                std::to_string(unacked_.size()) + " unacked");
            if (onForceKeyframe) onForceKeyframe();
        }
    } else if (age > threshold && (age > kStage1LongStallMicros || now >= stage1GraceUntil_)) {
        engageStage1(now, age);
    }
    std::erase_if(stage1Times_, [&](std::uint64_t t) { return t + kStage1WindowMicros < now; });
    if (encoder) adjustBitRate(now, *encoder);
}

void VideoSender::adjustBitRate(std::uint64_t now, BitRateControl& encoder) {
    if (lastRateChange_ && now - *lastRateChange_ < kRateStepSpacingMicros) return;
    const std::int64_t current = previousRates_.empty() ? encoder.initialBitRate() : stepDown(previousRates_.back());
    if (stage1Times_.size() >= kStage1EventsForStepDown && current > kMinSteppedBitRate) {
        previousRates_.push_back(current);
        const std::int64_t next = stepDown(current);
        log("bitrate down " + std::to_string(current) + " -> " + std::to_string(next) +
            " bps: " + std::to_string(stage1Times_.size()) + " stage1 events in 10s");
        stage1Times_.clear();
        lastRateChange_ = now;
        encoder.setPendingBitRate(next);
    } else if (!stalled_ && now - recoverySince_ > kCalmBeforeStepUpMicros && !previousRates_.empty()) {
        const std::int64_t popped = previousRates_.back();
        previousRates_.pop_back();
        log("bitrate up " + std::to_string(current) + " -> " + std::to_string(popped) + " bps: no stage1 for " +
            decimalSeconds(now - lastStage1OrAttach_) + "s");
        recoverySince_ = now;
        lastRateChange_ = now;
        encoder.setPendingBitRate(popped);
    }
}

}  // namespace orvanta::host
