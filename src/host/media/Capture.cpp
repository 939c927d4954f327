#include "host/media/Capture.h"

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <png.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "host/media/CaptureConverter.h"
#include "host/transport/Support.h"

namespace orvanta::host {

namespace {

constexpr int kDisplayWaitAttempts = 10;
constexpr auto kDisplayWait = std::chrono::milliseconds(200);

std::string shortest(double value) {
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end);
}

std::string rectText(const platform::ScreenRect& r) {
    return "(" + shortest(r.x) + ", " + shortest(r.y) + ", " + shortest(r.width) + ", " + shortest(r.height) + ")";
}

bool usable(const platform::ScreenRect& r) {
    return std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) && std::isfinite(r.height) &&
           !r.isEmpty();
}

std::string replacingAll(std::string text, std::string_view what, std::string_view with) {
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

}  // namespace

struct Capture::Plan {
    platform::CaptureTarget target;
    CaptureSize output;
    std::optional<std::uint32_t> displayID;
    std::optional<platform::ShareableDisplay> display;
    std::optional<platform::ScreenRect> displayContentRect;
    std::optional<WindowCaptureGeometry> geometry;
    std::set<std::uint32_t> excluded;
    platform::ScreenRect sourceArea;
    platform::ScreenRect destinationArea;
};

std::shared_ptr<Capture> Capture::create(DeviceKind kind, Environment environment) {
    return std::make_shared<Capture>(Passkey{}, kind, std::move(environment));
}

Capture::Capture(Passkey, DeviceKind kind, Environment environment)
    : showsCursor_(kind != DeviceKind::windows),
      environment_(std::move(environment)),
      frameQueue_(std::make_unique<base::DispatchQueue>("zq2.capture.frames")),
      controlQueue_(std::make_unique<base::DispatchQueue>("zq2.capture")) {}

Capture::~Capture() {
    std::unique_ptr<platform::ScreenStream> stream;
    {
        std::lock_guard guard(mutex_);
        stream = std::move(stream_);
    }
    // Stream callbacks and frame tasks use `this`; both end here, before any member goes. A stream
    // that stop() handed to the control queue may still be delivering: it ends with that queue,
    // which must go before the frame queue its pictures are posted to.
    if (stream) stream->stop();
    stream.reset();
    controlQueue_.reset();
    // Let go from inside one of its own tasks, the control queue ends on its own after this, and a
    // stop still queued there would run late or never: the stream's thread must not outlive us.
    for (const auto& handedOver : stopping_) {
        if (auto pending = handedOver.lock()) pending->stop();
    }
    frameQueue_.reset();
}

void Capture::log(std::string_view line) const {
    if (environment_.log) {
        environment_.log(line);
    } else {
        Log::info(line);
    }
}

void Capture::pause(std::chrono::milliseconds duration) const {
    if (environment_.wait) {
        environment_.wait(duration);
    } else {
        std::this_thread::sleep_for(duration);
    }
}

void Capture::fail(const std::string& text) {
    if (onError) onError(text);
}

std::int64_t Capture::width() const {
    std::lock_guard guard(mutex_);
    return width_;
}
std::int64_t Capture::height() const {
    std::lock_guard guard(mutex_);
    return height_;
}
std::optional<std::uint32_t> Capture::capturedDisplayID() const {
    std::lock_guard guard(mutex_);
    return capturedDisplayID_;
}
std::optional<platform::ScreenRect> Capture::displayContentRect() const {
    std::lock_guard guard(mutex_);
    return displayContentRect_;
}
std::optional<WindowCaptureGeometry> Capture::windowGeometry() const {
    std::lock_guard guard(mutex_);
    return windowGeometry_;
}
std::set<std::uint32_t> Capture::excludedOverlayIDs() const {
    std::lock_guard guard(mutex_);
    return excludedOverlayIDs_;
}

void Capture::setFrameHandler(FrameHandler handler) {
    frameQueue_->async([this, handler = std::move(handler)] {
        onFrame_ = handler;
        // The owner wires the encoder after the start, and the picture held since then is as old
        // as the encoder took to open: the encoder starts from a fresh one, which a still screen
        // brings only when asked.
        if (onFrame_ && std::exchange(heldFrame_, std::nullopt)) repeatLastFrame();
    });
}

