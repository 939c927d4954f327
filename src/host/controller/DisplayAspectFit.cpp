// Display aspect fit and the one virtual display the host may own: made on the display queue with
// a time-out and retries, adopted, promoted to main display and demoted, and released, after which
// the physical arrangement from before the first creation is verified before anything resumes.
#include "host/controller/DisplayAspectFit.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "host/desktop/WindowManager.h"
#include "host/media/CaptureSizing.h"

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

bool viewportSideValid(std::int64_t side) {
    return side >= DisplayAspectFit::kMinViewportSide && side <= DisplayAspectFit::kMaxViewportSide;
}

const HostDisplay* findDisplay(const std::vector<HostDisplay>& displays, std::uint32_t id) {
    const auto found = std::ranges::find_if(displays, [id](const HostDisplay& d) { return d.id == id; });
    return found != displays.end() ? &*found : nullptr;
}

// The saved entries whose display is still there and physical.
DisplayOrigins survivingOrigins(const DisplayOrigins& saved, const std::vector<HostDisplay>& active) {
    DisplayOrigins result;
    for (const auto& entry : saved) {
        const HostDisplay* display = findDisplay(active, entry.first);
        if (display && !display->ownVirtual) result.push_back(entry);
    }
    return result;
}

bool atSavedOrigins(const DisplayOrigins& survivors, const std::vector<HostDisplay>& active) {
    return std::ranges::all_of(survivors, [&](const auto& entry) {
        const HostDisplay* display = findDisplay(active, entry.first);
        return display && display->bounds.x == entry.second.x && display->bounds.y == entry.second.y;
    });
}

bool holds(const DisplayOrigins& origins, std::uint32_t id) {
    return std::ranges::any_of(origins, [id](const auto& entry) { return entry.first == id; });
}

// An origin list as the host log writes it.
std::string originsText(const DisplayOrigins& origins) {
    std::string text = "[";
    for (const auto& [id, origin] : origins) {
        if (text.size() > 1) text += ", ";
        text += "(" + std::to_string(id) + ", (" + formatNumber(origin.x) + ", " + formatNumber(origin.y) + "))";
    }
    return text + "]";
}

}  // namespace

DisplayAspectFit::DisplayAspectFit(base::Executor& queue, std::shared_ptr<HostDisplays> displays,
                                   std::shared_ptr<HostInput> input)
    : queue_(queue), displays_(std::move(displays)), input_(std::move(input)) {}

void DisplayAspectFit::post(std::function<void(DisplayAspectFit&)> task) {
    queue_.async([lifetime = lifetime_, self = this, task = std::move(task)] {
        if (const auto alive = lifetime.lock()) task(*self);
    });
}

void DisplayAspectFit::postAfter(base::Micros delay, std::function<void(DisplayAspectFit&)> task) {
    queue_.asyncAfter(delay, [lifetime = lifetime_, self = this, task = std::move(task)] {
        if (const auto alive = lifetime.lock()) task(*self);
    });
}

bool DisplayAspectFit::isCurrentMainSession(const HostSession& session) const {
    return host.session().get() == &session && !session.detachedAt;
}

