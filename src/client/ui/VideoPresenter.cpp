#include "client/ui/VideoPresenter.h"

namespace orvanta::client {

VideoPresenter::VideoPresenter(base::Executor& main, const base::Clock& clock) : main_(main), clock_(clock) {}

VideoPresenter::~VideoPresenter() { release_.cancel(); }

bool VideoPresenter::display(std::shared_ptr<const VideoSample> sample, base::Micros delay) {
    const std::uint64_t received = clock_.uptimeMicros();
    auto decoded = decoder_.decode(*sample);
    if (!decoded) {
        flush();
        if (onFailure) onFailure(decoded.error());
        return false;
    }
    if (*decoded) hold({std::move(**decoded), received}, delay);
    return true;
}

void VideoPresenter::flush() {
    decoder_.flush();
    held_.removeAll();
    waiting_.clear();
    release_.cancel();
    releaseScheduled_ = false;
}

std::optional<TimedPicture> VideoPresenter::takePicture() {
    if (waiting_.empty()) return std::nullopt;
    auto picture = std::move(waiting_.front());
    waiting_.pop_front();
    return picture;
}

// Due times never go backwards, so a picture handed over without delay still waits for those held
// before it.
void VideoPresenter::hold(TimedPicture picture, base::Micros delay) {
    if (delay.count() <= 0 && held_.isEmpty()) return makeWaiting(std::move(picture));
    held_.push(std::move(picture), clock_.uptimeMicros(),
               static_cast<std::uint64_t>(std::max<std::int64_t>(delay.count(), 0)));
    for (; held_.count() > kMaxHeldPictures; ++dropped_) held_.popFirst();
    scheduleRelease();
}

void VideoPresenter::scheduleRelease() {
    if (releaseScheduled_ || held_.isEmpty()) return;
    const std::uint64_t now = clock_.uptimeMicros();
    const std::uint64_t due = *held_.nextDue();
    releaseScheduled_ = true;
    release_ = main_.asyncAfter(base::Micros(due > now ? due - now : 0), [this] {
        releaseScheduled_ = false;
        releaseDue();
    });
}

void VideoPresenter::releaseDue() {
    auto due = held_.popDue(clock_.uptimeMicros());
    for (auto& picture : due) makeWaiting(std::move(picture));
    scheduleRelease();
}

void VideoPresenter::makeWaiting(TimedPicture picture) {
    waiting_.push_back(std::move(picture));
    while (waiting_.size() > kMaxWaitingPictures) {
        waiting_.pop_front();
        ++dropped_;
    }
    if (onPictureDue) onPictureDue();
}

}  // namespace orvanta::client