void Capture::start(StartOptions options, std::function<void(bool)> completion) {
    if (running_) {
        completion(true);
        return;
    }
    stopRequested_ = false;
    controlQueue_->async(
        [self = shared_from_this(), options = std::move(options), completion] { self->runStart(options, completion); });
}

std::expected<platform::ShareableContent, std::string> Capture::fetchContent() {
    return environment_.source->content();
}

void Capture::runStart(const StartOptions& options, const std::function<void(bool)>& completion) {
    auto content = fetchContent();
    for (int attempt = 0; content && options.displayID && !options.window && attempt < kDisplayWaitAttempts;
         ++attempt) {
        const bool listed =
            std::ranges::any_of(content->displays, [&](const auto& d) { return d.id == *options.displayID; });
        if (listed) break;
        pause(kDisplayWait);
        content = fetchContent();
    }
    if (!content) {
        fail(content.error());
        completion(false);
        return;
    }
    auto plan = options.window ? planWindow(options, *content) : planDisplay(options, *content);
    completion(plan && startStream(std::move(*plan)));
}

std::optional<Capture::Plan> Capture::planDisplay(const StartOptions& options,
                                                  const platform::ShareableContent& content) {
    const auto& displays = content.displays;
    auto listed = [&](std::uint32_t id) { return std::ranges::find(displays, id, &platform::ShareableDisplay::id); };
    auto chosen = displays.end();
    if (options.displayID && listed(*options.displayID) != displays.end()) {
        chosen = listed(*options.displayID);
    } else if (!options.requireDisplay) {
        if (content.mainDisplay && listed(*content.mainDisplay) != displays.end() &&
            !listed(*content.mainDisplay)->ownVirtual) {
            chosen = listed(*content.mainDisplay);
        } else {
            chosen = std::ranges::find_if(displays, [](const auto& d) { return !d.ownVirtual; });
        }
    }
    if (chosen == displays.end()) {
        fail(std::string(kNoDisplayText));
        return std::nullopt;
    }
    const platform::ShareableDisplay display = *chosen;
    if (options.displayID && *options.displayID != display.id) {
        log("capture: requested display " + std::to_string(*options.displayID) +
            " unavailable, using physical display " + std::to_string(display.id));
    }
    Plan plan;
    plan.excluded = currentCovers();
    double factor = 1;
    if (options.usePixelScale && display.modeWidth >= 1) {
        factor = std::max(static_cast<double>(display.pixelWidth) / static_cast<double>(display.modeWidth), 1.0);
    }
    const double w = display.frame.width * factor;
    const double h = display.frame.height * factor;
    const bool requestedCaptured = options.displayID && *options.displayID == display.id;
    const SizingRequest request{options.viewport, requestedCaptured ? options.aspectOutput : std::nullopt,
                                options.minimum};
    const CaptureSizing sizing =
        sizeDisplayCapture(w, h, request, environment_.aspectSizer, [this](std::string_view line) { log(line); });
    plan.target = platform::DisplayTarget{display.id};
    plan.output = sizing.output;
    plan.displayID = display.id;
    plan.display = display;
    plan.displayContentRect = sizing.displayContentRect;
    const auto ow = static_cast<double>(sizing.output.width);
    const auto oh = static_cast<double>(sizing.output.height);
    plan.destinationArea =
        sizing.displayContentRect
            ? platform::ScreenRect{sizing.displayContentRect->x * ow, sizing.displayContentRect->y * oh,
                                   sizing.displayContentRect->width * ow, sizing.displayContentRect->height * oh}
            : platform::ScreenRect{0, 0, ow, oh};
    return plan;
}