void DisplayAspectFit::request(const protocol::DisplayAspectFitRequest& request, HostSession& session) {
    if (!isCurrentMainSession(session)) return;
    bool viewportChanged = false;
    // An unusable viewport is kept out silently: the request still switches the mode.
    if (viewportSideValid(request.viewportWidth) && viewportSideValid(request.viewportHeight)) {
        viewportChanged =
            request.viewportWidth != session.viewportWidth || request.viewportHeight != session.viewportHeight;
        session.viewportWidth = static_cast<int>(request.viewportWidth);
        session.viewportHeight = static_cast<int>(request.viewportHeight);
    }
    const bool wasOn = std::exchange(on_, request.active);
    const double scale = request.scale && std::isfinite(*request.scale)
                             ? std::clamp(*request.scale, kMinAspectScale, kMaxAspectScale)
                             : 1.0;
    const bool scaleChanged = std::exchange(scale_, scale) != scale;
    const bool changed = wasOn != request.active || viewportChanged || scaleChanged;
    if (changed) {
        log(std::string("display aspect fit: ") + (request.active ? "on" : "off") + " viewport " +
            sizeText(session.viewportWidth, session.viewportHeight) + " scale " + formatNumber(scale));
    }
    const FitViewport viewport{session.viewportWidth, session.viewportHeight};
    if (wasOn && !request.active) {
        cancelUpdate();
        host.stopPipeline();
        fit.setViewport(viewport);
        if (!virtualDisplay_ && !creationPending_ && !physicalMainID_ && !restorePending_) {
            log("display aspect fit: no virtual display to destroy, physical arrangement retained");
        }
        releaseVirtualDisplay("display aspect fit off", false);
        if (!restorePending_) {
            fit.applyPending();
            host.startPipeline();
        }
        return;
    }
    if (host.paused()) {
        session.viewportChangedWhilePaused = true;
        return;
    }
    if (fit.inPlay()) {
        if (viewportChanged || scaleChanged) fit.updateVideo(viewport);
        return;
    }
    if (!on_) {
        if (viewportChanged && !fit.updateVideo(viewport) && session.video) restartPipeline();
        return;
    }
    if (!changed && (virtualDisplay_ || creationPending_ || pendingUpdate_)) return;
    scheduleUpdate(session);
}

void DisplayAspectFit::viewportUpdate(const protocol::ViewportUpdate& update, HostSession& session) {
    if (!isCurrentMainSession(session)) return;
    if (!viewportSideValid(update.width) || !viewportSideValid(update.height)) {
        log("viewport update ignored: " + sizeText(update.width, update.height));
        return;
    }
    if (update.width == session.viewportWidth && update.height == session.viewportHeight) return;
    session.viewportWidth = static_cast<int>(update.width);
    session.viewportHeight = static_cast<int>(update.height);
    log("viewport update: " + sizeText(update.width, update.height));
    if (host.paused()) {
        session.viewportChangedWhilePaused = true;
        return;
    }
    if (fit.updateVideo({session.viewportWidth, session.viewportHeight})) return;
    if (on_) {
        scheduleUpdate(session);
    } else if (session.video) {
        restartPipeline();
    }
}

void DisplayAspectFit::restartPipeline() {
    host.stopPipeline();
    host.startPipeline();
}

void DisplayAspectFit::scheduleUpdate(HostSession& session) {
    cancelUpdate();
    if (!isCurrentMainSession(session) || !on_ || fit.inPlay()) return;
    if (host.paused()) {
        session.viewportChangedWhilePaused = true;
        return;
    }
    if (creationPending_) {
        // The creation under way is for the old request: its late result is discarded.
        ++generation_;
        creationPending_ = false;
    }
    const std::weak_ptr<HostSession> weakSession = host.session();
    pendingUpdate_ = queue_.asyncAfter(kAspectUpdateDelay, [lifetime = lifetime_, self = this, weakSession] {
        if (const auto alive = lifetime.lock()) self->runUpdate(weakSession);
    });
}

void DisplayAspectFit::runUpdate(const std::weak_ptr<HostSession>& weakSession) {
    pendingUpdate_.reset();
    const auto session = weakSession.lock();
    if (!session || !isCurrentMainSession(*session) || !on_ || fit.inPlay()) return;
    if (host.paused()) {
        session->viewportChangedWhilePaused = true;
        return;
    }
    applyWholeDisplay(session);
}

void DisplayAspectFit::cancelUpdate() {
    if (pendingUpdate_) pendingUpdate_->cancel();
    pendingUpdate_.reset();
    applyAfterRestore_ = false;
}

void DisplayAspectFit::applyWholeDisplay(const std::shared_ptr<HostSession>& session) {
    if (restorePending_) {
        applyAfterRestore_ = true;
        return;
    }
    if (ensureVirtualDisplay(VirtualDisplayPurpose::aspectFit, session->viewportWidth, session->viewportHeight)) return;
    if (!virtualDisplay_)
        log("display aspect fit: virtual display unavailable (API or viewport), using physical capture");
    migration.migrate();
    host.startPipeline();
}

