// The four checks the sequence runs once connected: resize, display aspect, input and side toggle.
// Each drives the client as a user would and logs what it measures; none stops the sequence.
#include <array>
#include <cmath>

#include "client/viewer/ClientModel.h"
#include "debug/DebugFormat.h"
#include "debug/DebugSupport.h"

namespace orvanta::debug {
namespace {

constexpr std::array kResizeWidths{1100.0, 1000.0, 900.0};
constexpr double kResizeHeight = 640;
constexpr double kResizeStepSeconds = 0.1;
constexpr double kResizeSettleSeconds = 1.5;
constexpr double kAspectSettleSeconds = 5;
constexpr double kFrontSettleSeconds = 0.5;
constexpr int kCursorWaitRounds = 30;
constexpr double kRoundSeconds = 0.1;
constexpr double kMoveOffset = 0.05;
constexpr double kMoveTolerance = 0.01;
constexpr double kMoveSettleSeconds = 0.6;
constexpr double kInputStepSeconds = 0.8;
constexpr double kMoveBackSeconds = 0.5;
constexpr double kSideSettleSeconds = 0.5;
constexpr int kSideWaitRounds = 50;
constexpr std::int64_t kSideWaitFrames = 11;

std::string boolText(bool value) { return value ? "true" : "false"; }

// "true" when this is no self connection and the target entry's stored fit is true.
std::string effectiveFit(const DebugClient& client) {
    const auto target = client.targetEntry();
    return boolText(!client.isSelfConnection() && target && target->displayAspectFit == true);
}

// The check goes on only while the session is active and still on the same entry.
bool sameActiveSession(const DebugClient& client, const std::string& entryId) {
    const auto active = client.activeEntry();
    return client::ClientModel::isLive(client.state()) && active && active->id == entryId;
}

std::string pointText(double x, double y) { return "(" + fixedText(x, 4) + ", " + fixedText(y, 4) + ")"; }

}  // namespace

Async DebugSupport::resizeCheck(std::shared_ptr<DebugClient> client) {
    const auto start = client->windowFrame();
    if (!client->surface() || !start) {
        log("resize: no window");
        co_return;
    }
    int step = 1;
    for (const double width : kResizeWidths) {
        const ScreenRect now = client->windowFrame().value_or(*start);
        client->setWindowFrame({now.x, now.y, width, kResizeHeight});
        log("resize: step " + std::to_string(step++) + " window " + sizeText(width, kResizeHeight));
        co_await sleep(kResizeStepSeconds);
    }
    co_await sleep(kResizeSettleSeconds);
    const auto surface = client->surface().value_or(SurfaceReport{0, 0});
    log("resize: surface now " + sizeText(surface.width, surface.height) + "pt");
    client->setWindowFrame(*start);
    co_await sleep(kResizeSettleSeconds);
    log("resize: restored " + sizeText(start->width, start->height) + " frames=" + std::to_string(frames_) +
        " state=" + stateText(*client));
}

Async DebugSupport::aspectCheck(std::shared_ptr<DebugClient> client) {
    const auto active = client->activeEntry();
    if (!active) co_return;
    const std::string entryId = active->id;
    const auto target = client->targetEntry();
    const bool savedFit = target && target->displayAspectFit.value_or(false);
    const bool savedSelf = client->isSelfConnection();
    const double savedScale = client->aspectScale();

    client->setAspectFit(true);
    log("aspect: on=" + effectiveFit(*client) + " scale=" + decimalText(client->aspectScale()));
    co_await sleep(kAspectSettleSeconds);
    if (!sameActiveSession(*client, entryId)) co_return;
    client->setAspectScale(savedScale == 2.0 ? 1.0 : 2.0);
    log("aspect: scale -> " + decimalText(client->aspectScale()));
    co_await sleep(kAspectSettleSeconds);
    const auto stream = client->streamSize();
    log("aspect: stream=" + sizeText(stream.width, stream.height) + " state=" + stateText(*client));
    if (!sameActiveSession(*client, entryId)) co_return;

    client->setAspectScale(savedScale);
    client->setAspectFit(savedSelf ? false : savedFit);
    const auto stored = client->activeEntry();
    log("aspect: on=" + effectiveFit(*client) + " scale=" + decimalText(client->aspectScale()) +
        " (saved per host: fit=" + optionalText(stored ? stored->displayAspectFit : std::nullopt) +
        " scale=" + optionalText(stored ? stored->displayAspectScale : std::nullopt) + ")");
    co_await sleep(kAspectSettleSeconds);
    const auto restored = client->streamSize();
    log("aspect: restored stream=" + sizeText(restored.width, restored.height) + " state=" + stateText(*client));
}

Async DebugSupport::inputCheck(std::shared_ptr<DebugClient> client) {
    if (client->state() != State::connected || !client->surface() || !client->windowFrame()) {
        log("input: skipped (state=" + stateText(*client) + ")");
        co_return;
    }
    client->bringToFront();
    co_await sleep(kFrontSettleSeconds);
    client->setLocalInputSuspended(true);
    client->startEventMonitor([weak = weak_from_this()](const ObservedEvent& event) {
        if (auto self = weak.lock()) self->observed_.push_back(describe(event));
    });
    for (int round = 0; round < kCursorWaitRounds && !client->cursor(); ++round) co_await sleep(kRoundSeconds);

    const auto start = client->cursor();
    if (start) {
        co_await inputMoveTest(client, *start);
    } else {
        log("input: no cursor notice from host");
    }
    const auto bar = client->barGeometry();
    const auto a = bar ? normalizedOnBar(*bar, 0.45) : std::nullopt;
    const auto b = bar ? normalizedOnBar(*bar, 0.55) : std::nullopt;
    if (a && b) {
        log("input: bar target A=" + pointText(a->x, a->y) + " B=" + pointText(b->x, b->y));
        co_await inputBarSteps(client, *a, *b);
        if (start) client->sendPointer("move", start->x, start->y);
        co_await sleep(kMoveBackSeconds);
    }
    client->stopEventMonitor();
    client->setLocalInputSuspended(false);
}

Async DebugSupport::inputMoveTest(std::shared_ptr<DebugClient> client, protocol::CursorPosition start) {
    const double targetX = start.x < 0.5 ? start.x + kMoveOffset : start.x - kMoveOffset;
    client->sendPointer("move", targetX, start.y);
    co_await sleep(kMoveSettleSeconds);
    const auto now = client->cursor();
    const bool ok = now && std::abs(now->x - targetX) < kMoveTolerance && std::abs(now->y - start.y) < kMoveTolerance;
    log("input: move to " + pointText(targetX, start.y) + " -> host cursor " +
        pointText(now ? now->x : -1, now ? now->y : -1) + " " + (ok ? "OK" : "NG"));
}

Async DebugSupport::inputBarSteps(std::shared_ptr<DebugClient> client, NormalizedPoint a, NormalizedPoint b) {
    struct Step {
        const char* name;
        std::function<void(DebugClient&)> send;
    };
    const std::array steps{
        Step{"click", [a](DebugClient& c) { c.sendPointer("click", a.x, a.y); }},
        Step{"double", [a](DebugClient& c) { c.sendPointer("double", a.x, a.y); }},
        Step{"right", [a](DebugClient& c) { c.sendPointer("right", a.x, a.y); }},
        Step{"drag",
             [a, b](DebugClient& c) {
                 c.sendPointer("down", a.x, a.y);
                 c.sendPointer("drag", (a.x + b.x) / 2, a.y);
                 c.sendPointer("drag", b.x, b.y);
                 c.sendPointer("up", b.x, b.y);
             }},
        Step{"scroll", [a](DebugClient& c) { c.sendPointer("scroll", a.x, a.y, 0.0, 40.0); }},
        Step{"key eisu", [](DebugClient& c) { c.sendKey("eisu"); }},
        Step{"key escape", [](DebugClient& c) { c.sendKey("escape"); }},
    };
    for (const auto& step : steps) {
        observed_.clear();
        step.send(*client);
        co_await sleep(kInputStepSeconds);
        std::string seen;
        for (const auto& entry : observed_) seen += (seen.empty() ? "" : ", ") + entry;
        log(std::string("input: ") + step.name + " -> observed " + (seen.empty() ? "nothing" : seen) +
            " cursor=" + cursorText(client->cursor()) + " notice=" + client->inputNotice().value_or("none"));
    }
}

Async DebugSupport::sideToggleCheck(std::shared_ptr<DebugClient> client, double seconds) {
    const State before = client->state();
    const ScreenRect sizeBefore = client->windowFrame().value_or(ScreenRect{});
    client->show(Side::host);
    co_await sleep(kSideSettleSeconds);
    const ScreenRect hidden = client->windowFrame().value_or(ScreenRect{});
    const std::int64_t atHiding = frames_;
    if (seconds >= kSideSettleSeconds) co_await sleep(seconds - kSideSettleSeconds);
    log("side-toggle: host side for " + decimalText(seconds) + "s: state=" + stateText(*client) +
        " framesWhileHidden=" + std::to_string(frames_ - atHiding) + " window " +
        sizeText(sizeBefore.width, sizeBefore.height) + " -> " + sizeText(hidden.width, hidden.height));

    const std::int64_t atShowing = frames_;
    client->show(Side::client);
    for (int round = 0; round < kSideWaitRounds && (frames_ - atShowing < kSideWaitFrames || !client->surface());
         ++round) {
        co_await sleep(kRoundSeconds);
    }
    const auto surface = client->surface();
    const ScreenRect now = client->windowFrame().value_or(ScreenRect{});
    const bool sizeKept = std::abs(now.width - sizeBefore.width) < 1 && std::abs(now.height - sizeBefore.height) < 1;
    const State after = client->state();
    log("side-toggle: back to client: state=" + stateText(*client) +
        " framesAfterShow=" + std::to_string(frames_ - atShowing) + " surface=" +
        (surface ? sizeText(surface->width, surface->height) + "pt layerStatus=" + std::to_string(surface->layerStatus)
                 : std::string("nil")) +
        " window " + sizeText(now.width, now.height) + " size " + (sizeKept ? "OK" : "NG") + " session " +
        (client::ClientModel::isLive(after) && after == before ? "kept" : "CHANGED"));
}

}  // namespace orvanta::debug
