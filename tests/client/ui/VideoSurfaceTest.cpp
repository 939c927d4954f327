// The video surface on a private X server with a window manager: the host's pictures painted on
// both paths, input made by XTest reaching the model's callbacks, and the display's failure path.
#include "client/ui/VideoSurface.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QBuffer>
#include <QLabel>
#include <QPushButton>
#include <QStyleHints>
#include <QTest>
#include <QVBoxLayout>

#include "TestPictures.h"
#include "XTestDriver.h"
#include "base/Base64.h"
#include "host/desktop/InputInjector.h"
#include "platform/x11/X11InputSink.h"
#include "support/HostVideoStream.h"
#include "support/ManualExecutor.h"
#include "support/QtWidgetsApp.h"
#include "support/XvfbFixture.h"

namespace orvanta::client {
namespace {

using namespace std::chrono_literals;
using Path = VideoSurface::PaintPath;

// The host's own pictures shown at their size come back at 44 dB or more on either path; a wrong
// matrix, range, chroma placement or a shift by one pixel falls well below this.
constexpr double kMinPsnr = 40.0;

// The session as the surface sees it: what it bound, and each failure it reported.
class FakeVideoSource final : public VideoSource {
public:
    void bindVideoDisplay(std::weak_ptr<VideoDisplay> display) override { display_ = std::move(display); }
    void unbindVideoDisplay() override { display_.reset(); }
    bool videoDisplayFailed() override {
        ++failures;
        return !std::exchange(awaitingKeyframe_, true);
    }

    bool bound() const { return !display_.expired(); }
    // Hands a sample over as the session does; a keyframe ends the wait.
    bool feed(const std::shared_ptr<const VideoSample>& sample, base::Micros delay = {}) {
        auto display = display_.lock();
        if (!display || (awaitingKeyframe_ && !sample->keyframe)) return false;
        if (sample->keyframe) awaitingKeyframe_ = false;
        return display->display(sample, delay);
    }

    int failures = 0;

private:
    std::weak_ptr<VideoDisplay> display_;
    bool awaitingKeyframe_ = false;
};

std::vector<std::vector<std::uint32_t>> testPictures(int width, int height, int count) {
    std::vector<std::vector<std::uint32_t>> pictures;
    for (int i = 0; i < count; ++i) pictures.push_back(testing::testPicture(width, height, i));
    return pictures;
}

class SurfaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ORVANTA_REQUIRE_XVFB(testing::XvfbOptions{.windowManager = true});
        displayName = display;
        testing::qtWidgetsApp();
    }
    void TearDown() override { window.reset(); }

    // A window of `size` holding the surface (with the widgets given beside and above it), shown
    // and active.
    void open(QSize size, Path path = Path::automatic, QWidget* beside = nullptr, QWidget* above = nullptr) {
        window = std::make_unique<QWidget>();
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        if (above) layout->addWidget(above);
        surface = new VideoSurface(main, main.clock(), path);
        surface->setFixedSize(size);
        layout->addWidget(surface);
        if (beside) layout->addWidget(beside);
        surface->onInput = [this](const SurfaceInput& input) { inputs.push_back(input); };
        surface->onPainted = [this](std::uint64_t) { ++painted; };
        window->move(40, 40);
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        surface->setSource(source);
    }
    // Samples handed over, each painted before the next.
    void showAll(const testing::HostVideoStream& stream) {
        for (const auto& sample : stream.samples) {
            const int before = painted;
            ASSERT_TRUE(source->feed(sample));
            ASSERT_TRUE(QTest::qWaitFor([&] { return painted > before; }, 5000)) << "sample " << sample->seq;
        }
    }
    QPoint onScreen(QPointF inSurface) const { return surface->mapToGlobal(inSurface.toPoint()); }
    std::vector<SurfacePointer> pointers() const {
        std::vector<SurfacePointer> found;
        for (const auto& input : inputs)
            if (auto* p = std::get_if<SurfacePointer>(&input)) found.push_back(*p);
        return found;
    }
    std::vector<SurfaceKey> keys() const {
        std::vector<SurfaceKey> found;
        for (const auto& input : inputs)
            if (auto* k = std::get_if<SurfaceKey>(&input)) found.push_back(*k);
        return found;
    }
    // Lets Qt read what the X server has queued.
    static void settle() { QTest::qWait(50); }