void DisplayAspectFit::snapshotConnectionLayout() {
    if (!connectionLayout_) connectionLayout_ = currentPhysicalLayout();
}

void DisplayAspectFit::sessionStarted(HostSession& session) {
    if (fit.inPlay()) return;
    if (on_) {
        scheduleUpdate(session);
    } else if (holdsVirtualDisplay()) {
        releaseVirtualDisplay("app view ended", false);
    }
}

void DisplayAspectFit::sessionEnded() {
    connectionLayout_.reset();
    if (on_) {
        on_ = false;
        log("display aspect fit: off (session ended)");
    }
    scale_ = 1.0;
    cancelUpdate();
}

void DisplayAspectFit::restoreOnDisconnect(std::string_view reason) {
    if (virtualDisplay_ || creationPending_ || physicalMainID_) {
        releaseVirtualDisplay(reason, false);
    } else if (migration.holdsWindows() && !restorePending_) {
        migration.restore(false);
    }
}

std::optional<HostDisplay> DisplayAspectFit::displayInfo(std::uint32_t id) const {
    if (!displays_) return std::nullopt;
    for (auto& display : displays_->activeDisplays()) {
        if (display.id == id) return display;
    }
    return std::nullopt;
}

std::uint32_t DisplayAspectFit::currentMainDisplayID() const { return displays_ ? displays_->mainDisplayID() : 0; }

std::uint32_t DisplayAspectFit::physicalCaptureDisplayID() const {
    if (!displays_) return 0;
    const auto active = displays_->activeDisplays();
    const auto ownVirtual = [&](std::uint32_t id) {
        return std::ranges::any_of(active, [id](const HostDisplay& d) { return d.id == id && d.ownVirtual; });
    };
    if (physicalMainID_ && !ownVirtual(*physicalMainID_) &&
        std::ranges::any_of(active, [this](const HostDisplay& d) { return d.id == *physicalMainID_; })) {
        return *physicalMainID_;
    }
    if (const std::uint32_t main = displays_->mainDisplayID(); main != 0 && !ownVirtual(main)) return main;
    const auto physical = std::ranges::find_if(active, [](const HostDisplay& d) { return !d.ownVirtual; });
    return physical != active.end() ? physical->id : 0;
}

std::optional<DisplaySize> DisplayAspectFit::virtualDisplaySize(VirtualDisplayPurpose purpose, int viewportWidth,
                                                                int viewportHeight) const {
    const auto capture = displayInfo(physicalCaptureDisplayID());
    const PixelSize mainPixels = capture ? capture->pixels : PixelSize{};
    const platform::Rect bounds = capture ? capture->bounds : platform::Rect{};
    std::optional<PixelSize> minimum;
    if (const auto session = host.session(); session && session->windowsScreenPixels) {
        minimum = PixelSize{session->windowsScreenPixels->first, session->windowsScreenPixels->second};
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
                                     macroblockCount({doubled.width, doubled.height}) <= kMaxMacroblocks;
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
            return VirtualDisplay::aspectDisplaySize(width, height, scale_, minimum);
        }
    }
    return std::nullopt;
}

void DisplayAspectFit::logBackingAdjustment(const DisplaySize& size) const {
    const PixelSize& output = *size.outputPixels;
    const double requested = 2.0 * static_cast<double>(std::max(output.width, output.height)) / scale_;
    const std::int64_t pixelLong = std::max(size.pixels.width, size.pixels.height);
    if (pixelLong >= 2 * static_cast<std::int64_t>(std::round(requested / 2))) return;
    log("display aspect fit: backing adjusted for pixel/encoder limit, scale " + formatNumber(scale_) +
        ", requested long edge " + std::to_string(static_cast<std::int64_t>(std::round(requested))) + "px -> " +
        std::to_string(pixelLong) + "px, limit " + size.descriptorPixels.text() + "px, stream " + output.text() + "px");
}

