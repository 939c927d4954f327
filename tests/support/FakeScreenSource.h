// A screen source whose content the test scripts and whose stream the test drives: pictures and
// stops are delivered on the test's thread when it says so.
#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "platform/ScreenSource.h"

namespace orvanta::testing {

class FakeScreenStream final : public platform::ScreenStream {
public:
    std::expected<void, std::string> start(ImageHandler onImage, StopHandler onStopped) override {
        std::lock_guard guard(mutex_);
        if (startError) return std::unexpected(*startError);
        onImage_ = std::move(onImage);
        onStopped_ = std::move(onStopped);
        started = true;
        return {};
    }
    // Keeps the handlers: a picture may still be on its way when a stop comes.
    void stop() override {
        std::lock_guard guard(mutex_);
        stopped = true;
    }
    std::expected<void, std::string> setExcludedWindows(std::set<std::uint32_t> windows) override {
        std::lock_guard guard(mutex_);
        if (exclusionError) return std::unexpected(*exclusionError);
        exclusions.push_back(std::move(windows));
        return {};
    }
    void redeliver() override {
        std::function<void()> hook;
        {
            std::lock_guard guard(mutex_);
            ++redeliveries;
            hook = onRedeliver;
        }
        if (hook) hook();
    }

    // What the stream thread would do.
    void emit(const platform::ScreenImage& image) {
        ImageHandler handler;
        {
            std::lock_guard guard(mutex_);
            handler = onImage_;
        }
        if (handler) handler(image);
    }
    void endOnItsOwn(std::string why) {
        StopHandler handler;
        {
            std::lock_guard guard(mutex_);
            handler = onStopped_;
        }
        if (handler) handler(std::move(why));
    }

    platform::StreamSettings settings;
    std::optional<std::string> startError;
    std::optional<std::string> exclusionError;
    std::vector<std::set<std::uint32_t>> exclusions;
    bool started = false;
    bool stopped = false;
    int redeliveries = 0;
    std::function<void()> onRedeliver;  // set before the stream is asked

private:
    std::mutex mutex_;
    ImageHandler onImage_;
    StopHandler onStopped_;
};

// What the capture owns: the test keeps the stream itself, so it outlives the capture's handle.
class FakeScreenStreamHandle final : public platform::ScreenStream {
public:
    explicit FakeScreenStreamHandle(std::shared_ptr<FakeScreenStream> stream) : stream_(std::move(stream)) {}
    ~FakeScreenStreamHandle() override { stream_->stop(); }
    std::expected<void, std::string> start(ImageHandler onImage, StopHandler onStopped) override {
        return stream_->start(std::move(onImage), std::move(onStopped));
    }
    void stop() override { stream_->stop(); }
    std::expected<void, std::string> setExcludedWindows(std::set<std::uint32_t> windows) override {
        return stream_->setExcludedWindows(std::move(windows));
    }
    void redeliver() override { stream_->redeliver(); }

private:
    std::shared_ptr<FakeScreenStream> stream_;
};

class FakeScreenSource final : public platform::ScreenSource {
public:
    ~FakeScreenSource() override {
        if (onDestroyed) onDestroyed();
    }
    // Each fetch takes the next scripted answer; the last one repeats.
    std::expected<platform::ShareableContent, std::string> content() override {
        std::lock_guard guard(mutex_);
        ++fetches;
        auto answer = contents.front();
        if (contents.size() > 1) contents.pop_front();
        return answer;
    }
    std::expected<std::unique_ptr<platform::ScreenStream>, std::string> openStream(
        const platform::StreamSettings& settings) override {
        std::lock_guard guard(mutex_);
        if (openError) return std::unexpected(*openError);
        auto stream = std::make_shared<FakeScreenStream>();
        stream->settings = settings;
        stream->startError = startError;
        streams.push_back(stream);
        if (onOpen) onOpen();
        return std::make_unique<FakeScreenStreamHandle>(stream);
    }

    std::size_t streamCount() {
        std::lock_guard guard(mutex_);
        return streams.size();
    }
    FakeScreenStream& stream(std::size_t index) {
        std::lock_guard guard(mutex_);
        return *streams.at(index);
    }
    std::shared_ptr<FakeScreenStream> lastStream() {
        std::lock_guard guard(mutex_);
        return streams.empty() ? nullptr : streams.back();
    }

    std::deque<std::expected<platform::ShareableContent, std::string>> contents{platform::ShareableContent{}};
    std::optional<std::string> openError;
    std::optional<std::string> startError;
    std::function<void()> onOpen;  // runs inside openStream, as a racing caller would
    std::function<void()> onDestroyed;  // when its last user, the capture, lets it go
    int fetches = 0;

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<FakeScreenStream>> streams;
};

}  // namespace orvanta::testing
