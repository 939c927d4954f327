// Fakes of the controller's media views: captures, encoders, the video sender, Windows cursor
// streams and audio captures, made by a fake factory that keeps every one it made. Each records in
// the shared call log and lets the test play the component's side (a start's answer, a failure, a
// frame, an encoded access unit).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/controller/HostComponents.h"
#include "support/ManualExecutor.h"

namespace orvanta::testing {

// The call log FakeHostComponents shares between its fakes.
using HostCallLog = std::shared_ptr<std::vector<std::string>>;

class FakeHostEncoder final : public host::HostEncoder {
public:
    explicit FakeHostEncoder(HostCallLog log, std::int64_t width = 0, std::int64_t height = 0)
        : log_(std::move(log)), width_(width), height_(height) {}
    void forceKeyframe() override { log_->push_back("encoder.forceKeyframe"); }
    void invalidate() override {
        invalidated = true;
        log_->push_back("encoder.invalidate");
    }
    bool start() override {
        log_->push_back("encoder.start");
        return startResult;
    }
    void encode(std::shared_ptr<const host::PixelBuffer>, std::uint64_t ptsMicros) override {
        encoded.push_back(ptsMicros);
    }
    std::int64_t width() const override { return width_; }
    std::int64_t height() const override { return height_; }
    void setParametersHandler(ParametersHandler handler) override { onParameters = std::move(handler); }
    void setEncodedHandler(EncodedHandler handler) override { onEncoded = std::move(handler); }
    std::int64_t initialBitRate() const override { return initialRate; }
    void setPendingBitRate(std::int64_t rate) override { bitRates.push_back(rate); }

    bool startResult = true;
    std::int64_t initialRate = 40'000'000;
    std::vector<std::int64_t> bitRates;  // what the sender stepped the rate to
    bool invalidated = false;
    std::vector<std::uint64_t> encoded;  // the presentation times of the frames handed in
    ParametersHandler onParameters;
    EncodedHandler onEncoded;

private:
    HostCallLog log_;
    std::int64_t width_;
    std::int64_t height_;
};

class FakeHostCapture final : public host::HostCapture {
public:
    explicit FakeHostCapture(HostCallLog log, host::DeviceKind deviceKind = host::DeviceKind::other)
        : kind(deviceKind), log_(std::move(log)) {}
    bool running() const override { return isRunning; }
    bool capturesDisplay() const override { return display; }
    void updateOverlayExclusions(std::function<void()> done) override {
        log_->push_back("capture.updateOverlayExclusions");
        done();
    }
    void stop() override {
        log_->push_back("capture.stop");
        isRunning = false;
    }
    void setErrorHandler(std::function<void(std::string)> handler) override { onError = std::move(handler); }
    void start(const host::CaptureStartOptions& startOptions, std::function<void(bool)> done) override {
        log_->push_back("capture.start");
        options = startOptions;
        completion = std::move(done);
    }
    void setFrameHandler(FrameHandler handler) override { onFrame = std::move(handler); }
    void repeatLastFrame() override { log_->push_back("capture.repeatLastFrame"); }
    bool showsCursor() const override { return kind != host::DeviceKind::windows; }
    std::int64_t width() const override { return outputWidth; }
    std::int64_t height() const override { return outputHeight; }
    std::optional<std::uint32_t> capturedDisplayID() const override { return displayID; }
    std::optional<platform::ScreenRect> displayContentRect() const override { return contentRect; }
    std::optional<host::WindowCaptureGeometry> windowGeometry() const override { return geometry; }

    // The capture's side: the start's answer and a failure, as its own threads would send them.
    void finishStart(bool started) { std::exchange(completion, nullptr)(started); }
    void fail(const std::string& message) { onError(message); }

    const host::DeviceKind kind;
    bool isRunning = true;
    bool display = true;
    std::optional<host::CaptureStartOptions> options;  // once started
    std::function<void(bool)> completion;
    std::function<void(std::string)> onError;
    FrameHandler onFrame;
    std::int64_t outputWidth = 640;
    std::int64_t outputHeight = 360;
    std::optional<std::uint32_t> displayID;
    std::optional<platform::ScreenRect> contentRect;
    std::optional<host::WindowCaptureGeometry> geometry;

private:
    HostCallLog log_;
};

class FakeHostVideoSender final : public host::HostVideoSender {
public:
    explicit FakeHostVideoSender(HostCallLog log) : log_(std::move(log)) {}
    void checkStall(std::uint64_t nowMicros, host::HostEncoder* encoder) override {
        stallChecks.push_back(nowMicros);
        lastEncoder = encoder;
        log_->push_back("sender.checkStall");
    }
    void rebaseStallClock(std::uint64_t nowMicros) override {
        log_->push_back("sender.rebaseStallClock " + std::to_string(nowMicros));
    }
    void detach() override {
        attached.reset();
        log_->push_back("sender.detach");
    }
    void attach(std::shared_ptr<host::WebSocketConnection> connection, bool pipelineRunning) override {
        attached = std::move(connection);
        log_->push_back(pipelineRunning ? "sender.attach running" : "sender.attach");
    }
    bool hasConnection() const override { return attached != nullptr; }
    void setGeneration(std::uint16_t generation) override {
        generations.push_back(generation);
        log_->push_back("sender.setGeneration " + std::to_string(generation));
    }
    void setConfig(const protocol::StreamConfig& config) override { configs.push_back(config); }
    bool sendFrame(base::Bytes, bool isKey, std::uint64_t ptsMicros) override {
        frames.push_back({isKey, ptsMicros});
        return countsAsSent;
    }
    void recordCaptureStart(std::uint64_t nowMicros) override { captureStarts.push_back(nowMicros); }
    bool ackReceived(std::uint16_t gen, std::uint32_t seq) override {
        log_->push_back("sender.ack " + std::to_string(gen) + " " + std::to_string(seq));
        return firstOfGeneration;
    }
    void setBaseRTTMicros(std::uint64_t micros) override { baseRTT = micros; }

