// The video surface's display, free of Qt: decodes each sample as it arrives, holds the picture for
// the video delay in force so that it meets its sound, and hands it to painting when due. It keeps
// up or drops: of the pictures due and not yet painted, only the newest two wait. Main executor.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "base/Clock.h"
#include "base/Executor.h"
#include "client/session/AudioSync.h"
#include "client/session/SessionMedia.h"
#include "client/ui/VideoDecoder.h"

namespace orvanta::client {

// A decoded picture with the uptime (µs) its sample was handed over, for latency figures.
struct TimedPicture {
    Picture picture;
    std::uint64_t receivedMicros = 0;
};

class VideoPresenter final : public VideoDisplay {
public:
    static constexpr std::size_t kMaxWaitingPictures = 2;
    // Half a second at 60 pictures a second: more than any delay a user can choose.
    static constexpr std::size_t kMaxHeldPictures = 30;

    VideoPresenter(base::Executor& main, const base::Clock& clock);
    ~VideoPresenter() override;
    VideoPresenter(const VideoPresenter&) = delete;
    VideoPresenter& operator=(const VideoPresenter&) = delete;

    // A sample the decoder refuses flushes the display and reports onFailure; false then.
    bool display(std::shared_ptr<const VideoSample> sample, base::Micros delay) override;
    void flush() override;

    // The oldest picture due for painting; later ones keep waiting.
    std::optional<TimedPicture> takePicture();
    std::size_t waitingPictures() const { return waiting_.size(); }
    std::size_t heldPictures() const { return held_.count(); }
    // Decoded pictures that were never painted: overtaken while waiting, or held past the bound.
    std::uint64_t droppedPictures() const { return dropped_; }

    // A picture became due: paint. Set after construction.
    std::function<void()> onPictureDue;
    // The decoder failed on a sample; the display has already flushed itself.
    std::function<void(const DecodeError&)> onFailure;

private:
    void hold(TimedPicture picture, base::Micros delay);
    void releaseDue();
    void scheduleRelease();
    void makeWaiting(TimedPicture picture);

    base::Executor& main_;
    const base::Clock& clock_;
    VideoDecoder decoder_;
    DelayLine<TimedPicture> held_;
    std::deque<TimedPicture> waiting_;
    base::TaskHandle release_;
    bool releaseScheduled_ = false;
    std::uint64_t dropped_ = 0;
};

}  // namespace orvanta::client
