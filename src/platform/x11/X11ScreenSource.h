// Screen capture on X11: a display is a RandR monitor, its picture one MIT-SHM grab of that
// rectangle, taken only after Damage reports a change (or the pointer moved, when it is drawn in
// from the XFixes cursor image), at most 60 times a second. While windows are excluded the picture
// comes from the FrameComposer instead, and so does the news that it changed.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "base/Clock.h"
#include "platform/ScreenSource.h"

namespace orvanta::platform::x11 {

class XConnection;

class X11ScreenSource final : public ScreenSource {
public:
    // `display` empty means $DISPLAY. Without a composer, excluded windows stay in the picture.
    explicit X11ScreenSource(std::string display = {}, std::shared_ptr<FrameComposer> composer = {},
                             const base::Clock& clock = base::SystemClock::shared());
    ~X11ScreenSource() override;

    std::expected<ShareableContent, std::string> content() override;
    std::expected<std::unique_ptr<ScreenStream>, std::string> openStream(const StreamSettings& settings) override;

private:
    const std::string display_;
    const std::shared_ptr<FrameComposer> composer_;
    const base::Clock& clock_;
    std::mutex mutex_;
    std::unique_ptr<XConnection> connection_;  // for content queries, reopened when lost
};

}  // namespace orvanta::platform::x11