    std::string displayName;
    testing::ManualExecutor main;
    std::shared_ptr<FakeVideoSource> source = std::make_shared<FakeVideoSource>();
    std::unique_ptr<QWidget> window;
    VideoSurface* surface = nullptr;
    std::vector<SurfaceInput> inputs;
    int painted = 0;
};

TEST_F(SurfaceTest, PaintsTheHostsPicturesSharplyOnBothPaths) {
    const struct {
        Path path;
        int width, height;  // BT.601 below 1280 x 720, BT.709 from it
    } cases[] = {
        {Path::openGL, 320, 240}, {Path::openGL, 1280, 720}, {Path::raster, 320, 240}, {Path::raster, 1280, 720}};
    for (const auto& c : cases) {
        const std::string name = std::string(c.path == Path::openGL ? "opengl" : "raster") + "-" +
                                 std::to_string(c.width) + "x" + std::to_string(c.height);
        SCOPED_TRACE(name);
        const auto pictures = testPictures(c.width, c.height, 3);
        const auto stream = testing::encodeAsHost(pictures, c.width, c.height);
        ASSERT_EQ(stream.samples.size(), 3u);
        ASSERT_NO_FATAL_FAILURE(open({c.width, c.height}, c.path, nullptr, new QLabel("above")));
        surface->setStreamSize({static_cast<double>(c.width), static_cast<double>(c.height)});
        ASSERT_NO_FATAL_FAILURE(showAll(stream));
        EXPECT_EQ(surface->paintPath(), c.path) << "no fallback under Mesa's software renderer";
        const QImage grab = surface->grab().toImage();
        grab.save(testing::artifactPath("video-surface-" + name + ".png"));
        ASSERT_EQ(grab.size(), QSize(c.width, c.height));
        EXPECT_GT(testing::psnr(grab, pictures.back(), c.width, c.height), kMinPsnr);
        // The window itself, below a strip that moves the surface off the window's corner.
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return testing::psnr(testing::shownOnScreen(*surface), pictures.back(), c.width, c.height) > kMinPsnr;
            },
            5000));
        window.reset();
    }
}

TEST_F(SurfaceTest, LetterboxBarsAreBlackAndImmersiveFillsTheView) {
    const auto pictures = testPictures(320, 180, 1);
    const auto stream = testing::encodeAsHost(pictures, 320, 180);
    ASSERT_NO_FATAL_FAILURE(open({320, 320}));
    surface->setStreamSize({320, 180});
    ASSERT_NO_FATAL_FAILURE(showAll(stream));
    QImage grab = surface->grab().toImage();
    EXPECT_EQ(grab.pixelColor(160, 10), QColor(Qt::black));
    EXPECT_NE(grab.pixelColor(160, 160), QColor(Qt::black));

    int geometryChanges = 0;
    surface->onGeometryChange = [&] { ++geometryChanges; };
    surface->setImmersive(true);
    EXPECT_EQ(geometryChanges, 1);
    QTest::qWait(50);
    grab = surface->grab().toImage();
    grab.save(testing::artifactPath("video-surface-immersive.png"));
    EXPECT_NE(grab.pixelColor(160, 10), QColor(Qt::black));
}

TEST_F(SurfaceTest, HoldsPicturesForTheVideoDelay) {
    const auto stream = testing::encodeAsHost(testPictures(160, 96, 2), 160, 96);
    ASSERT_NO_FATAL_FAILURE(open({160, 96}));
    ASSERT_TRUE(source->feed(stream.samples[0], 100ms));
    QTest::qWait(50);
    EXPECT_EQ(painted, 0);
    main.advance(100ms);
    EXPECT_TRUE(QTest::qWaitFor([&] { return painted == 1; }, 5000));
}