bool DisplayAspectFit::ensureVirtualDisplay(VirtualDisplayPurpose purpose, int viewportWidth, int viewportHeight) {
    if (!virtualDisplayWanted()) return false;
    if (!displays_ || !displays_->virtualDisplaysAvailable()) return false;
    const auto size = virtualDisplaySize(purpose, viewportWidth, viewportHeight);
    if (!size) {
        log("virtual display: no viewport, using main display");
        return false;
    }
    if (creationPending_) return true;
    if (size->outputPixels) logBackingAdjustment(*size);
    if (virtualDisplay_) {
        if (virtualDisplay_->size == *size) return false;
        applyAfterRestore_ = true;
        host.stopPipeline();
        releaseVirtualDisplay("size changed", purpose == VirtualDisplayPurpose::aspectFit);
        return true;
    }
    rememberArrangementBeforeCreation();
    if (on_) migration.rememberFrames();
    ++generation_;
    creationPending_ = true;
    const std::int64_t n = size->hiDPI ? 2 : 1;
    if (size->outputPixels) {
        log("display aspect fit: scale " + formatNumber(scale_) + " -> " +
            sizeText(size->pixels.width / n, size->pixels.height / n) + "pt as " + size->pixels.text() +
            "px HiDPI, descriptor max " + size->descriptorPixels.text() + "px, stream " + size->outputPixels->text() +
            "px");
    }
    log("virtual display: creating " + size->pixels.text() + " reason=" + std::string(purposeName(purpose)) +
        " source=" + (purpose == VirtualDisplayPurpose::highRes ? "physical-main" : "viewport") +
        " HiDPI=" + (size->hiDPI ? "true" : "false"));
    startCreation(*size, generation_, 0);
    return true;
}

// High resolution serves tablets and desktops; a phone's screen gains nothing from it.
VirtualDisplayPurpose DisplayAspectFit::fitPurpose() const {
    bool eligible = true;
    if (const auto session = host.session()) {
        eligible = session->deviceKind != DeviceKind::iPhone &&
                   !(session->deviceKind == DeviceKind::android && session->hasPhoneIdiom);
    }
    return host.highRes() && !on_ && eligible ? VirtualDisplayPurpose::highRes : VirtualDisplayPurpose::windowFit;
}

void DisplayAspectFit::startCreation(const DisplaySize& size, std::uint64_t generation, int attempt) {
    createAttempt_ = attempt;
    if (attempt == 0) creationGaveUp_ = false;
    const std::weak_ptr<HostDisplays> weakDisplays = displays_;
    base::Executor* hostQueue = &queue_;
    displays_->displayQueue().async(
        [lifetime = lifetime_, self = this, weakDisplays, hostQueue, size, generation, attempt] {
            bool wanted = false;
            try {
                wanted = hostQueue->sync([&] {
                    const auto alive = lifetime.lock();
                    return alive && self->generation_ == generation && self->createAttempt_ == attempt;
                });
            } catch (const base::ExecutorStopped&) {
                return;
            }
            const auto displays = weakDisplays.lock();
            if (!wanted || !displays) return;
            auto display = displays->create(size);
            hostQueue->async([lifetime, self, displays, display, size, generation, attempt] {
                const auto alive = lifetime.lock();
                if (!alive) {
                    if (display) displays->release(display);
                    return;
                }
                self->finishCreation(display, size, generation, attempt);
            });
        });
    postAfter(kVirtualCreateTimeout,
              [generation, attempt](DisplayAspectFit& self) { self.creationTimedOut(generation, attempt); });
}

void DisplayAspectFit::creationTimedOut(std::uint64_t generation, int attempt) {
    if (generation_ != generation || createAttempt_ != attempt || !creationPending_) return;
    creationGaveUp_ = true;
    releaseVirtualDisplay("creation timed out, continuing with physical display", false);
    resumeAfterRestore();
}

