// The two ways the video surface paints decoded pictures on black inside the video rectangle:
// planes uploaded as textures and converted to RGB by a shader (the usual path), or converted by
// libswscale into an image where no OpenGL context can be made. Neither takes input: the surface
// under them does.
#pragma once

#include <QRectF>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>

#include "client/ui/VideoPresenter.h"

namespace orvanta::client {

class PictureView {
public:
    virtual ~PictureView() = default;

    virtual QWidget* widget() = 0;
    // Where the picture goes, in the widget's coordinates; it may overflow the widget.
    virtual void setVideoRect(const QRectF& rect) = 0;
    // Forgets the picture on screen: black until the next one.
    virtual void clearPicture() = 0;

    // Each paint takes the next due picture from here, if there is one.
    std::function<std::optional<TimedPicture>()> nextPicture;
    // After a newly taken picture reached the window, with the uptime its sample was received.
    std::function<void(std::uint64_t receivedMicros)> onPainted;
    // The OpenGL path could not set itself up; the surface then paints another way.
    std::function<void()> onUnusable;
};

// The OpenGL this process can have for the shader path (desktop OpenGL 2 or OpenGL ES 3): none,
// a software rasterizer, or a graphics processor. Asked once.
enum class OpenGLSupport { none, software, hardware };
OpenGLSupport openGLSupport();

// Views owned by `parent`, as its children.
PictureView* makeOpenGLPictureView(QWidget* parent);
PictureView* makeRasterPictureView(QWidget* parent);

}  // namespace orvanta::client
