#include "client/ui/PictureViews.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <QBackingStore>
#include <QImage>
#include <QOffscreenSurface>
#include <QOpenGLBuffer>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QOpenGLShaderProgram>
#include <QOpenGLWidget>
#include <QPaintEvent>
#include <QPaintEngine>
#include <QPainter>
#include <QTimer>

#include <array>
#include <cmath>

namespace orvanta::client {

namespace {

// The video rectangle in whole device pixels, so that a picture shown at its own size maps one
// sample to one pixel.
QRect devicePixels(const QRectF& rect, qreal ratio) {
    const int left = static_cast<int>(std::lround(rect.left() * ratio));
    const int top = static_cast<int>(std::lround(rect.top() * ratio));
    const int right = static_cast<int>(std::lround(rect.right() * ratio));
    const int bottom = static_cast<int>(std::lround(rect.bottom() * ratio));
    return {left, top, right - left, bottom - top};
}

constexpr const char* kVertexShader = R"(
attribute highp vec2 position;
varying highp vec2 texturePoint;
void main() {
    texturePoint = vec2((position.x + 1.0) * 0.5, (1.0 - position.y) * 0.5);
    gl_Position = vec4(position, 0.0, 1.0);
}
)";

constexpr const char* kFragmentShader = R"(
varying highp vec2 texturePoint;
uniform sampler2D planeY;
uniform sampler2D planeCb;
uniform sampler2D planeCr;
uniform mediump vec3 rowR;
uniform mediump vec3 rowG;
uniform mediump vec3 rowB;
uniform mediump vec3 offset;
void main() {
    mediump vec3 yuv = vec3(texture2D(planeY, texturePoint).r, texture2D(planeCb, texturePoint).r,
                            texture2D(planeCr, texturePoint).r) - offset;
    gl_FragColor = vec4(clamp(vec3(dot(rowR, yuv), dot(rowG, yuv), dot(rowB, yuv)), 0.0, 1.0), 1.0);
}
)";

QVector3D vector(const std::array<float, 3>& v) { return {v[0], v[1], v[2]}; }

class OpenGLPictureView final : public QOpenGLWidget, public PictureView, protected QOpenGLFunctions {
public:
    explicit OpenGLPictureView(QWidget* parent) : QOpenGLWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        connect(this, &QOpenGLWidget::frameSwapped, this, [this] {
            if (!shownReceived_) return;
            const auto received = *shownReceived_;
            shownReceived_.reset();
            if (onPainted) onPainted(received);
        });
    }
    ~OpenGLPictureView() override {
        if (!context()) return;
        makeCurrent();
        if (texturesMade_) glDeleteTextures(Picture::kPlanes, textures_.data());
        quad_.destroy();
        program_.reset();
        doneCurrent();
    }

    QWidget* widget() override { return this; }
    void setVideoRect(const QRectF& rect) override {
        if (rect == videoRect_) return;
        videoRect_ = rect;
        update();
    }
    void clearPicture() override {
        picture_.reset();
        update();
    }

protected:
    void initializeGL() override {
        initializeOpenGLFunctions();
        program_ = std::make_unique<QOpenGLShaderProgram>();
        const bool built = program_->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertexShader) &&
                           program_->addShaderFromSourceCode(QOpenGLShader::Fragment, kFragmentShader) &&
                           program_->link();
        if (!built || !quad_.create()) {
            usable_ = false;
            // Replacing this view from inside its own initialisation would delete it under Qt's feet.
            QTimer::singleShot(0, this, [this] {
                if (onUnusable) onUnusable();
            });
            return;
        }
        static constexpr std::array<GLfloat, 8> kCorners = {-1, -1, 1, -1, -1, 1, 1, 1};
        quad_.bind();
        quad_.allocate(kCorners.data(), static_cast<int>(sizeof kCorners));
        quad_.release();
        glGenTextures(Picture::kPlanes, textures_.data());
        texturesMade_ = true;
        for (std::size_t i = 0; i < textures_.size(); ++i) {
            // The host samples chroma by points, one for each 2 x 2 pixels: repeating each sample
            // gives its colour edges back, where interpolating would smear them over two pixels.
            const GLint filter = i == 0 ? GL_LINEAR : GL_NEAREST;
            glBindTexture(GL_TEXTURE_2D, textures_[i]);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        }
    }

    void paintGL() override {
        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);
        if (!usable_) return;
        if (auto next = nextPicture ? nextPicture() : std::nullopt) {
            upload(next->picture);
            shownReceived_ = next->receivedMicros;
            picture_ = std::move(next->picture);
        }
        if (picture_) draw(*picture_);
    }

