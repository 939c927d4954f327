#include "host/media/WindowsCursorStream.h"

#include <png.h>

#include <algorithm>
#include <cmath>

#include "base/Base64.h"
#include "host/transport/WebSocket.h"
#include "protocol/ControlMessages.h"

namespace orvanta::host {

namespace {

// PNG wants straight alpha; the pointer image carries premultiplied colour.
std::uint8_t unpremultiply(std::uint32_t channel, std::uint32_t alpha) {
    if (alpha == 0) return 0;
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (channel * 255 + alpha / 2) / alpha));
}

std::optional<base::Bytes> encodePng(const platform::CursorImage& image) {
    std::vector<std::uint8_t> rgba(image.argb.size() * 4);
    for (std::size_t i = 0; i < image.argb.size(); ++i) {
        const std::uint32_t pixel = image.argb[i];
        const std::uint32_t alpha = pixel >> 24;
        rgba[4 * i] = unpremultiply((pixel >> 16) & 0xFF, alpha);
        rgba[4 * i + 1] = unpremultiply((pixel >> 8) & 0xFF, alpha);
        rgba[4 * i + 2] = unpremultiply(pixel & 0xFF, alpha);
        rgba[4 * i + 3] = static_cast<std::uint8_t>(alpha);
    }
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&png, nullptr, &size, 0, rgba.data(), 0, nullptr)) return std::nullopt;
    base::Bytes out(size);
    if (!png_image_write_to_memory(&png, out.data(), &size, 0, rgba.data(), 0, nullptr)) return std::nullopt;
    out.resize(size);
    return out;
}

double clampUnit(double value) { return std::isnan(value) ? 0 : std::clamp(value, 0.0, 1.0); }

}  // namespace

std::optional<WindowsCursorShape> WindowsCursorShape::fromImage(const platform::CursorImage& image) {
    if (image.width <= 0 || image.height <= 0 || image.width > kMaxSidePixels || image.height > kMaxSidePixels) {
        return std::nullopt;
    }
    if (image.argb.size() != static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height)) {
        return std::nullopt;
    }
    auto png = encodePng(image);
    if (!png) return std::nullopt;
    return WindowsCursorShape{std::move(*png), double(image.width), double(image.height), double(image.hotX),
                              double(image.hotY)};
}

std::optional<std::string> WindowsCursorStream::Update::json() const {
    protocol::CursorPosition message{.x = x, .y = y, .gen = gen, .visible = visible};
    if (shape) {
        message.shape = protocol::CursorPosition::Shape{base::base64Encode(shape->png), shape->width, shape->height,
                                                        shape->hotX, shape->hotY};
    }
    auto text = protocol::ControlMessage(std::move(message)).jsonString();
    if (!text) return std::nullopt;
    return std::move(*text);
}

std::shared_ptr<WindowsCursorStream> WindowsCursorStream::create(std::uint16_t gen, base::Executor& queue,
                                                                 base::Executor& sampleQueue,
                                                                 std::shared_ptr<platform::CursorSampler> sampler) {
    return std::make_shared<WindowsCursorStream>(Passkey{}, gen, queue, sampleQueue, std::move(sampler));
}

WindowsCursorStream::WindowsCursorStream(Passkey, std::uint16_t gen, base::Executor& queue, base::Executor& sampleQueue,
                                         std::shared_ptr<platform::CursorSampler> sampler)
    : gen_(gen), queue_(queue), sampleQueue_(sampleQueue), sampler_(std::move(sampler)) {}

void WindowsCursorStream::send(Position position, std::uint64_t now,
                               const std::function<void(const std::string&)>& sendText) {
    if (now >= nextSample_ && !sampling_ && position.visible) startSample(now);
    const auto update = nextUpdate(position.x, position.y, position.visible, shape_);
    if (!update) return;
    if (auto text = update->json()) sendText(*text);
}

void WindowsCursorStream::send(Position position, std::uint64_t now, WebSocketConnection& connection) {
    send(position, now, [&connection](const std::string& text) { connection.sendText(text); });
}

void WindowsCursorStream::startSample(std::uint64_t now) {
    nextSample_ = now + kSampleIntervalMicros;
    sampling_ = true;
    sampleQueue_.async([weak = weak_from_this(), sampler = sampler_, &queue = queue_] {
        std::optional<WindowsCursorShape> shape;
        if (auto image = sampler->current()) shape = WindowsCursorShape::fromImage(*image);
        queue.async([weak, shape = std::move(shape)] {
            auto self = weak.lock();
            if (!self) return;
            self->sampling_ = false;
            self->shape_ = shape;
        });
    });
}

std::optional<WindowsCursorStream::Update> WindowsCursorStream::nextUpdate(
    double x, double y, bool visible, const std::optional<WindowsCursorShape>& shape) {
    const std::pair position{clampUnit(x), clampUnit(y)};
    std::optional<WindowsCursorShape> shapeToSend;
    if (visible) {
        if (shape && shape != sentShape_) shapeToSend = shape;
        if (wasVisible_ == true && lastPosition_ == position && !shapeToSend) return std::nullopt;
    } else if (wasVisible_ == false) {
        return std::nullopt;
    }
    lastPosition_ = position;
    wasVisible_ = visible;
    if (shapeToSend) sentShape_ = shapeToSend;
    return Update{.gen = gen_, .x = position.first, .y = position.second, .visible = visible, .shape = shapeToSend};
}

}  // namespace orvanta::host