TEST_F(SurfaceTest, ACorruptSampleTakesTheFailurePathAndAKeyframeRecovers) {
    const auto pictures = testPictures(320, 240, 4);
    auto stream = testing::encodeAsHost(pictures, 320, 240);
    ASSERT_NO_FATAL_FAILURE(open({320, 240}));
    surface->setStreamSize({320, 240});
    int keyframeRequests = 0;
    surface->onRendererFailure = [&] { ++keyframeRequests; };
    ASSERT_TRUE(source->feed(stream.samples[0]));

    auto corrupt = std::make_shared<VideoSample>(*stream.samples[1]);
    corrupt->avcc = testing::damagedSlices(corrupt->avcc);
    EXPECT_FALSE(source->feed(corrupt));
    EXPECT_EQ(source->failures, 1);
    EXPECT_EQ(keyframeRequests, 1);
    EXPECT_FALSE(source->feed(stream.samples[2])) << "the stream waits for a keyframe";

    // The host's answer: a fresh keyframe of the current picture.
    auto key = testing::encodeAsHost({pictures[3]}, 320, 240);
    const int before = painted;
    ASSERT_TRUE(source->feed(key.samples[0]));
    ASSERT_TRUE(QTest::qWaitFor([&] { return painted > before; }, 5000));
    EXPECT_GT(testing::psnr(surface->grab().toImage(), pictures[3], 320, 240), kMinPsnr);
    EXPECT_EQ(keyframeRequests, 1);
}

TEST_F(SurfaceTest, PointerAndWheelBecomeNormalisedInput) {
    // A 16:9 stream in a 400 x 300 view: the video spans y 37.5 ... 262.5.
    ASSERT_NO_FATAL_FAILURE(open({400, 300}));
    surface->setStreamSize({1600, 900});
    testing::XTestDriver user(displayName);
    const auto at = [&](double x, double y) {
        const QPoint p = onScreen({x, y});
        user.moveTo(p.x(), p.y());
    };

    at(200, 150);
    settle();
    ASSERT_FALSE(pointers().empty());
    EXPECT_EQ(pointers().back(), (SurfacePointer{"move", NormalizedPoint{0.5, 0.5}, {}, {}}));
    inputs.clear();
    at(200, 10);  // the bar above the video
    settle();
    EXPECT_TRUE(pointers().empty());

    // A double click: down, up, double, up.
    at(100, 150);
    settle();
    inputs.clear();
    user.click(user.kLeft);
    user.click(user.kLeft);
    settle();
    const NormalizedPoint quarter{0.25, 0.5};
    EXPECT_EQ(
        pointers(),
        (std::vector<SurfacePointer>{
            {"down", quarter, {}, {}}, {"up", quarter, {}, {}}, {"double", quarter, {}, {}}, {"up", quarter, {}, {}}}));
    inputs.clear();
    QTest::qWait(QGuiApplication::styleHints()->mouseDoubleClickInterval() + 50);

    // A drag leaving the video keeps going along its edge; the release is sent there too.
    user.button(user.kLeft, true);
    at(100, 5);
    user.button(user.kLeft, false);
    settle();
    const NormalizedPoint top{0.25, 0};
    EXPECT_EQ(pointers(),
              (std::vector<SurfacePointer>{{"down", quarter, {}, {}}, {"drag", top, {}, {}}, {"up", top, {}, {}}}));
    inputs.clear();

    // A click in the bar sends nothing.
    user.click(user.kLeft);
    settle();
    EXPECT_TRUE(pointers().empty());
    at(300, 150);
    settle();
    inputs.clear();
    user.click(user.kRight);
    user.click(user.kMiddle);
    user.click(user.kWheelUp);
    user.click(user.kWheelLeft);
    settle();
    const NormalizedPoint threeQuarters{0.75, 0.5};
    EXPECT_EQ(pointers(), (std::vector<SurfacePointer>{{"right", threeQuarters, {}, {}},
                                                       {"middle", threeQuarters, {}, {}},
                                                       {"scroll", threeQuarters, 0.0, 16.0},
                                                       {"scroll", threeQuarters, 16.0, 0.0}}));
}

