// The pointer as "cursor" messages for clients that draw it themselves: position and visibility
// whenever they change, the image when it changed, sampled at most every 100 ms.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Bytes.h"
#include "base/Executor.h"
#include "platform/CursorSampler.h"

namespace orvanta::host {

class WebSocketConnection;

struct WindowsCursorShape {
    // Larger pointer images are refused rather than encoded.
    static constexpr int kMaxSidePixels = 512;

    base::Bytes png;
    double width = 0;  // points; one pixel is one point here
    double height = 0;
    double hotX = 0;
    double hotY = 0;

    // The PNG of a premultiplied pointer image, or nothing for an empty, oversized or malformed one.
    static std::optional<WindowsCursorShape> fromImage(const platform::CursorImage& image);

    bool operator==(const WindowsCursorShape&) const = default;
};

class WindowsCursorStream final : public std::enable_shared_from_this<WindowsCursorStream> {
    struct Passkey {};

public:
    static constexpr std::uint64_t kSampleIntervalMicros = 100'000;

    // One "cursor" message.
    struct Update {
        std::string type = "cursor";
        std::uint16_t gen = 0;
        double x = 0;
        double y = 0;
        bool visible = false;
        std::optional<WindowsCursorShape> shape;

        // The control message's JSON text; nothing when it cannot be encoded.
        std::optional<std::string> json() const;

        bool operator==(const Update&) const = default;
    };

    struct Position {
        double x = 0;  // normalised to the captured area
        double y = 0;
        bool visible = false;
    };

    // `queue` runs send and keeps the samples; `sampleQueue` runs the sampler. Both outlive the stream.
    static std::shared_ptr<WindowsCursorStream> create(std::uint16_t gen, base::Executor& queue,
                                                       base::Executor& sampleQueue,
                                                       std::shared_ptr<platform::CursorSampler> sampler);
    WindowsCursorStream(Passkey, std::uint16_t gen, base::Executor& queue, base::Executor& sampleQueue,
                        std::shared_ptr<platform::CursorSampler> sampler);

    // On `queue`; `now` is the uptime in microseconds.
    void send(Position position, std::uint64_t now, const std::function<void(const std::string&)>& sendText);
    void send(Position position, std::uint64_t now, WebSocketConnection& connection);

    // The change detector: the message to send for this position, or nothing when nothing changed.
    std::optional<Update> nextUpdate(double x, double y, bool visible, const std::optional<WindowsCursorShape>& shape);

    std::uint16_t gen() const { return gen_; }

private:
    void startSample(std::uint64_t now);

    const std::uint16_t gen_;
    base::Executor& queue_;
    base::Executor& sampleQueue_;
    const std::shared_ptr<platform::CursorSampler> sampler_;
    bool sampling_ = false;
    std::uint64_t nextSample_ = 0;
    std::optional<WindowsCursorShape> shape_;
    std::optional<WindowsCursorShape> sentShape_;
    std::optional<std::pair<double, double>> lastPosition_;
    std::optional<bool> wasVisible_;
};

}  // namespace orvanta::host