void DisplayAspectFit::finishCreation(std::shared_ptr<VirtualDisplay> display, const DisplaySize& size,
                                      std::uint64_t generation, int attempt) {
    const bool current = generation == generation_ && attempt == createAttempt_;
    const bool wanted = host.session() && virtualDisplayWanted();
    if (current && !wanted) {
        // The creation in force ends here; a pending flag left set would hold off every later one.
        creationPending_ = false;
        if (!display) return releaseVirtualDisplay("creation no longer requested", false);
    }
    if (!current || !wanted) {
        if (display) discardUnclaimed(std::move(display));
        return;
    }
    if (display) return adopt(std::move(display), attempt);
    if (attempt >= kVirtualCreateLastAttempt) {
        creationGaveUp_ = true;
        releaseVirtualDisplay("creation failed, continuing with physical display", false);
        return;
    }
    log("virtual display: creation failed, retry " + std::to_string(attempt + 1) + "/" +
        std::to_string(kVirtualCreateLastAttempt));
    createAttempt_ = -1;
    postAfter(kVirtualCreateRetryDelay,
              [size, generation, attempt](DisplayAspectFit& self) { self.retryCreation(size, generation, attempt); });
}

void DisplayAspectFit::retryCreation(const DisplaySize& size, std::uint64_t generation, int attempt) {
    if (generation_ != generation || !creationPending_ || createAttempt_ != -1) return;
    if (!host.session() || !virtualDisplayWanted()) {
        releaseVirtualDisplay("creation no longer requested", false);
        return;
    }
    startCreation(size, generation, attempt + 1);
}

void DisplayAspectFit::adopt(std::shared_ptr<VirtualDisplay> display, int attempt) {
    creationPending_ = false;
    virtualDisplay_ = std::move(display);
    const auto session = host.session();
    if (!session || session->detachedAt) return;
    if (host.paused()) {
        session->viewportChangedWhilePaused = true;
        return;
    }
    if (fit.pending()) {
        fit.applyPending();
        host.startPipeline();
        return;
    }
    if (fit.activeUnsuspended()) {
        const auto bounds = displayInfo(virtualDisplay_->displayID);
        if (bounds && fit.moveOnto(bounds->bounds)) return;
    }
    if (on_ && !fit.inPlay()) {
        log("display aspect fit: applying virtual display id=" + std::to_string(virtualDisplay_->displayID) +
            " after attempt " + std::to_string(attempt + 1));
        migration.migrate();
    } else {
        host.startPipeline();
    }
}

void DisplayAspectFit::discardUnclaimed(std::shared_ptr<VirtualDisplay> display) {
    if (!creationPending_ && !virtualDisplay_ && !pendingUpdate_) {
        // Adopted only to be released the usual way, so that the arrangement is checked again.
        virtualDisplay_ = std::move(display);
        releaseVirtualDisplay("unclaimed creation", false);
        return;
    }
    displays_->release(std::move(display));
}

void DisplayAspectFit::releaseVirtualDisplay(std::string_view reason, bool replacingAspectDisplay) {
    if (!virtualDisplay_ && !creationPending_ && (!physicalMainID_ || restorePending_)) return;
    restorePending_ = true;
    log("virtual display: destroying id=" +
        (virtualDisplay_ ? std::to_string(virtualDisplay_->displayID) : std::string("pending")) + " (" +
        std::string(reason) + ")");
    migration.restore(replacingAspectDisplay);
    ++generation_;
    creationPending_ = false;
    if (input_) {
        InputMapping mapping = input_->mapping();
        mapping.displayID = physicalCaptureDisplayID();
        input_->setMapping(mapping);
    }
    std::optional<std::uint32_t> releasedID;
    if (auto released = std::exchange(virtualDisplay_, nullptr)) {
        releasedID = released->displayID;
        displays_->release(std::move(released));
    }
    checkArrangementAfterRelease(releasedID);
}

void DisplayAspectFit::rememberArrangementBeforeCreation() {
    if (physicalMainID_) return;
    const auto layout = host.session() && connectionLayout_ ? connectionLayout_ : currentPhysicalLayout();
    if (!layout) {
        log("display aspect fit: could not snapshot original display arrangement");
        return;
    }
    physicalMainID_ = layout->main;
    savedOrigins_ = layout->origins;
    log("display aspect fit: saved physical display arrangement main=" + std::to_string(layout->main) +
        " origins=" + originsText(layout->origins));
}