private:
    void upload(const Picture& picture) {
        const bool resized =
            !picture_ || picture_->width() != picture.width() || picture_->height() != picture.height();
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        for (int i = 0; i < Picture::kPlanes; ++i) {
            glBindTexture(GL_TEXTURE_2D, textures_[static_cast<std::size_t>(i)]);
            glPixelStorei(GL_UNPACK_ROW_LENGTH, picture.stride(i));
            if (resized) {
                glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, picture.planeWidth(i), picture.planeHeight(i), 0,
                             GL_LUMINANCE, GL_UNSIGNED_BYTE, picture.plane(i));
            } else {
                glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, picture.planeWidth(i), picture.planeHeight(i), GL_LUMINANCE,
                                GL_UNSIGNED_BYTE, picture.plane(i));
            }
        }
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    }

    void draw(const Picture& picture) {
        const qreal ratio = devicePixelRatioF();
        const QRect target = devicePixels(videoRect_, ratio);
        const int height = static_cast<int>(std::lround(this->height() * ratio));
        if (target.isEmpty()) return;
        // GL counts rows from the bottom.
        glViewport(target.x(), height - target.y() - target.height(), target.width(), target.height());
        program_->bind();
        const YuvToRgb conversion = yuvToRgb(picture.matrix(), picture.fullRange());
        program_->setUniformValue("rowR", vector(conversion.rows[0]));
        program_->setUniformValue("rowG", vector(conversion.rows[1]));
        program_->setUniformValue("rowB", vector(conversion.rows[2]));
        program_->setUniformValue("offset", vector(conversion.offset));
        static constexpr std::array<const char*, Picture::kPlanes> kSamplers = {"planeY", "planeCb", "planeCr"};
        for (int i = 0; i < Picture::kPlanes; ++i) {
            glActiveTexture(GL_TEXTURE0 + static_cast<GLenum>(i));
            glBindTexture(GL_TEXTURE_2D, textures_[static_cast<std::size_t>(i)]);
            program_->setUniformValue(kSamplers[static_cast<std::size_t>(i)], i);
        }
        glActiveTexture(GL_TEXTURE0);
        quad_.bind();
        program_->enableAttributeArray("position");
        program_->setAttributeBuffer("position", GL_FLOAT, 0, 2);
        glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
        program_->disableAttributeArray("position");
        quad_.release();
        program_->release();
    }

    QRectF videoRect_;
    std::optional<Picture> picture_;
    std::optional<std::uint64_t> shownReceived_;
    std::unique_ptr<QOpenGLShaderProgram> program_;
    QOpenGLBuffer quad_{QOpenGLBuffer::VertexBuffer};
    std::array<GLuint, Picture::kPlanes> textures_{};
    bool texturesMade_ = false;
    bool usable_ = true;
};

class RasterPictureView final : public QWidget, public PictureView {
public:
    explicit RasterPictureView(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setFocusPolicy(Qt::NoFocus);
    }
    ~RasterPictureView() override {
        sws_freeContext(scaler_);
        av_frame_free(&destination_);
    }

