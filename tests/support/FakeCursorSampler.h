// A pointer image chosen by the test, with a count of how often it was sampled.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/CursorSampler.h"

namespace orvanta::testing {

class FakeCursorSampler final : public platform::CursorSampler {
public:
    std::optional<platform::CursorImage> current() override {
        ++samples;
        std::lock_guard lock(mutex_);
        return image_;
    }

    void set(std::optional<platform::CursorImage> image) {
        std::lock_guard lock(mutex_);
        image_ = std::move(image);
    }

    std::atomic<int> samples{0};

private:
    std::mutex mutex_;
    std::optional<platform::CursorImage> image_;
};

}  // namespace orvanta::testing
