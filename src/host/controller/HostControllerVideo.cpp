// The coordinator's side of the media pipeline: its wiring, the pointer's state as runs change,
// and the high-resolution mode.
#include "host/controller/HostController.h"

namespace orvanta::host {

// The pipeline lives as long as the controller; its late hops keep the controller alive while they run.
void HostController::wireMediaPipeline() {
    pipeline_->setLifetime(weak_from_this());
    pipeline_->host = {
        .log = [this](std::string_view line) { log(line); },
        .session = [this] { return session_; },
        .paused = [this] { return paused_; },
        .setStatus = [this](std::string text) { setStatus(std::move(text)); },
        .publishCaptureFailed =
            [this](bool failed) {
                publish([failed](HostPublishedState& state) { state.screenCaptureFailed = failed; });
            },
        .videoChanged = [this] { refreshAudio(); },
    };
    pipeline_->fit = {
        .current = [this] { return windowFit_; },
        .pending = [this] { return pendingFit_.has_value(); },
        .generation = [this] { return fitGeneration_; },
        .giveUp =
            [this] {
                clearWindowFit(true, true);
                sendWindowState(false, std::nullopt);
            },
    };
    pipeline_->displays = {
        .aspect =
            [this] {
                const auto& display = aspectFit_.virtualDisplay();
                return PipelineAspect{
                    .on = aspectFit_.on(),
                    .scale = aspectFit_.scale(),
                    .applicationDisplayID =
                        aspectApplication_ ? std::optional(aspectApplication_->displayID) : std::nullopt,
                    .captureSelected = aspectApplication_ && aspectApplication_->captureSelected,
                    .virtualSize = display ? std::optional(display->size) : std::nullopt,
                    .creating = aspectFit_.creationPending(),
                    .restoring = aspectFit_.restorePending()};
            },
        .highRes = [this] { return highResOn_; },
        .physicalCaptureDisplayID = [this] { return physicalCaptureDisplayID(); },
        .migrateWindows = [this] { migrateWindowsToVirtualDisplay(); },
    };
    pipeline_->input = {
        .pointerReady = [this] { return windowPointerState_ == WindowPointerState::ready; },
        .beginPointerChange = [this] { beginPointerChange(); },
        .awaitFrame =
            [this](std::uint16_t generation) {
                windowPointerState_ = WindowPointerState::awaitingFrame;
                awaitedPointerGen_ = generation;
            },
        .updateMapping = [this](const std::function<void(InputMapping&)>& change) { updateInputMapping(change); },
    };
}

void HostController::beginPointerChange() {
    if (windowPointerState_ == WindowPointerState::ready && input_) input_->releaseHeldPointerInputs();
    windowPointerState_ = WindowPointerState::changing;
}

void HostController::updateInputMapping(const std::function<void(InputMapping&)>& change) {
    if (!input_) return;
    InputMapping mapping = input_->mapping();
    change(mapping);
    input_->setMapping(mapping);
}

// Main thread. Stored even while nothing streams, so the next pipeline start honours it.
void HostController::setHighRes(bool on) {
    if (on && !dependencies_.components.virtualDisplaysAvailable) return;
    publish([on](HostPublishedState& state) { state.highResEnabled = on; });
    dependencies_.settings->set(StoredHostSettings::kHighResKey, on);
    queue_.async([weak = weak_from_this(), on] {
        if (auto self = weak.lock()) self->applyHighRes(on);
    });
}

// Display aspect fit and window fit choose their own sizes: they pick the mode up at their next start.
void HostController::applyHighRes(bool on) {
    if (on == highResOn_) return;
    highResOn_ = on;
    log(std::string("high-res mode: ") + (on ? "on" : "off"));
    if (aspectFit_.on() || windowFit_ || pendingFit_) return;
    if (session_ && session_->authenticated && !session_->detachedAt && session_->video) {
        stopPipeline();
        startPipelineIfNeeded();
    }
}

}  // namespace orvanta::host