    QWidget* widget() override { return this; }
    void setVideoRect(const QRectF& rect) override {
        if (rect == videoRect_) return;
        videoRect_ = rect;
        image_ = QImage();
        update();
    }
    void clearPicture() override {
        picture_.reset();
        image_ = QImage();
        update();
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        std::optional<std::uint64_t> shownReceived;
        if (auto next = nextPicture ? nextPicture() : std::nullopt) {
            shownReceived = next->receivedMicros;
            picture_ = std::move(next->picture);
            image_ = QImage();
        }
        const qreal ratio = devicePixelRatioF();
        const QRect target = devicePixels(videoRect_, ratio);
        QPainter painter(this);
        // Black only around the picture: filling under it as well would write every pixel twice.
        painter.setClipRegion(event->region() - (picture_ ? covered(target, ratio) : QRect()));
        painter.fillRect(event->region().boundingRect(), Qt::black);
        painter.setClipping(false);
        if (picture_ && image_.isNull() && !target.isEmpty() && !convertIntoWindow(painter, *event, target, ratio))
            image_ = convert(*picture_, target.size(), ratio);
        if (!image_.isNull()) painter.drawImage(QPointF(target.x() / ratio, target.y() / ratio), image_);
        painter.end();
        if (shownReceived && onPainted) onPainted(*shownReceived);
    }

private:
    // The whole logical pixels inside the picture's device pixels.
    static QRect covered(const QRect& target, qreal ratio) {
        const auto inward = [ratio](int device, bool up) {
            return static_cast<int>(up ? std::ceil(device / ratio) : std::floor(device / ratio));
        };
        const int left = inward(target.left(), true), top = inward(target.top(), true);
        return {left, top, inward(target.x() + target.width(), false) - left,
                inward(target.y() + target.height(), false) - top};
    }

    // A picture that lies wholly inside this view and this paint is converted straight into the
    // window's backing store, saving a frame-sized image and its copy. Not when the view paints
    // elsewhere (a grab), on a store that is no 32-bit image, or when the picture overflows.
    bool convertIntoWindow(QPainter& painter, const QPaintEvent& event, const QRect& target, qreal ratio) {
        QBackingStore* store = backingStore();
        QPaintEngine* engine = painter.paintEngine();
        if (!store || !engine || engine->paintDevice() != store->paintDevice()) return false;
        if (store->paintDevice()->devType() != QInternal::Image) return false;
        auto* window = static_cast<QImage*>(store->paintDevice());
        const bool argb = window->format() == QImage::Format_RGB32 || window->format() == QImage::Format_ARGB32 ||
                          window->format() == QImage::Format_ARGB32_Premultiplied;
        const QTransform& toDevice = painter.deviceTransform();
        if (!argb || toDevice.type() > QTransform::TxScale) return false;
        const QRect inView(QPoint(0, 0), size() * ratio);
        const QRect logical = QRectF(target.x() / ratio, target.y() / ratio, target.width() / ratio,
                                     target.height() / ratio).toAlignedRect();
        if (!inView.contains(target) || !(QRegion(logical) - event.region()).isEmpty()) return false;
        const QPoint origin = toDevice.map(QPointF(0, 0)).toPoint();
        const QRect destination = target.translated(origin);
        if (!window->rect().contains(destination)) return false;
        std::uint8_t* bits = window->bits() + destination.y() * window->bytesPerLine() + destination.x() * 4;
        return convertInto(*picture_, destination.size(), bits, window->bytesPerLine());
    }

    // The conversion's context, made again only when the sizes change.
    bool prepare(const Picture& picture, QSize size) {
        const std::array<int, 4> sizes = {picture.width(), picture.height(), size.width(), size.height()};
        if (scaler_ && sizes == scalerSizes_) return true;
        sws_freeContext(scaler_);
        scaler_ = sws_alloc_context();
        if (!scaler_) return false;
        av_opt_set_int(scaler_, "srcw", picture.width(), 0);
        av_opt_set_int(scaler_, "srch", picture.height(), 0);
        av_opt_set_int(scaler_, "src_format", AV_PIX_FMT_YUV420P, 0);
        av_opt_set_int(scaler_, "dstw", size.width(), 0);
        av_opt_set_int(scaler_, "dsth", size.height(), 0);
        av_opt_set_int(scaler_, "dst_format", AV_PIX_FMT_RGB32, 0);
        av_opt_set_int(scaler_, "sws_flags", SWS_BILINEAR, 0);
        av_opt_set_int(scaler_, "threads", kConverterThreads, 0);
        if (sws_init_context(scaler_, nullptr, nullptr) < 0) {
            sws_freeContext(scaler_);
            scaler_ = nullptr;
            return false;
        }
        scalerSizes_ = sizes;
        scalerColours_.reset();
        return true;
    }