std::optional<DisplayAspectFit::DisplayLayout> DisplayAspectFit::currentPhysicalLayout() const {
    if (physicalMainID_) return DisplayLayout{*physicalMainID_, savedOrigins_};
    if (!displays_) return std::nullopt;
    const std::uint32_t main = physicalCaptureDisplayID();
    DisplayLayout layout{main, {}};
    for (const auto& display : displays_->activeDisplays()) {
        if (!display.ownVirtual)
            layout.origins.emplace_back(display.id, platform::Point{display.bounds.x, display.bounds.y});
    }
    if (!holds(layout.origins, main)) return std::nullopt;
    return layout;
}

std::optional<DisplayOrigins> DisplayAspectFit::promotionOrigins(const DisplayOrigins& displays,
                                                                 std::uint32_t virtualID, double width,
                                                                 std::uint32_t mainID) {
    if (!(width > 0) || !holds(displays, virtualID) || !holds(displays, mainID)) return std::nullopt;
    platform::Point leftmost =
        std::ranges::find_if(displays, [mainID](const auto& entry) { return entry.first == mainID; })->second;
    for (const auto& [id, origin] : displays) {
        if (id != virtualID && id != mainID && origin.x < leftmost.x) leftmost = origin;
    }
    DisplayOrigins result;
    for (const auto& [id, origin] : displays) {
        result.emplace_back(id, id == virtualID
                                    ? platform::Point{0, 0}
                                    : platform::Point{width + origin.x - leftmost.x, origin.y - leftmost.y});
    }
    return result;
}

bool DisplayAspectFit::applyDisplayOrigins(const DisplayOrigins& origins) {
    std::vector<platform::DisplayPlacement> rounded;
    constexpr double kLowest = std::numeric_limits<std::int32_t>::min();
    constexpr double kHighest = std::numeric_limits<std::int32_t>::max();
    for (const auto& [id, origin] : origins) {
        const double x = std::round(origin.x);
        const double y = std::round(origin.y);
        if (!(x >= kLowest && x <= kHighest && y >= kLowest && y <= kHighest)) {
            log("display aspect fit: invalid origin id=" + std::to_string(id));
            return false;
        }
        rounded.push_back({id, static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)});
    }
    const auto applied = displays_->applyOrigins(rounded);
    if (applied) return true;
    switch (applied.error().step) {
        case DisplayConfigurationError::Step::begin:
            log("display aspect fit: begin configuration failed");
            break;
        case DisplayConfigurationError::Step::origin:
            log("display aspect fit: origin failed id=" + std::to_string(applied.error().displayID) +
                " error=" + std::to_string(applied.error().code));
            break;
        case DisplayConfigurationError::Step::complete:
            log("display aspect fit: configuration failed " + std::to_string(applied.error().code));
            break;
    }
    return false;
}

// A main-display change may land a moment after the configuration completes.
bool DisplayAspectFit::waitForMainDisplay(std::uint32_t expected) {
    for (int poll = 0; poll < kMainDisplayPolls; ++poll) {
        if (poll > 0) displays_->waitForMainDisplay(kMainDisplayPollInterval);
        if (currentMainDisplayID() == expected) return true;
    }
    return false;
}

void DisplayAspectFit::endArrangementGrace() { stallGraceUntil_ = host.now() + kArrangementGraceMicros; }

bool DisplayAspectFit::promote() {
    promoted_ = false;
    return promoteToMain();
}