    struct Frame {
        bool isKey = false;
        std::uint64_t ptsMicros = 0;
        bool operator==(const Frame&) const = default;
    };

    std::shared_ptr<host::WebSocketConnection> attached;
    std::vector<std::uint64_t> stallChecks;
    host::HostEncoder* lastEncoder = nullptr;
    std::vector<std::uint16_t> generations;
    std::vector<protocol::StreamConfig> configs;
    std::vector<Frame> frames;
    bool countsAsSent = true;
    std::vector<std::uint64_t> captureStarts;
    bool firstOfGeneration = true;  // what acknowledgements answer
    std::optional<std::uint64_t> baseRTT;

private:
    HostCallLog log_;
};

class FakeHostWindowsCursorStream final : public host::HostWindowsCursorStream {
public:
    explicit FakeHostWindowsCursorStream(std::uint16_t streamGeneration = 0) : generation(streamGeneration) {}
    void send(const host::NormalizedCursor& position, std::uint64_t nowMicros, host::WebSocketConnection&) override {
        sent.push_back({position, nowMicros});
    }
    const std::uint16_t generation;
    std::vector<std::pair<host::NormalizedCursor, std::uint64_t>> sent;
};

class FakeHostAudioCapture final : public host::HostAudioCapture {
public:
    FakeHostAudioCapture(HostCallLog log, std::shared_ptr<host::WebSocketConnection> mediaConnection,
                         std::uint16_t streamGeneration)
        : connection(std::move(mediaConnection)), generation(streamGeneration), log_(std::move(log)) {}
    void setErrorHandler(std::function<void(std::string)> handler) override { onError = std::move(handler); }
    void start(std::function<void(bool)> done) override {
        log_->push_back("audio.start " + std::to_string(generation));
        completion = std::move(done);
    }
    void stop() override {
        stopped = true;
        log_->push_back("audio.stop " + std::to_string(generation));
    }

    void finishStart(bool started) { std::exchange(completion, nullptr)(started); }
    void fail(const std::string& message) { onError(message); }

    const std::shared_ptr<host::WebSocketConnection> connection;
    const std::uint16_t generation;
    bool stopped = false;
    std::function<void(bool)> completion;
    std::function<void(std::string)> onError;

private:
    HostCallLog log_;
};

// Makes the fakes above and keeps each, newest last. Encoders start on `encoderQueue`, which the
// test runs.
class FakeHostMedia final : public host::HostMedia {
public:
    explicit FakeHostMedia(HostCallLog log) : log_(std::move(log)) {}

    std::shared_ptr<host::HostCapture> makeCapture(host::DeviceKind kind) override {
        auto capture = std::make_shared<FakeHostCapture>(log_, kind);
        capture->outputWidth = captureWidth;
        capture->outputHeight = captureHeight;
        capture->displayID = captureDisplayID;
        captures.push_back(capture);
        return capture;
    }
    std::shared_ptr<host::HostEncoder> makeEncoder(std::int64_t width, std::int64_t height) override {
        auto encoder = std::make_shared<FakeHostEncoder>(log_, width, height);
        if (!encoderStarts.empty()) {
            encoder->startResult = encoderStarts.front();
            encoderStarts.erase(encoderStarts.begin());
        }
        encoders.push_back(encoder);
        return encoder;
    }
    std::shared_ptr<host::HostWindowsCursorStream> makeWindowsCursor(std::uint16_t generation) override {
        auto cursor = std::make_shared<FakeHostWindowsCursorStream>(generation);
        cursors.push_back(cursor);
        return cursor;
    }
    std::shared_ptr<host::HostAudioCapture> makeAudioCapture(std::shared_ptr<host::WebSocketConnection> connection,
                                                             std::uint16_t generation) override {
        auto audio = std::make_shared<FakeHostAudioCapture>(log_, std::move(connection), generation);
        audioCaptures.push_back(audio);
        return audio;
    }

    std::shared_ptr<FakeHostCapture> capture() const { return captures.empty() ? nullptr : captures.back(); }
    std::shared_ptr<FakeHostEncoder> encoder() const { return encoders.empty() ? nullptr : encoders.back(); }
    std::shared_ptr<FakeHostAudioCapture> audio() const {
        return audioCaptures.empty() ? nullptr : audioCaptures.back();
    }

    // What the next captures report after starting.
    std::int64_t captureWidth = 640;
    std::int64_t captureHeight = 360;
    std::optional<std::uint32_t> captureDisplayID = 1;
    // The answers of the next encoders' starts, in order; true once they are used up.
    std::vector<bool> encoderStarts;

    ManualExecutor encoderQueue;
    std::vector<std::shared_ptr<FakeHostCapture>> captures;
    std::vector<std::shared_ptr<FakeHostEncoder>> encoders;
    std::vector<std::shared_ptr<FakeHostWindowsCursorStream>> cursors;
    std::vector<std::shared_ptr<FakeHostAudioCapture>> audioCaptures;

private:
    HostCallLog log_;
};

}  // namespace orvanta::testing