    QImage convert(const Picture& picture, QSize size, qreal ratio) {
        QImage image(size, QImage::Format_RGB32);
        if (image.isNull() || !convertInto(picture, size, image.bits(), image.bytesPerLine())) return {};
        image.setDevicePixelRatio(ratio);
        return image;
    }

    // Into 32-bit pixels of `size` that the caller owns, rows `bytesPerLine` apart; opaque.
    bool convertInto(const Picture& picture, QSize size, std::uint8_t* bits, qsizetype bytesPerLine) {
        if (!prepare(picture, size)) return false;
        const std::pair colours(picture.matrix(), picture.fullRange());
        if (scalerColours_ != colours) {
            const int* standard =
                sws_getCoefficients(picture.matrix() == YuvMatrix::bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601);
            sws_setColorspaceDetails(scaler_, standard, picture.fullRange() ? 1 : 0, standard, 1, 0, 1 << 16, 1 << 16);
            scalerColours_ = colours;
        }
        // The memory is lent to libswscale for the call; it would otherwise allocate its own.
        destination_->format = AV_PIX_FMT_RGB32;
        destination_->width = size.width();
        destination_->height = size.height();
        destination_->data[0] = bits;
        destination_->linesize[0] = static_cast<int>(bytesPerLine);
        const auto length = static_cast<std::size_t>(bytesPerLine) * static_cast<std::size_t>(size.height() - 1) +
                            static_cast<std::size_t>(size.width()) * 4;
        destination_->buf[0] = av_buffer_create(bits, length, [](void*, std::uint8_t*) {}, nullptr, 0);
        const bool converted = destination_->buf[0] && sws_scale_frame(scaler_, destination_, picture.frame()) >= 0;
        av_frame_unref(destination_);
        return converted;
    }

    static constexpr int kConverterThreads = 2;

    QRectF videoRect_;
    std::optional<Picture> picture_;
    QImage image_;
    SwsContext* scaler_ = nullptr;
    std::array<int, 4> scalerSizes_{};
    std::optional<std::pair<YuvMatrix, bool>> scalerColours_;
    AVFrame* destination_ = av_frame_alloc();
};

}  // namespace

OpenGLSupport openGLSupport() {
    static const OpenGLSupport support = [] {
        QOpenGLContext context;
        if (!context.create()) return OpenGLSupport::none;
        QOffscreenSurface surface;
        surface.setFormat(context.format());
        surface.create();
        if (!surface.isValid() || !context.makeCurrent(&surface)) return OpenGLSupport::none;
        const QSurfaceFormat format = context.format();
        const bool fit = context.isOpenGLES() ? format.majorVersion() >= 3 : format.majorVersion() >= 2;
        const auto* renderer = reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
        const QString name = QString::fromLatin1(renderer ? renderer : "");
        context.doneCurrent();
        if (!fit) return OpenGLSupport::none;
        const bool software = name.contains("llvmpipe") || name.contains("softpipe") || name.contains("swrast") ||
                              name.contains("Software Rasterizer");
        return software ? OpenGLSupport::software : OpenGLSupport::hardware;
    }();
    return support;
}

PictureView* makeOpenGLPictureView(QWidget* parent) { return new OpenGLPictureView(parent); }

PictureView* makeRasterPictureView(QWidget* parent) { return new RasterPictureView(parent); }

}  // namespace orvanta::client
