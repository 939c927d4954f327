// Display aspect fit: the main device asks for a whole desktop shaped like its own screen. The
// requests settle for a moment, then one virtual display is sized for its purpose and made, kept
// or replaced; the physical display carries on whenever no virtual display can serve.
#include <algorithm>
#include <charconv>
#include <cmath>

#include "host/controller/HostController.h"

namespace orvanta::host {
namespace {

std::string sizeText(std::int64_t width, std::int64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

std::int64_t evenAtLeastTwo(double value) {
    auto side = static_cast<std::int64_t>(std::round(value));
    side -= side % 2;
    return std::max<std::int64_t>(side, 2);
}

std::int64_t macroblocks(std::int64_t width, std::int64_t height) { return ((width + 15) / 16) * ((height + 15) / 16); }

}  // namespace

bool HostController::viewportSideValid(std::int64_t side) {
    return side >= kMinViewportSide && side <= kMaxViewportSide;
}

bool HostController::isCurrentMainSession(const Session& session) const {
    return session_.get() == &session && !session.detachedAt;
}

void HostController::applyClientAspectFit(const protocol::DisplayAspectFitRequest& request, Session& session) {
    if (!isCurrentMainSession(session)) return;
    bool viewportChanged = false;
    // An unusable viewport is kept out silently: the request still switches the mode.
    if (viewportSideValid(request.viewportWidth) && viewportSideValid(request.viewportHeight)) {
        viewportChanged =
            request.viewportWidth != session.viewportWidth || request.viewportHeight != session.viewportHeight;
        session.viewportWidth = static_cast<int>(request.viewportWidth);
        session.viewportHeight = static_cast<int>(request.viewportHeight);
    }
    const bool wasOn = std::exchange(clientAspectFit_, request.active);
    const double scale = request.scale && std::isfinite(*request.scale)
                             ? std::clamp(*request.scale, kMinAspectScale, kMaxAspectScale)
                             : 1.0;
    const bool scaleChanged = std::exchange(clientAspectScale_, scale) != scale;
    const bool changed = wasOn != request.active || viewportChanged || scaleChanged;
    if (changed) {
        log(std::string("display aspect fit: ") + (request.active ? "on" : "off") + " viewport " +
            sizeText(session.viewportWidth, session.viewportHeight) + " scale " + formatNumber(scale));
    }
    if (wasOn && !request.active) {
        cancelAspectUpdate();
        stopPipeline();
        const FitViewport viewport{session.viewportWidth, session.viewportHeight};
        if (windowFit_) windowFit_->viewport = viewport;
        if (pendingFit_) pendingFit_->viewport = viewport;
        if (!virtualDisplay_ && !virtualDisplayPending_ && !aspectPhysicalMainID_ && !displayRestorePending_) {
            log("display aspect fit: no virtual display to destroy, physical arrangement retained");
        }
        destroyVirtualDisplay("display aspect fit off", false);
        if (!displayRestorePending_) {
            applyPendingFit();
            startPipelineIfNeeded();
        }
        return;
    }
    if (paused_) {
        session.viewportChangedWhilePaused = true;
        return;
    }
    if (windowFitInPlay()) {
        if (viewportChanged || scaleChanged) updateWindowVideo(session);
        return;
    }
    if (!clientAspectFit_) {
        if (viewportChanged && !updateWindowVideo(session) && session.video) restartPipeline();
        return;
    }
    if (!changed && (virtualDisplay_ || virtualDisplayPending_ || pendingAspectUpdate_)) return;
    scheduleAspectUpdate(session);
}

void HostController::applyViewportUpdate(const protocol::ViewportUpdate& update, Session& session) {
    if (!isCurrentMainSession(session)) return;
    if (!viewportSideValid(update.width) || !viewportSideValid(update.height)) {
        log("viewport update ignored: " + sizeText(update.width, update.height));
        return;
    }
    if (update.width == session.viewportWidth && update.height == session.viewportHeight) return;
    session.viewportWidth = static_cast<int>(update.width);
    session.viewportHeight = static_cast<int>(update.height);
    log("viewport update: " + sizeText(update.width, update.height));
    if (paused_) {
        session.viewportChangedWhilePaused = true;
        return;
    }
    if (updateWindowVideo(session)) return;
    if (clientAspectFit_) {
        scheduleAspectUpdate(session);
    } else if (session.video) {
        restartPipeline();
    }
}

void HostController::restartPipeline() {
    stopPipeline();
    startPipelineIfNeeded();
}

void HostController::scheduleAspectUpdate(Session& session) {
    cancelAspectUpdate();
    if (!isCurrentMainSession(session) || !clientAspectFit_ || windowFitInPlay()) return;
    if (paused_) {
        session.viewportChangedWhilePaused = true;
        return;
    }
    if (virtualDisplayPending_) {
        // The creation under way is for the old request: its late result is discarded.
        ++virtualGeneration_;
        virtualDisplayPending_ = false;
    }
    const std::weak_ptr<HostController> weakSelf = weak_from_this();
    const std::weak_ptr<Session> weakSession = session_;
    pendingAspectUpdate_ = queue_.asyncAfter(kAspectUpdateDelay, [weakSelf, weakSession] {
        if (auto self = weakSelf.lock()) self->runAspectUpdate(weakSession);
    });
}

void HostController::runAspectUpdate(const std::weak_ptr<Session>& weakSession) {
    pendingAspectUpdate_.reset();
    const auto session = weakSession.lock();
    if (!session || !isCurrentMainSession(*session) || !clientAspectFit_ || windowFitInPlay()) return;
    if (paused_) {
        session->viewportChangedWhilePaused = true;
        return;
    }
    applyWholeDisplayAspect(session);
}

void HostController::cancelAspectUpdate() {
    if (pendingAspectUpdate_) pendingAspectUpdate_->cancel();
    pendingAspectUpdate_.reset();
    applyAspectAfterRestore_ = false;
}

void HostController::applyWholeDisplayAspect(const std::shared_ptr<Session>& session) {
    if (displayRestorePending_) {
        applyAspectAfterRestore_ = true;
        return;
    }
    if (ensureVirtualDisplay(VirtualDisplayPurpose::aspectFit, session->viewportWidth, session->viewportHeight)) return;
    if (!virtualDisplay_)
        log("display aspect fit: virtual display unavailable (API or viewport), using physical capture");
    migrateWindowsToVirtualDisplay();
    startPipelineIfNeeded();
}

std::optional<HostDisplay> HostController::displayInfo(std::uint32_t id) const {
    if (!dependencies_.components.displays) return std::nullopt;
    for (auto& display : dependencies_.components.displays->activeDisplays()) {
        if (display.id == id) return display;
    }
    return std::nullopt;
}

std::uint32_t HostController::currentMainDisplayID() const {
    const auto& displays = dependencies_.components.displays;
    return displays ? displays->mainDisplayID() : 0;
}

std::uint32_t HostController::physicalCaptureDisplayID() const {
    const auto& displays = dependencies_.components.displays;
    if (!displays) return 0;
    const auto active = displays->activeDisplays();
    const auto ownVirtual = [&](std::uint32_t id) {
        return std::ranges::any_of(active, [id](const HostDisplay& d) { return d.id == id && d.ownVirtual; });
    };
    if (aspectPhysicalMainID_ && !ownVirtual(*aspectPhysicalMainID_) &&
        std::ranges::any_of(active, [this](const HostDisplay& d) { return d.id == *aspectPhysicalMainID_; })) {
        return *aspectPhysicalMainID_;
    }
    if (const std::uint32_t main = displays->mainDisplayID(); main != 0 && !ownVirtual(main)) return main;
    const auto physical = std::ranges::find_if(active, [](const HostDisplay& d) { return !d.ownVirtual; });
    return physical != active.end() ? physical->id : 0;
}

std::optional<DisplaySize> HostController::virtualDisplaySize(VirtualDisplayPurpose purpose, int viewportWidth,
                                                              int viewportHeight) {
    const auto capture = displayInfo(physicalCaptureDisplayID());
    const PixelSize mainPixels = capture ? capture->pixels : PixelSize{};
    const platform::Rect bounds = capture ? capture->bounds : platform::Rect{};
    std::optional<PixelSize> minimum;
    if (session_ && session_->windowsScreenPixels) {
        minimum = PixelSize{session_->windowsScreenPixels->first, session_->windowsScreenPixels->second};
    }
    switch (purpose) {
        case VirtualDisplayPurpose::highRes: {
            if (!(bounds.width > 0) || !(bounds.height > 0)) return std::nullopt;
            const double aspect = bounds.width / bounds.height;
            const double longSide = std::min(kHighResLongSide * aspect, kHighResMaxWidth);
            const PixelSize single{evenAtLeastTwo(longSide), evenAtLeastTwo(longSide / aspect)};
            const PixelSize doubled{2 * single.width, 2 * single.height};
            const bool doubledFits = doubled.width <= kHighResDoubledMaxWidth &&
                                     doubled.height <= kHighResDoubledMaxHeight &&
                                     macroblocks(doubled.width, doubled.height) <= kMaxMacroblocks;
            const PixelSize chosen = doubledFits ? doubled : single;
            if (minimum) return VirtualDisplay::aspectDisplaySize(chosen.width, chosen.height, 2.0, minimum);
            return DisplaySize{chosen, doubledFits, chosen, std::nullopt};
        }
        case VirtualDisplayPurpose::windowFit: {
            const auto pixels = VirtualDisplay::pixelSize(viewportWidth, viewportHeight, mainPixels);
            if (!pixels) return std::nullopt;
            if (minimum) return VirtualDisplay::aspectDisplaySize(pixels->width, pixels->height, 2.0, minimum);
            return DisplaySize{*pixels, true, *pixels, std::nullopt};
        }
        case VirtualDisplayPurpose::aspectFit: {
            const std::int64_t width = viewportWidth >= 1 ? viewportWidth : (minimum ? minimum->width : 0);
            const std::int64_t height = viewportHeight >= 1 ? viewportHeight : (minimum ? minimum->height : 0);
            return VirtualDisplay::aspectDisplaySize(width, height, clientAspectScale_, minimum);
        }
    }
    return std::nullopt;
}

void HostController::logBackingAdjustment(const DisplaySize& size) const {
    const PixelSize& output = *size.outputPixels;
    const double requested = 2.0 * static_cast<double>(std::max(output.width, output.height)) / clientAspectScale_;
    const std::int64_t pixelLong = std::max(size.pixels.width, size.pixels.height);
    if (pixelLong >= 2 * static_cast<std::int64_t>(std::round(requested / 2))) return;
    log("display aspect fit: backing adjusted for pixel/encoder limit, scale " + formatNumber(clientAspectScale_) +
        ", requested long edge " + std::to_string(static_cast<std::int64_t>(std::round(requested))) + "px -> " +
        std::to_string(pixelLong) + "px, limit " + size.descriptorPixels.text() + "px, stream " + output.text() + "px");
}

bool HostController::ensureVirtualDisplay(VirtualDisplayPurpose purpose, int viewportWidth, int viewportHeight) {
    if (!virtualDisplayWanted()) return false;
    const auto& displays = dependencies_.components.displays;
    if (!displays || !displays->virtualDisplaysAvailable()) return false;
    const auto size = virtualDisplaySize(purpose, viewportWidth, viewportHeight);
    if (!size) {
        log("virtual display: no viewport, using main display");
        return false;
    }
    if (virtualDisplayPending_) return true;
    if (size->outputPixels) logBackingAdjustment(*size);
    if (virtualDisplay_) {
        if (virtualDisplay_->size == *size) return false;
        applyAspectAfterRestore_ = true;
        stopPipeline();
        destroyVirtualDisplay("size changed", purpose == VirtualDisplayPurpose::aspectFit);
        return true;
    }
    rememberDisplayArrangementBeforeCreation();
    if (clientAspectFit_) rememberAspectFrames();
    ++virtualGeneration_;
    virtualDisplayPending_ = true;
    const std::int64_t n = size->hiDPI ? 2 : 1;
    if (size->outputPixels) {
        log("display aspect fit: scale " + formatNumber(clientAspectScale_) + " -> " +
            sizeText(size->pixels.width / n, size->pixels.height / n) + "pt as " + size->pixels.text() +
            "px HiDPI, descriptor max " + size->descriptorPixels.text() + "px, stream " + size->outputPixels->text() +
            "px");
    }
    log("virtual display: creating " + size->pixels.text() + " reason=" + std::string(purposeName(purpose)) +
        " source=" + (purpose == VirtualDisplayPurpose::highRes ? "physical-main" : "viewport") +
        " HiDPI=" + (size->hiDPI ? "true" : "false"));
    startVirtualDisplayCreation(*size, virtualGeneration_, 0);
    return true;
}

// High resolution serves tablets and desktops; a phone's screen gains nothing from it.
VirtualDisplayPurpose HostController::fitPurpose() const {
    bool eligible = true;
    if (session_) {
        eligible = session_->deviceKind != DeviceKind::iPhone &&
                   !(session_->deviceKind == DeviceKind::android && session_->hasPhoneIdiom);
    }
    return highResOn_ && !clientAspectFit_ && eligible ? VirtualDisplayPurpose::highRes
                                                       : VirtualDisplayPurpose::windowFit;
}

}  // namespace orvanta::host
