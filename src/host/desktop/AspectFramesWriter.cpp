#include "host/desktop/AspectFramesWriter.h"

#include <utility>

namespace orvanta::host {

void AspectFramesWriter::post(std::shared_ptr<AspectFramesStore> windows, std::vector<SavedAspectFrame> frames) {
    if (!windows) return;
    auto& queue = windows->windowQueue();
    {
        std::lock_guard lock(mutex_);
        pending_ = Pending{windows, std::move(frames)};
        if (std::exchange(scheduled_, true)) return;
    }
    queue.async([self = shared_from_this()] { self->flush(); });
}

void AspectFramesWriter::flush() {
    std::optional<Pending> taken;
    {
        std::lock_guard lock(mutex_);
        taken = std::exchange(pending_, std::nullopt);
        scheduled_ = false;
    }
    const auto windows = taken ? taken->windows.lock() : nullptr;
    if (!windows) return;
    if (taken->frames.empty()) {
        windows->clearRecordedFrames();
    } else if (auto saved = windows->saveRecordedFrames(taken->frames); !saved) {
        log_("display aspect fit: window frames not saved: " + saved.error());
    }
}

}  // namespace orvanta::host
