// Window migration's seam over the real desktop: the window manager for windows and their moves,
// RandR monitors and the window manager's work area for displays, and a file beside the saved
// display arrangement for the frames recorded for restoration.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/controller/HostAspectSeams.h"
#include "platform/WindowSystem.h"
#include "platform/x11/XConnection.h"

namespace orvanta::host {

// The recorded-frames file kept beside a saved display arrangement file, one per X display like it.
std::filesystem::path aspectFramesFile(const std::filesystem::path& arrangementFile);

// Written atomically (a temporary file, flushed, then renamed), readable by the user only.
std::expected<void, std::string> writeAspectFrames(const std::filesystem::path& file,
                                                   const std::vector<SavedAspectFrame>& frames);
// Why the file is not a frames file of ours, when it is not.
std::expected<std::vector<SavedAspectFrame>, std::string> readAspectFrames(const std::filesystem::path& file);

// At start, after the display arrangement has been recovered: puts the windows a run that ended
// without restoring them left recorded back at their frames, and removes the file. A file that
// cannot be read is logged and set aside. Returns how many windows are back.
std::size_t recoverAspectWindowsAfterCrash(WindowManager& manager, const std::filesystem::path& file,
                                           const LogFunction& log);

class X11AspectWindows final : public HostAspectWindows {
public:
    // `manager`, `system` and `queue` outlive the adapter. `display` empty means $DISPLAY.
    static std::expected<std::unique_ptr<X11AspectWindows>, std::string> open(WindowManager& manager,
                                                                              platform::WindowSystem& system,
                                                                              base::Executor& queue,
                                                                              const std::string& display,
                                                                              std::filesystem::path framesFile);

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
    void clearRecordedFrames() override;

private:
    X11AspectWindows(WindowManager& manager, platform::WindowSystem& system, base::Executor& queue,
                     std::unique_ptr<platform::x11::XConnection> x, std::filesystem::path file)
        : manager_(manager), system_(system), queue_(queue), x_(std::move(x)), file_(std::move(file)) {}

    struct Monitor {
        std::uint32_t id = 0;
        Rect bounds;
        bool ours = false;
    };
    std::vector<Monitor> monitors();
    std::optional<Rect> workArea();

    WindowManager& manager_;
    platform::WindowSystem& system_;
    base::Executor& queue_;
    std::unique_ptr<platform::x11::XConnection> x_;
    std::filesystem::path file_;
};

}  // namespace orvanta::host
