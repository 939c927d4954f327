// The rest of the host as the media pipeline sees it: a main session, the pause, window fit,
// display aspect fit and the pointer, with what the pipeline asks of them recorded in the media
// fakes' call log, so the order of both can be read together.
#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/controller/MediaPipeline.h"
#include "support/FakeHostMedia.h"

namespace orvanta::testing {

struct FakePipelineNeighbours {
    enum class Pointer { ready, changing, awaitingFrame };

    // A pipeline on `queue`, wired to these neighbours, that lives as long as the test holds it.
    std::shared_ptr<host::MediaPipeline> make(base::Executor& queue, const base::Clock& clock,
                                              host::MediaPipeline::Media media) {
        auto pipeline =
            std::make_shared<host::MediaPipeline>(queue, clock, [](std::string_view) {}, std::move(media));
        pipeline->setLifetime(pipeline);
        wire(*pipeline);
        return pipeline;
    }

    void wire(host::MediaPipeline& pipeline) {
        auto note = [this](std::string call) { return [this, call] { calls->push_back(call); }; };
        pipeline.host = {
            .log = [this](std::string_view line) { logs.emplace_back(line); },
            .session = [this] { return session; },
            .paused = [this] { return paused; },
            .setStatus = [this](std::string text) { status = std::move(text); },
            .publishCaptureFailed = [this](bool failed) { captureFailed = failed; },
            .videoChanged = note("audio.refresh"),
        };
        pipeline.fit = {
            .current = [this] { return fit; },
            .pending = [this] { return fitPending; },
            .generation = [this] { return fitGeneration; },
            .giveUp = note("fit.giveUp"),
        };
        pipeline.displays = {
            .aspect = [this] { return aspect; },
            .highRes = [this] { return highRes; },
            .physicalCaptureDisplayID = [this] { return physicalDisplay; },
            .migrateWindows = note("windows.migrate"),
        };
        pipeline.input = {
            .pointerReady = [this] { return pointer == Pointer::ready; },
            .beginPointerChange =
                [this] {
                    calls->push_back(pointer == Pointer::ready ? "pointer.change from ready" : "pointer.change");
                    pointer = Pointer::changing;
                },
            .awaitFrame =
                [this](std::uint16_t generation) {
                    pointer = Pointer::awaitingFrame;
                    awaitedGeneration = generation;
                },
            .updateMapping = [this](const std::function<void(host::InputMapping&)>& change) { change(mapping); },
        };
    }

    bool logged(std::string_view line) const { return std::ranges::find(logs, line) != logs.end(); }
    long logCount(std::string_view line) const { return std::ranges::count(logs, line); }
    long count(std::string_view call) const { return std::ranges::count(*calls, call); }

    HostCallLog calls = std::make_shared<std::vector<std::string>>();
    std::vector<std::string> logs;
    std::shared_ptr<host::HostSession> session;
    bool paused = false;
    std::string status;
    std::optional<bool> captureFailed;  // as last published
    std::optional<host::WindowFit> fit;
    bool fitPending = false;
    std::uint64_t fitGeneration = 0;
    host::PipelineAspect aspect;
    bool highRes = false;
    std::uint32_t physicalDisplay = 1;
    Pointer pointer = Pointer::ready;
    std::optional<std::uint16_t> awaitedGeneration;
    host::InputMapping mapping;
};

}  // namespace orvanta::testing
