// Window migration's seam over the real desktop: the window manager for windows and their moves,
// the displays and their work areas, and a file beside the saved display arrangement for the
// frames recorded for restoration.
#pragma once

#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/controller/HostAspectSeams.h"
#include "host/desktop/AspectFrames.h"
#include "platform/DisplayAreas.h"
#include "platform/WindowSystem.h"

namespace orvanta::host {

class SystemAspectWindows final : public HostAspectWindows {
public:
    // `manager`, `system` and `queue` outlive the adapter.
    SystemAspectWindows(WindowManager& manager, platform::WindowSystem& system, base::Executor& queue,
                        std::unique_ptr<platform::DisplayAreas> displays, std::filesystem::path framesFile)
        : manager_(manager),
          system_(system),
          queue_(queue),
          displays_(std::move(displays)),
          file_(std::move(framesFile)) {}

    base::Executor& windowQueue() override { return queue_; }
    std::optional<std::vector<AspectWindow>> aspectWindows() override { return manager_.aspectWindows(); }
    std::optional<std::vector<AspectWindow>> aspectEvacuationWindows() override {
        return manager_.aspectEvacuationWindows();
    }
    std::optional<AspectWindow> aspectWindow(std::uint32_t id) override { return manager_.aspectWindow(id); }
    void visitWindows(const Rect& area, const std::set<std::uint32_t>& excluding, const Visitor& visitor) override {
        manager_.visitWindows(area, excluding, visitor);
    }
    AspectResolution resolveAspectWindow(const AspectWindow& window, const IsCurrent& isCurrent) override {
        return manager_.resolveAspectWindow(window, isCurrent);
    }
    AspectFrameResult applyAspectFrame(const AXElement& element, const Rect& expected, bool positionOnly,
                                       bool requireInitialMove, const IsCurrent& isCurrent) override {
        return manager_.applyAspectFrame(element, expected, positionOnly, requireInitialMove, isCurrent);
    }
    std::expected<Rect, AXFailure> readFrame(const AXElement& element) override { return manager_.readFrame(element); }
    void writePosition(const AXElement& element, const platform::Point& origin) override;
    void writeSize(const AXElement& element, const platform::Size& size) override;

    std::vector<AspectScreen> physicalScreens() override;
    std::optional<DisplayArea> displayArea(std::uint32_t displayID) override;

    std::expected<void, std::string> saveRecordedFrames(const std::vector<SavedAspectFrame>& frames) override {
        return writeAspectFrames(file_, frames);
    }
    void clearRecordedFrames() override { removeAspectFrames(file_); }

private:
    WindowManager& manager_;
    platform::WindowSystem& system_;
    base::Executor& queue_;
    std::unique_ptr<platform::DisplayAreas> displays_;
    std::filesystem::path file_;
};

}  // namespace orvanta::host