bool DisplayAspectFit::promoteToMain() {
    if (!virtualDisplay_ || promoted_) return promoted_;
    const std::uint32_t virtualID = virtualDisplay_->displayID;
    const std::string id = std::to_string(virtualID);
    log("display aspect fit: promoting id=" + id + " attempt=" + std::to_string(++promotionAttempts_));
    const std::uint32_t physical = physicalCaptureDisplayID();
    if (physical == 0 || physical == virtualID) {
        log("display aspect fit: promotion failed (no physical main)");
        return false;
    }
    if (currentMainDisplayID() == virtualID) {
        promoted_ = true;
        log("display aspect fit: virtual display id=" + id + " already main, migrating windows");
        return true;
    }
    const auto active = displays_->activeDisplays();
    DisplayOrigins rollback;
    for (const auto& display : active)
        rollback.emplace_back(display.id, platform::Point{display.bounds.x, display.bounds.y});
    const HostDisplay* own = findDisplay(active, virtualID);
    const auto origins = promotionOrigins(rollback, virtualID, own ? own->bounds.width : 0, physical);
    if (!origins) {
        log("display aspect fit: promotion failed (display list)");
        return false;
    }
    // Input stays on the physical display while the main display changes under it.
    if (input_ && !input_->mapping().displayID && !fit.activeUnsuspended()) {
        InputMapping mapping = input_->mapping();
        mapping.displayID = physical;
        input_->setMapping(mapping);
    }
    stallGraceUntil_ = kGraceHeld;
    if (applyDisplayOrigins(*origins) && waitForMainDisplay(virtualID)) {
        promoted_ = true;
        log("display aspect fit: promoted virtual display id=" + id + " to main");
        endArrangementGrace();
        return true;
    }
    applyDisplayOrigins(rollback);
    waitForMainDisplay(physical);
    log("display aspect fit: promotion failed");
    restartWholeDisplayPipelineAfterArrangementChange("promotion failed");
    endArrangementGrace();
    return false;
}

void DisplayAspectFit::demote() {
    const auto finish = [this] {
        promoted_ = false;
        promotionAttempts_ = 0;
    };
    if (!virtualDisplay_ || !physicalMainID_ || !(promoted_ || currentMainDisplayID() == virtualDisplay_->displayID)) {
        return finish();
    }
    const std::uint32_t main = *physicalMainID_;
    const std::uint32_t virtualID = virtualDisplay_->displayID;
    const auto active = displays_->activeDisplays();
    DisplayOrigins restore = survivingOrigins(savedOrigins_, active);
    if (!holds(restore, main)) return finish();
    const HostDisplay* own = findDisplay(active, virtualID);
    if (main != virtualID && own && own->ownVirtual) {
        platform::Point origin{static_cast<double>(virtualDisplay_->origin.x),
                               static_cast<double>(virtualDisplay_->origin.y)};
        if (origin == platform::Point{0, 0}) origin = {findDisplay(active, main)->bounds.width, 0};
        restore.emplace_back(virtualID, origin);
    }
    stallGraceUntil_ = kGraceHeld;
    if (applyDisplayOrigins(restore) && waitForMainDisplay(main)) {
        log("display aspect fit: demoted virtual display, physical main=" + std::to_string(main));
    } else {
        log("display aspect fit: restore of display arrangement failed (main=" +
            std::to_string(currentMainDisplayID()) + " expected=" + std::to_string(main) + ")");
    }
    restartWholeDisplayPipelineAfterArrangementChange("demotion");
    endArrangementGrace();
    finish();
}

bool DisplayAspectFit::promoted() const { return promoted_ && virtualDisplayIsMain(); }

void DisplayAspectFit::restartWholeDisplayPipelineAfterArrangementChange(std::string_view reason) {
    const auto capture = host.capture();
    const auto eligible = [this](const std::shared_ptr<HostCapture>& running) {
        const auto session = host.session();
        return running && running->running() && !fit.activeUnsuspended() && session && session->video && !host.paused();
    };
    if (!eligible(capture)) return;
    post([capture, eligible, reason = std::string(reason)](DisplayAspectFit& self) {
        if (self.host.capture() != capture || !eligible(capture) || self.host.session()->detachedAt ||
            self.creationPending_) {
            return;
        }
        self.log("pipeline restart after display arrangement change (" + reason + ")");
        self.restartPipeline();
    });
}

void DisplayAspectFit::checkArrangementAfterRelease(std::optional<std::uint32_t> displayID) {
    const std::uint64_t generation = generation_;
    // Behind the release on the display queue, so the check never sees the display half gone.
    displays_->displayQueue().async([lifetime = lifetime_, self = this, hostQueue = &queue_, displayID, generation] {
        hostQueue->async([lifetime, self, displayID, generation] {
            if (const auto alive = lifetime.lock()) self->verifyReleasedArrangement(displayID, generation, 0);
        });
    });
    postAfter(kReleaseVerifyFallback, [generation](DisplayAspectFit& self) {
        if (self.generation_ != generation || !self.restorePending_) return;
        self.log("display aspect fit: arrangement verification still pending, continuing on physical id=" +
                 std::to_string(self.physicalCaptureDisplayID()));
        self.resumeAfterRestore();
    });
}

