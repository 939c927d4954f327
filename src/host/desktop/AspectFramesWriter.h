// The frames recorded for restoration go to disk off the controller's queue, on the window queue,
// and only the latest set: changes that come while a write waits cost no write of their own.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/Executor.h"
#include "host/desktop/AspectFrames.h"

namespace orvanta::host {

// Where the recorded frames are kept, and the serial queue that writes them ("zq2.aspect.windows").
class AspectFramesStore {
public:
    virtual ~AspectFramesStore() = default;
    virtual base::Executor& windowQueue() = 0;
    // Replaces the frames kept; why not, on failure.
    virtual std::expected<void, std::string> saveRecordedFrames(const std::vector<SavedAspectFrame>& frames) = 0;
    virtual void clearRecordedFrames() = 0;
};

class AspectFramesWriter : public std::enable_shared_from_this<AspectFramesWriter> {
public:
    explicit AspectFramesWriter(LogFunction log) : log_(std::move(log)) {}

    // Any thread: the frames to keep from now on, nothing kept when empty. Written soon after.
    void post(std::shared_ptr<AspectFramesStore> windows, std::vector<SavedAspectFrame> frames);
    // On the window queue: writes what was posted last, when it is not written yet; a window is
    // moved only once its frame is on disk.
    void flush();

private:
    struct Pending {
        std::weak_ptr<AspectFramesStore> windows;  // whose queue holds the write: never kept alive by it
        std::vector<SavedAspectFrame> frames;
    };

    LogFunction log_;
    std::mutex mutex_;
    std::optional<Pending> pending_;
    bool scheduled_ = false;
};

}  // namespace orvanta::host