std::optional<Capture::Plan> Capture::planWindow(const StartOptions& options,
                                                 const platform::ShareableContent& content) {
    platform::ShareableWindow window = *options.window;
    if (auto listed = std::ranges::find(content.windows, window.id, &platform::ShareableWindow::id);
        listed != content.windows.end()) {
        window = *listed;
    }
    std::optional<platform::ScreenRect> bounds =
        environment_.contentBounds ? environment_.contentBounds(window.id) : std::nullopt;
    const platform::ScreenRect frame = bounds.value_or(window.frame);
    if (!usable(frame)) {
        fail(std::string(kNoWindowAreaText));
        return std::nullopt;
    }
    const SizingRequest request{options.viewport, std::nullopt, options.minimum};
    const CaptureSizing sizing = sizeWindowCapture(frame.width, frame.height, request, environment_.aspectSizer,
                                                   [this](std::string_view line) { log(line); });
    const auto geometry =
        WindowCaptureGeometry::make(frame, sizing.output.width, sizing.output.height, options.windowScale);
    log("window capture: id=" + std::to_string(window.id) + " scale=" + shortest(options.windowScale) +
        " frame=" + rectText(frame) + " source=" + rectText(geometry.sourceRect) +
        " destination=" + rectText(geometry.destinationRect) + " output=" + std::to_string(sizing.output.width) + "x" +
        std::to_string(sizing.output.height));
    Plan plan;
    plan.target = platform::WindowTarget{window.id};
    plan.output = sizing.output;
    plan.geometry = geometry;
    // A window cropped from a covered screen would be black: while covers are up the window is
    // composed from its own contents.
    plan.excluded = currentCovers();
    plan.sourceArea = {geometry.sourceRect.x - frame.x, geometry.sourceRect.y - frame.y, geometry.sourceRect.width,
                       geometry.sourceRect.height};
    plan.destinationArea = geometry.destinationRect;
    return plan;
}

// The covers are named by their own ids: they need not be among the listed windows (without a
// compositing manager they are children of the Composite overlay window, never the root's).
std::set<std::uint32_t> Capture::currentCovers() const {
    return environment_.coverIDs ? environment_.coverIDs() : std::set<std::uint32_t>{};
}

bool Capture::startStream(Plan plan) {
    platform::StreamSettings settings{plan.target, showsCursor_, 60, plan.excluded};
    auto opened = environment_.source->openStream(settings);
    if (!opened) {
        fail(opened.error());
        return false;
    }
    std::unique_ptr<platform::ScreenStream> stream = std::move(*opened);
    converter_ = std::make_unique<CaptureConverter>(plan.output);
    sourceArea_ = plan.sourceArea;
    destinationArea_ = plan.destinationArea;
    snapshotTaken_ = false;
    auto started = stream->start([this](const platform::ScreenImage& image) { handleImage(image); },
                                 [this](std::string why) { handleStreamStop(std::move(why)); });
    if (!started) {
        fail(started.error());
        return false;
    }
    const bool isDisplay = plan.display.has_value();
    {
        std::unique_lock guard(mutex_);
        if (stopRequested_) {
            guard.unlock();
            stream->stop();
            log("capture start superseded by stop");
            return false;
        }
        stream_ = std::move(stream);
        width_ = plan.output.width;
        height_ = plan.output.height;
        capturedDisplayID_ = plan.displayID;
        capturedDisplay_ = plan.display;
        displayContentRect_ = plan.displayContentRect;
        windowGeometry_ = plan.geometry;
        excludedOverlayIDs_ = isDisplay ? plan.excluded : std::set<std::uint32_t>{};
        running_ = true;
    }
    log("capture started " + std::to_string(plan.output.width) + "x" + std::to_string(plan.output.height) +
        (isDisplay && !plan.excluded.empty()
             ? " (excluding " + std::to_string(plan.excluded.size()) + " blackout window(s))"
             : ""));
    if (currentCovers() != plan.excluded) applyOverlayExclusions();
    return true;
}

void Capture::stop() {
    std::unique_ptr<platform::ScreenStream> stream;
    bool wasRunning = false;
    {
        std::lock_guard guard(mutex_);
        stopRequested_ = true;
        stream = std::move(stream_);
        wasRunning = running_.exchange(false);
    }
    if (wasRunning && stream) {
        std::shared_ptr<platform::ScreenStream> stopping = std::move(stream);
        {
            std::lock_guard guard(mutex_);
            std::erase_if(stopping_, [](const auto& handedOver) { return handedOver.expired(); });
            stopping_.push_back(stopping);
        }
        controlQueue_->async([stopping] { stopping->stop(); });
        log("capture stopped");
    }
}

