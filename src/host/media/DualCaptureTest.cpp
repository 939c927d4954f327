#include "host/media/DualCaptureTest.h"

#include <algorithm>

namespace orvanta::host {
namespace {

constexpr std::string_view kErrorPrefix = "dual test error: ";

// The main display, else the first one.
std::optional<std::uint32_t> chosenDisplay(const platform::ShareableContent& content) {
    const auto& displays = content.displays;
    const auto main = std::ranges::find_if(
        displays, [&](const platform::ShareableDisplay& display) { return content.mainDisplay == display.id; });
    if (main != displays.end()) return main->id;
    if (!displays.empty()) return displays.front().id;
    return std::nullopt;
}

}  // namespace

std::shared_ptr<DualCaptureTest> DualCaptureTest::create(std::shared_ptr<platform::ScreenSource> source,
                                                         base::Executor& work, LogFn log) {
    return std::make_shared<DualCaptureTest>(Passkey{}, std::move(source), work, std::move(log));
}

DualCaptureTest::DualCaptureTest(Passkey, std::shared_ptr<platform::ScreenSource> source, base::Executor& work,
                                 LogFn log)
    : source_(std::move(source)), work_(work), log_(std::move(log)) {}

DualCaptureTest::~DualCaptureTest() {
    wait_.cancel();
    stopStreams();
}

void DualCaptureTest::run() {
    work_.async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->start();
    });
}

void DualCaptureTest::cancel() {
    wait_.cancel();
    work_.async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->ended_) return;
        self->fail("cancelled");
    });
}

std::array<std::int64_t, 2> DualCaptureTest::counts() const {
    std::lock_guard guard(lock_);
    return counts_;
}

void DualCaptureTest::start() {
    auto content = source_->content();
    if (!content) return fail(content.error());
    const auto display = chosenDisplay(*content);
    if (!display) {
        ended_ = true;
        log_("dual test: no display");
        return;
    }
    for (std::size_t index = 0; index < counts_.size(); ++index) {
        if (!startStream(*display, index)) return;
    }
    log_("dual test: both streams started");
    wait_ = work_.asyncAfter(kRunTime, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->finish();
    });
}

bool DualCaptureTest::startStream(std::uint32_t display, std::size_t index) {
    platform::StreamSettings settings{.target = platform::DisplayTarget{display},
                                      .showsCursor = true,
                                      .maxFramesPerSecond = kMaxFramesPerSecond,
                                      .excludedWindows = {}};
    auto stream = source_->openStream(settings);
    if (!stream) {
        fail(stream.error());
        return false;
    }
    // The destructor stops every stream before this object goes, so the handler never outlives it.
    auto started =
        (*stream)->start([this, index](const platform::ScreenImage&) { count(index); }, [](const std::string&) {});
    if (!started) {
        fail(started.error());
        return false;
    }
    std::lock_guard guard(lock_);
    streams_.push_back(std::move(*stream));
    return true;
}

// A picture counts only once its stream is listed, so the first count covers a little more time.
void DualCaptureTest::count(std::size_t index) {
    std::lock_guard guard(lock_);
    if (streams_.size() > index) ++counts_[index];
}

void DualCaptureTest::finish() {
    ended_ = true;
    stopStreams();
    const auto result = counts();
    log_("dual test result: streamA complete=" + std::to_string(result[0]) +
         " streamB complete=" + std::to_string(result[1]));
}

// A stream started before the failure would otherwise capture for the life of the process.
void DualCaptureTest::fail(std::string_view description) {
    ended_ = true;
    stopStreams();
    log_(std::string(kErrorPrefix) + std::string(description));
}

// Stopping waits for a picture in delivery, whose handler takes the lock: stop outside it.
void DualCaptureTest::stopStreams() {
    std::vector<std::unique_ptr<platform::ScreenStream>> running;
    {
        std::lock_guard guard(lock_);
        running.swap(streams_);
    }
    for (auto& stream : running) stream->stop();
}

}  // namespace orvanta::host