TEST_F(SurfaceTest, MovesOverAnInactiveWindowSendNothing) {
    ASSERT_NO_FATAL_FAILURE(open({400, 300}));
    surface->setStreamSize({1600, 900});
    QWidget other;
    other.resize(200, 200);
    other.move(600, 40);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    testing::XTestDriver user(displayName);
    const QPoint p = onScreen({200, 150});
    user.moveTo(p.x(), p.y());
    user.moveTo(p.x() + 10, p.y());
    settle();
    EXPECT_TRUE(pointers().empty());
}

TEST_F(SurfaceTest, KeysReachTheHostExceptTheWindowsOwnShortcuts) {
    auto* button = new QPushButton("設定");
    ASSERT_NO_FATAL_FAILURE(open({400, 300}, Path::automatic, button));
    // The application's own Ctrl+Q must not take the chord from the host.
    int quits = 0;
    auto* quit = new QAction(window.get());
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    window->addAction(quit);
    QObject::connect(quit, &QAction::triggered, [&] { ++quits; });
    int fullScreen = 0, settings = 0, navigation = 0;
    surface->onToggleFullScreen = [&] { ++fullScreen; };
    surface->onOpenSettings = [&] { ++settings; };
    surface->onFocusNavigation = [&] { ++navigation; };
    testing::XTestDriver user(displayName);
    surface->setFocus();
    using X = testing::XTestDriver;

    user.chord({X::kKeyA});
    user.chord({X::kKeyTab});
    user.chord({X::kKeyControl, X::kKeyQ});
    user.chord({X::kKeyEscape});
    settle();
    using Phase = SurfaceKey::Phase;
    const std::vector<SurfaceKey> expected = {
        {Phase::press, X::kKeyA, "a", false},         {Phase::release, X::kKeyA, "a", false},
        {Phase::press, X::kKeyTab, "\t", false},      {Phase::release, X::kKeyTab, "\t", false},
        {Phase::press, X::kKeyControl, "", false},    {Phase::press, X::kKeyQ, "\x11", false},
        {Phase::release, X::kKeyQ, "\x11", false},    {Phase::release, X::kKeyControl, "", false},
        {Phase::press, X::kKeyEscape, "\x1b", false}, {Phase::release, X::kKeyEscape, "\x1b", false},
    };
    EXPECT_EQ(keys(), expected);
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(surface->hasFocus()) << "Tab went to the host, not to the next widget";

    inputs.clear();
    user.chord({X::kKeyControl, X::kKeyComma});
    user.chord({X::kKeyControl, X::kKeySuper, X::kKeyF});
    user.chord({X::kKeyControl, X::kKeyShift, X::kKeyN});
    surface->setImmersive(true);
    user.chord({X::kKeyEscape});
    settle();
    EXPECT_EQ(std::tuple(settings, fullScreen, navigation), std::tuple(1, 2, 1));
    for (const auto& key : keys()) {
        if (key.phase == Phase::press) {
            EXPECT_TRUE(key.x11KeyCode == X::kKeyControl || key.x11KeyCode == X::kKeySuper ||
                        key.x11KeyCode == X::kKeyShift)
                << "a shortcut's key reached the host: " << key.x11KeyCode;
        }
    }
}