void Capture::updateOverlayExclusions(std::function<void()> done) {
    if (!running_) {
        done();
        return;
    }
    controlQueue_->async([self = shared_from_this(), done = std::move(done)] {
        self->applyOverlayExclusions();
        done();
    });
}

void Capture::applyOverlayExclusions() {
    bool isDisplay = false;
    {
        std::lock_guard guard(mutex_);
        if (!stream_) return;
        isDisplay = capturedDisplay_.has_value();
    }
    const std::set<std::uint32_t> excluded = currentCovers();
    std::lock_guard guard(mutex_);
    if (!stream_) return;
    if (auto applied = stream_->setExcludedWindows(excluded); !applied) {
        log("capture: filter update failed: " + applied.error());
        return;
    }
    if (isDisplay) excludedOverlayIDs_ = excluded;
    log("capture: filter updated (excluding " + std::to_string(excluded.size()) + " blackout window(s))");
}

void Capture::repeatLastFrame() {
    std::lock_guard guard(mutex_);
    if (stream_) stream_->redeliver();
}

void Capture::handleImage(const platform::ScreenImage& image) {
    if (stopRequested_) return;
    const platform::ScreenRect whole{0, 0, static_cast<double>(image.width), static_cast<double>(image.height)};
    auto frame = converter_->convert(image, sourceArea_.isEmpty() ? whole : sourceArea_, destinationArea_);
    if (!frame) return;  // the encoder is behind: this picture is skipped
    if (!snapshotTaken_) takeSnapshot(*frame);
    bool queued = false;
    {
        std::lock_guard guard(mailboxMutex_);
        queued = mailbox_.has_value();
        mailbox_.emplace(std::move(frame), image.ptsMicros);
    }
    if (!queued) frameQueue_->async([this] { handOnNewest(); });
}

void Capture::handOnNewest() {
    std::optional<std::pair<std::shared_ptr<const PixelBuffer>, std::uint64_t>> newest;
    {
        std::lock_guard guard(mailboxMutex_);
        newest.swap(mailbox_);
    }
    if (!newest) return;
    if (onFrame_) {
        onFrame_(std::move(newest->first), newest->second);
    } else {
        heldFrame_ = std::move(newest);
    }
}

void Capture::handleStreamStop(std::string why) {
    if (stopRequested_) return;  // an end that crossed the owner's stop is no failure
    running_ = false;
    std::shared_ptr<platform::ScreenStream> ended;
    {
        std::lock_guard guard(mutex_);
        ended = std::move(stream_);
    }
    // The stream cannot be torn down from its own thread.
    if (ended) controlQueue_->async([ended] { ended->stop(); });
    fail(why);
}

void Capture::takeSnapshot(const PixelBuffer& frame) {
    const char* target = std::getenv(kSnapshotVariable.data());
    if (!target) return;
    snapshotTaken_ = true;
    const int w = frame.width();
    const int h = frame.height();
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3);
    SwsContext* toRGB =
        sws_getContext(w, h, AV_PIX_FMT_NV12, w, h, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr);
    if (!toRGB) return;
    const std::uint8_t* planes[] = {frame.luma(), frame.chroma()};
    const int strides[] = {frame.lumaStride(), frame.chromaStride()};
    std::uint8_t* out[] = {rgb.data()};
    const int outStrides[] = {w * 3};
    const int* coefficients = sws_getCoefficients(frame.bt709() ? SWS_CS_ITU709 : SWS_CS_ITU601);
    sws_setColorspaceDetails(toRGB, coefficients, 0, coefficients, 1, 0, 1 << 16, 1 << 16);
    sws_scale(toRGB, planes, strides, 0, h, out, outStrides);
    sws_freeContext(toRGB);

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(w);
    image.height = static_cast<png_uint_32>(h);
    image.format = PNG_FORMAT_RGB;
    const std::string path = replacingAll(target, ".png", "-" + std::to_string(w) + "x" + std::to_string(h) + ".png");
    if (png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), w * 3, nullptr)) {
        log("snapshot saved: " + path);
    }
    png_image_free(&image);
}

}  // namespace orvanta::host