void DisplayAspectFit::verifyReleasedArrangement(std::optional<std::uint32_t> displayID, std::uint64_t generation,
                                                 int attempt) {
    if (generation != generation_ || virtualDisplay_ || creationPending_) return;
    if (!restorePending_ && !physicalMainID_) return;
    auto active = displays_->activeDisplays();
    const HostDisplay* released = displayID ? findDisplay(active, *displayID) : nullptr;
    const bool releasedActive = released && released->ownVirtual;
    const DisplayOrigins survivors = survivingOrigins(savedOrigins_, active);
    const std::optional<std::uint32_t> expected = physicalMainID_;
    const std::size_t savedCount = savedOrigins_.size();
    bool restored = false;
    const bool mayRetry = attempt <= kArrangementCheckRetries;
    if (expected && holds(survivors, *expected)) {
        if (!releasedActive && (displays_->mainDisplayID() != *expected || !atSavedOrigins(survivors, active))) {
            applyDisplayOrigins(survivors);
            active = displays_->activeDisplays();
        }
        restored = displays_->mainDisplayID() == *expected && atSavedOrigins(survivors, active);
    } else if (!mayRetry && !releasedActive && !active.empty()) {
        forgetSavedArrangement();
    }
    if (!restored && mayRetry) {
        postAfter(kArrangementCheckStep * (attempt + 1), [displayID, generation, attempt](DisplayAspectFit& self) {
            self.verifyReleasedArrangement(displayID, generation, attempt + 1);
        });
        return;
    }
    log(std::string("display aspect fit: post-release arrangement restored=") + (restored ? "true" : "false") +
        " main=" + std::to_string(displays_->mainDisplayID()) +
        " expected=" + (expected ? "Optional(" + std::to_string(*expected) + ")" : std::string("nil")) +
        " surviving origins=" + std::to_string(survivors.size()) + "/" + std::to_string(savedCount) +
        " virtual active=" + (releasedActive ? "true" : "false"));
    if (restored) forgetSavedArrangement();
    if (restorePending_) {
        resumeAfterRestore();
    } else if (restored) {
        restartWholeDisplayPipelineAfterArrangementChange("post-release arrangement");
    }
}

void DisplayAspectFit::forgetSavedArrangement() {
    physicalMainID_.reset();
    savedOrigins_.clear();
}

void DisplayAspectFit::resumeAfterRestore() {
    restorePending_ = false;
    const bool reapply = std::exchange(applyAfterRestore_, false);
    // After a creation that failed for good the fit goes on physically; asking again would loop.
    const bool gaveUp = std::exchange(creationGaveUp_, false);
    if (const auto session = host.session()) {
        session->recreateWindowDisplayOnResume = false;
        if (!gaveUp && !session->detachedAt && fit.inPlay() &&
            ensureVirtualDisplay(fitPurpose(), session->viewportWidth, session->viewportHeight)) {
            return;
        }
    }
    if (!creationPending_) fit.applyPending();
    if (const auto session = host.session(); reapply && on_ && session && !session->detachedAt && !fit.inPlay()) {
        if (host.paused()) {
            session->viewportChangedWhilePaused = true;
        } else {
            applyWholeDisplay(session);
        }
    }
    host.startPipeline();
}

bool DisplayAspectFit::virtualDisplayIsMain() const {
    return virtualDisplay_ && currentMainDisplayID() == virtualDisplay_->displayID;
}

std::optional<platform::Point> DisplayAspectFit::savedOrigin(std::uint32_t displayID) const {
    const auto saved = std::ranges::find(savedOrigins_, displayID, &DisplayOrigins::value_type::first);
    if (saved == savedOrigins_.end()) return std::nullopt;
    return saved->second;
}

}  // namespace orvanta::host