TEST_F(SurfaceTest, AWheelTurnScrollsTheHostTheWayItScrollsHere) {
    ASSERT_NO_FATAL_FAILURE(open({400, 300}));
    surface->setStreamSize({1600, 900});
    testing::XTestDriver user(displayName);
    const QPoint centre = onScreen({200, 150});
    user.moveTo(centre.x(), centre.y());
    settle();
    // The host's injector on this same server takes the surface's scrolls as a host would.
    testing::ManualExecutor hostQueue;
    auto sink = platform::x11::X11InputSink::open(hostQueue, displayName);
    ASSERT_TRUE(sink) << sink.error();
    host::InputInjector injector(hostQueue, hostQueue.clock(), **sink, [](std::string) {});
    const auto bounds = (*sink)->displayBounds(std::nullopt);
    ASSERT_TRUE(bounds);

    for (const std::uint8_t wheel :
         {testing::XTestDriver::kWheelUp, testing::XTestDriver::kWheelDown, testing::XTestDriver::kWheelLeft}) {
        SCOPED_TRACE(int{wheel});
        inputs.clear();
        for (int notch = 0; notch < 3; ++notch) user.click(wheel);
        settle();
        const auto local = pointers();
        ASSERT_EQ(local.size(), 3u);
        inputs.clear();
        for (const auto& scroll : local) {
            protocol::PointerInput input;
            input.action = "scroll";
            input.x = centre.x() / bounds->width;
            input.y = centre.y() / bounds->height;
            input.dx = scroll.dx;
            input.dy = scroll.dy;
            EXPECT_EQ(injector.handle(input, "client"), host::InputInjector::Result::ok);
        }
        settle();
        const auto remote = pointers();
        ASSERT_FALSE(remote.empty()) << "the host turned no wheel";
        const auto sign = [](std::optional<double> v) { return (*v > 0) - (*v < 0); };
        EXPECT_EQ(sign(remote[0].dx), sign(local[0].dx));
        EXPECT_EQ(sign(remote[0].dy), sign(local[0].dy));
    }
}

TEST_F(SurfaceTest, ShowsTheHostsCursorOverTheVideoOnly) {
    ASSERT_NO_FATAL_FAILURE(open({400, 300}));
    surface->setStreamSize({1600, 900});
    testing::XTestDriver user(displayName);
    const auto at = [&](double x, double y) {
        const QPoint p = onScreen({x, y});
        user.moveTo(p.x(), p.y());
        settle();
    };
    at(200, 150);
    EXPECT_EQ(surface->cursor().shape(), Qt::BlankCursor) << "no image yet: the host's pointer is in the picture";

    QImage arrow(8, 8, QImage::Format_ARGB32);
    arrow.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    arrow.save(&buffer, "PNG");
    const protocol::CursorPosition::Shape shape{
        base::base64Encode({reinterpret_cast<const std::uint8_t*>(png.data()), static_cast<std::size_t>(png.size())}),
        8, 8, 4, 4};
    surface->updateCursor(shape, 1.9);
    ASSERT_TRUE(surface->remoteCursor());
    EXPECT_EQ(surface->cursor().shape(), Qt::BitmapCursor);
    EXPECT_EQ(surface->cursor().pixmap().size(), QSize(16, 16)) << "the scale in steps of a quarter: 2";
    at(200, 10);
    EXPECT_EQ(surface->cursor().shape(), Qt::ArrowCursor) << "the bars keep the local pointer";

    surface->updateCursor(protocol::CursorPosition::Shape{"", 8, 8, 4, 4}, 1);
    EXPECT_FALSE(surface->remoteCursor());
    at(200, 150);
    EXPECT_EQ(surface->cursor().shape(), Qt::BlankCursor);
}

TEST_F(SurfaceTest, FocusLossAndDismantlingReleaseInput) {
    auto* button = new QPushButton("設定");
    button->setFocusPolicy(Qt::StrongFocus);
    ASSERT_NO_FATAL_FAILURE(open({400, 300}, Path::automatic, button));
    int lost = 0;
    surface->onFocusLost = [&] { ++lost; };
    surface->setFocus();
    button->setFocus();
    EXPECT_EQ(lost, 1);
    EXPECT_TRUE(source->bound());
    window.reset();
    EXPECT_EQ(lost, 2);
    EXPECT_FALSE(source->bound());
}

}  // namespace
}  // namespace orvanta::client
