#include "platform/x11/X11ScreenSource.h"

#include <gtest/gtest.h>
#include <sys/uio.h>
#include <xcb/randr.h>
#include <xcb/xcbext.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/x11/XConnection.h"
#include "support/XvfbFixture.h"

namespace orvanta::platform::x11 {
namespace {

using namespace std::chrono_literals;

struct Bgr {
    std::uint8_t b, g, r;
    bool operator==(const Bgr&) const = default;
};

// A copy of each delivered picture, and how the stream ended.
class Collector {
public:
    struct Picture {
        int width = 0, height = 0;
        std::vector<std::uint8_t> bytes;
        std::uint64_t sequence = 0;
        int changedTop = 0, changedBottom = 0;
        Bgr at(int x, int y) const {
            const std::uint8_t* p = bytes.data() + (static_cast<std::size_t>(y) * width + x) * 4;
            return {p[0], p[1], p[2]};
        }
    };

    ScreenStream::ImageHandler images() {
        return [this](const ScreenImage& image) {
            Picture picture{image.width, image.height, {}, image.sequence, image.changedTop, image.changedBottom};
            picture.bytes.resize(static_cast<std::size_t>(image.width) * image.height * 4);
            for (int row = 0; row < image.height; ++row) {
                std::copy_n(image.pixels.data() + static_cast<std::size_t>(row) * image.stride, image.width * 4,
                            picture.bytes.data() + static_cast<std::size_t>(row) * image.width * 4);
            }
            std::lock_guard guard(mutex_);
            pictures_.push_back(std::move(picture));
            changed_.notify_all();
        };
    }
    ScreenStream::StopHandler stops() {
        return [this](std::string why) {
            std::lock_guard guard(mutex_);
            ended_ = std::move(why);
            changed_.notify_all();
        };
    }

    // Waits for a picture that satisfies `wanted`; the last one seen otherwise.
    std::optional<Picture> waitFor(const std::function<bool(const Picture&)>& wanted) {
        std::unique_lock guard(mutex_);
        std::size_t seen = 0;
        std::optional<Picture> found;
        changed_.wait_for(guard, 10s, [&] {
            for (; seen < pictures_.size(); ++seen) {
                if (wanted(pictures_[seen])) {
                    found = pictures_[seen];
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::size_t waitForCount(std::size_t count) {
        std::unique_lock guard(mutex_);
        changed_.wait_for(guard, 10s, [&] { return pictures_.size() >= count; });
        return pictures_.size();
    }
    std::optional<std::string> waitForEnd() {
        std::unique_lock guard(mutex_);
        changed_.wait_for(guard, 10s, [&] { return ended_.has_value(); });
        return ended_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Picture> pictures_;
    std::optional<std::string> ended_;
};

// A mapped override-redirect window of one colour, so no window manager moves it.
class SolidWindow {
public:
    SolidWindow(XConnection& x, int left, int top, int width, int height, std::uint32_t rgb) : x_(x) {
        id_ = xcb_generate_id(x.get());
        const std::uint32_t values[] = {rgb, 1};
        xcb_create_window(x.get(), XCB_COPY_FROM_PARENT, id_, x.root(), static_cast<std::int16_t>(left),
                          static_cast<std::int16_t>(top), static_cast<std::uint16_t>(width),
                          static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, x.screen()->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(x.get(), id_);
        sync(x);
    }
    ~SolidWindow() { destroy(); }
    void destroy() {
        if (!id_) return;
        xcb_destroy_window(x_.get(), id_);
        sync(x_);
        id_ = 0;
    }
    xcb_window_t id() const { return id_; }

    static void sync(XConnection& x) {
        Reply<xcb_get_input_focus_reply_t> reply(
            xcb_get_input_focus_reply(x.get(), xcb_get_input_focus(x.get()), nullptr));
    }

private:
    XConnection& x_;
    xcb_window_t id_ = 0;
};

// RRSetMonitor without outputs, sent by hand: libxcb's own serialiser miscounts its length.
void setMonitor(XConnection& x, const xcb_randr_monitor_info_t& monitor) {
    struct {
        xcb_randr_set_monitor_request_t header;
        xcb_randr_monitor_info_t info;
    } request{};
    request.header.window = x.root();
    request.info = monitor;
    request.info.nOutput = 0;
    static_assert(sizeof request == 32);
    iovec parts[3];
    parts[2].iov_base = &request;
    parts[2].iov_len = sizeof request;
    xcb_protocol_request_t protocol{1, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    xcb_send_request(x.get(), 0, parts + 2, &protocol);
    SolidWindow::sync(x);
}

constexpr Bgr kRed{0, 0, 255};
constexpr Bgr kGreen{0, 255, 0};
constexpr Bgr kBlue{255, 0, 0};

class X11ScreenSourceTest : public ::testing::Test {
protected:
    // The display stream of the main display.
    std::unique_ptr<ScreenStream> openMain(X11ScreenSource& source, bool showsCursor,
                                           std::set<std::uint32_t> excluded = {}) {
        auto content = source.content();
        EXPECT_TRUE(content.has_value());
        if (!content) return nullptr;
        auto stream = source.openStream({DisplayTarget{*content->mainDisplay}, showsCursor, 60, std::move(excluded)});
        EXPECT_TRUE(stream.has_value());
        if (!stream) return nullptr;
        EXPECT_TRUE((*stream)->start(collector.images(), collector.stops()).has_value());
        return std::move(*stream);
    }

    std::unique_ptr<XConnection> connect(const std::string& display) {
        auto x = XConnection::open(display);
        EXPECT_TRUE(x.has_value()) << x.error();
        return x ? std::move(*x) : nullptr;
    }

    Collector collector;
};

TEST_F(X11ScreenSourceTest, ListsMonitorsAndRecognisesOwnVirtualDisplays) {
    ORVANTA_REQUIRE_XVFB();
    auto x = connect(display);
    X11ScreenSource source(display);
    auto content = source.content();
    ASSERT_TRUE(content.has_value()) << content.error();
    ASSERT_FALSE(content->displays.empty());
    ASSERT_TRUE(content->mainDisplay);
    const auto& main = content->displays.front();
    EXPECT_EQ(main.frame, (ScreenRect{0, 0, 1920, 1080}));
    EXPECT_FALSE(main.ownVirtual);

    const std::string name = std::string(kVirtualDisplayNamePrefix) + "TEST";
    xcb_randr_monitor_info_t monitor{};
    monitor.name = x->atom(name);
    monitor.x = 960;
    monitor.width = 960;
    monitor.height = 540;
    setMonitor(*x, monitor);
    content = source.content();
    ASSERT_TRUE(content.has_value());
    auto marked = std::ranges::find(content->displays, monitor.name, &ShareableDisplay::id);
    ASSERT_NE(marked, content->displays.end());
    EXPECT_TRUE(marked->ownVirtual);
    EXPECT_EQ(marked->frame, (ScreenRect{960, 0, 960, 540}));

    // A display that goes away mid-capture ends the stream with why.
    auto stream = source.openStream({DisplayTarget{monitor.name}, false, 60, {}});
    ASSERT_TRUE(stream.has_value());
    ASSERT_TRUE((*stream)->start(collector.images(), collector.stops()).has_value());
    auto first = collector.waitFor([](const auto&) { return true; });
    ASSERT_TRUE(first);
    EXPECT_EQ(first->width, 960);
    EXPECT_EQ(first->height, 540);
    xcb_randr_delete_monitor(x->get(), x->root(), monitor.name);
    SolidWindow::sync(*x);
    EXPECT_EQ(collector.waitForEnd(), "display disconnected");
}

TEST_F(X11ScreenSourceTest, FindsAWindowOfKnownColourAtItsPlace) {
    ORVANTA_REQUIRE_XVFB();
    auto x = connect(display);
    X11ScreenSource source(display);
    auto stream = openMain(source, false);
    ASSERT_TRUE(stream);
    SolidWindow red(*x, 100, 120, 200, 150, 0xFF0000);
    auto picture = collector.waitFor([](const auto& p) { return p.at(200, 190) == kRed; });
    ASSERT_TRUE(picture) << "a picture with the window arrives after the change";
    EXPECT_EQ(picture->width, 1920);
    EXPECT_EQ(picture->at(100, 120), kRed);
    EXPECT_EQ(picture->at(299, 269), kRed);
    EXPECT_NE(picture->at(99, 120), kRed);
    EXPECT_NE(picture->at(300, 269), kRed);
    EXPECT_NE(picture->at(100, 270), kRed);
}

TEST_F(X11ScreenSourceTest, StillScreenDeliversOnlyTheFirstPictureAndRequestedRepeats) {
    ORVANTA_REQUIRE_XVFB();
    auto x = connect(display);
    SolidWindow blue(*x, 0, 0, 400, 300, 0x0000FF);
    X11ScreenSource source(display);
    auto stream = openMain(source, false);
    ASSERT_TRUE(stream);
    ASSERT_EQ(collector.waitForCount(1), 1u);
    for (std::size_t repeat = 2; repeat <= 3; ++repeat) {
        SolidWindow::sync(*x);  // nothing drawn meanwhile
        stream->redeliver();
        EXPECT_EQ(collector.waitForCount(repeat), repeat) << "exactly one picture per request, none in between";
    }
    EXPECT_EQ(collector.waitFor([](const auto&) { return true; })->at(10, 10), kBlue);
}

TEST_F(X11ScreenSourceTest, DrawsThePointerOnlyWhenAsked) {
    ORVANTA_REQUIRE_XVFB();
    auto x = connect(display);
    SolidWindow blue(*x, 400, 400, 400, 400, 0x0000FF);
    xcb_warp_pointer(x->get(), XCB_NONE, x->root(), 0, 0, 0, 0, 600, 600);
    SolidWindow::sync(*x);
    auto pointerArea = [](const Collector::Picture& p, int at = 600) {
        int other = 0;
        for (int y = at - 20; y < at + 40; ++y)
            for (int col = at - 20; col < at + 40; ++col) other += p.at(col, y) != kBlue;
        return other;
    };
    auto ready = [](const Collector::Picture& p) { return p.at(420, 420) == kBlue; };
    {
        X11ScreenSource source(display);
        auto stream = openMain(source, true);
        auto picture = collector.waitFor(ready);
        ASSERT_TRUE(picture);
        EXPECT_GT(pointerArea(*picture), 20) << "the cursor image is drawn in at the pointer";
        EXPECT_EQ(picture->at(700, 700), kBlue);

        xcb_warp_pointer(x->get(), XCB_NONE, x->root(), 0, 0, 0, 0, 720, 720);
        SolidWindow::sync(*x);
        auto moved = collector.waitFor([&](const auto& p) { return pointerArea(p, 720) > 20; });
        ASSERT_TRUE(moved) << "a pointer move alone brings a picture";
        EXPECT_EQ(pointerArea(*moved), 0) << "no trail where the pointer was";

        // Moved as the host moves it for a device: a motion the server sees as a device's.
        xcb_test_fake_input(x->get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, x->root(), 640, 640, 0);
        SolidWindow::sync(*x);
        EXPECT_TRUE(collector.waitFor([&](const auto& p) { return pointerArea(p, 640) > 20; }));
    }
    Collector without;
    X11ScreenSource source(display);
    auto content = source.content();
    auto stream = source.openStream({DisplayTarget{*content->mainDisplay}, false, 60, {}});
    ASSERT_TRUE((*stream)->start(without.images(), without.stops()).has_value());
    auto picture = without.waitFor(ready);
    ASSERT_TRUE(picture);
    EXPECT_EQ(pointerArea(*picture), 0);
}

// A desktop changing on a steady beat faster than the frame rate, the pointer still: every change
// is grabbed well within a poll timeout, also when its damage news came in while the stream waited
// on a round trip of its own (the news then sits in xcb's queue, not on the socket the stream
// polls, and no more news comes until the damage is taken).
TEST_F(X11ScreenSourceTest, ChangesOnASteadyBeatAreGrabbedWithoutWaitingForAPollTimeout) {
    ORVANTA_REQUIRE_XVFB();
    constexpr std::uint64_t kInterval = 16'667;
    constexpr std::uint64_t kBeat = 4'000;
    auto x = connect(display);
    X11ScreenSource source(display);
    auto content = source.content();
    ASSERT_TRUE(content.has_value());
    std::mutex mutex;
    std::vector<std::uint64_t> grabs;
    auto stream = source.openStream({DisplayTarget{*content->mainDisplay}, true, 60, {}});
    ASSERT_TRUE(stream.has_value());
    ASSERT_TRUE((*stream)
                    ->start(
                        [&](const ScreenImage& image) {
                            std::lock_guard guard(mutex);
                            grabs.push_back(image.ptsMicros);
                        },
                        [](std::string) {})
                    .has_value());

    const base::Clock& clock = base::SystemClock::shared();
    const xcb_gcontext_t gc = xcb_generate_id(x->get());
    xcb_create_gc(x->get(), gc, x->root(), 0, nullptr);
    std::vector<std::uint64_t> draws;
    const auto start = std::chrono::steady_clock::now();
    for (int beat = 0; beat < 500; ++beat) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(kBeat * static_cast<std::uint64_t>(beat)));
        // Taken before the drawing: a grab that begins meanwhile may not show it yet, but then its
        // damage news brings the next.
        draws.push_back(clock.uptimeMicros());
        const std::uint32_t colour = beat % 2 ? 0x204080 : 0x806040;
        xcb_change_gc(x->get(), gc, XCB_GC_FOREGROUND, &colour);
        // A small patch: whole-screen fills four times a frame keep the X server busy with this
        // client, and its scheduler then makes the stream's requests wait 100 ms and more.
        const xcb_rectangle_t patch{600, 400, 160, 90};
        xcb_poly_fill_rectangle(x->get(), x->root(), gc, 1, &patch);
        SolidWindow::sync(*x);
    }
    const std::uint64_t lastDraw = draws.back();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard guard(mutex);
            if (!grabs.empty() && grabs.back() > lastDraw) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    (*stream)->stop();

    std::lock_guard guard(mutex);
    std::uint64_t longest = 0;
    for (std::uint64_t drawn : draws) {
        auto grab = std::ranges::upper_bound(grabs, drawn);
        ASSERT_NE(grab, grabs.end()) << "every change is grabbed";
        longest = std::max(longest, *grab - drawn);
    }
    // A change waits about two frame intervals for its grab (27-31 ms in a sanitized build on a
    // loaded machine); news lost in xcb's queue wait for the stream's next timed wake-up, up to a
    // second. The bound leaves room for a busy machine's scheduling and still tells them apart.
    EXPECT_LE(longest, 12 * kInterval) << "the longest wait of a change for its grab, in microseconds";
}

// Images are numbered, each telling the rows in which it differs from the one before: those of a
// window drawn over a band of rows, and those of the pointer where it was and where it is.
TEST_F(X11ScreenSourceTest, ImagesTellTheRowsThatChanged) {
    ORVANTA_REQUIRE_XVFB();
    auto x = connect(display);
    xcb_test_fake_input(x->get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, x->root(), 100, 310, 0);
    SolidWindow::sync(*x);
    X11ScreenSource source(display);
    auto stream = openMain(source, true);
    ASSERT_TRUE(stream);
    auto first = collector.waitFor([](const auto&) { return true; });
    ASSERT_TRUE(first);
    EXPECT_EQ(first->sequence, 1u);
    EXPECT_EQ(first->changedBottom - first->changedTop, 1080) << "the first image is new in every row";

    SolidWindow red(*x, 600, 300, 200, 40, 0xFF0000);
    auto drawn = collector.waitFor([](const auto& p) { return p.at(700, 320) == kRed; });
    ASSERT_TRUE(drawn);
    EXPECT_LE(drawn->changedTop, 300);
    EXPECT_GE(drawn->changedBottom, 340);
    EXPECT_LT(drawn->changedBottom - drawn->changedTop, 100) << "not every row";

    const std::uint64_t before = drawn->sequence;
    xcb_test_fake_input(x->get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, x->root(), 100, 700, 0);
    SolidWindow::sync(*x);
    auto moved = collector.waitFor([&](const auto& p) { return p.sequence > before && p.changedBottom > 700; });
    ASSERT_TRUE(moved);
    EXPECT_LE(moved->changedTop, 310) << "the rows the pointer left";
    EXPECT_LT(moved->changedBottom, 800);
}

TEST_F(X11ScreenSourceTest, WindowTargetDeliversTheWindowUntilItCloses) {
    ORVANTA_REQUIRE_XVFB();
    auto x = connect(display);
    SolidWindow green(*x, 1800, 50, 200, 150, 0x00FF00);  // partly off the screen
    X11ScreenSource source(display);
    auto stream = source.openStream({WindowTarget{green.id()}, false, 60, {}});
    ASSERT_TRUE(stream.has_value());
    ASSERT_TRUE((*stream)->start(collector.images(), collector.stops()).has_value());
    auto picture = collector.waitFor([](const auto&) { return true; });
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, 200);
    EXPECT_EQ(picture->height, 150);
    EXPECT_EQ(picture->at(0, 0), kGreen);
    EXPECT_EQ(picture->at(119, 149), kGreen);
    EXPECT_EQ(picture->at(120, 0), (Bgr{0, 0, 0})) << "off the screen is black";
    green.destroy();
    EXPECT_EQ(collector.waitForEnd(), "window closed");
}

// Fills every picture with the next shade of grey and says whether it changed as the test wants;
// the test also plays the composer's news of a change.
class FakeComposer final : public FrameComposer {
public:
    struct Call {
        CaptureTarget target;
        ScreenRect area;
        std::set<std::uint32_t> excluded;
    };

    std::expected<bool, std::string> compose(const CaptureTarget& target, const ScreenRect& area,
                                             const std::set<std::uint32_t>& excluded, std::span<std::uint8_t> out,
                                             int stride) override {
        std::lock_guard guard(mutex);
        calls.push_back({target, area, excluded});
        const auto shade = static_cast<std::uint8_t>(0x10 * calls.size());
        for (std::size_t i = 0; i + 3 < out.size(); i += 4) out[i] = out[i + 1] = out[i + 2] = shade;
        EXPECT_EQ(stride, static_cast<int>(area.width) * 4);
        called.notify_all();
        return changes;
    }
    std::unique_ptr<Watch> watch(std::function<void()> changed) override {
        std::lock_guard guard(mutex);
        watcher = std::move(changed);
        return std::make_unique<Handle>(*this);
    }
    void announceChange(bool changed) {
        std::function<void()> notify;
        {
            std::lock_guard guard(mutex);
            changes = changed;
            notify = watcher;
        }
        ASSERT_TRUE(notify) << "the stream watches while it composes";
        notify();
    }
    bool waitForCalls(std::size_t count) {
        std::unique_lock guard(mutex);
        return called.wait_for(guard, 10s, [&] { return calls.size() >= count; });
    }

    std::mutex mutex;
    std::condition_variable called;
    std::vector<Call> calls;
    bool changes = true;
    std::function<void()> watcher;

private:
    struct Handle final : Watch {
        explicit Handle(FakeComposer& owner) : composer(owner) {}
        ~Handle() override {
            std::lock_guard guard(composer.mutex);
            composer.watcher = nullptr;
        }
        FakeComposer& composer;
    };
};

Bgr grey(std::size_t call) {
    const auto shade = static_cast<std::uint8_t>(0x10 * call);
    return {shade, shade, shade};
}

TEST_F(X11ScreenSourceTest, ExcludedWindowsSwitchToTheComposer) {
    ORVANTA_REQUIRE_XVFB();
    auto x = connect(display);
    SolidWindow red(*x, 0, 0, 100, 100, 0xFF0000);
    auto composer = std::make_shared<FakeComposer>();
    X11ScreenSource source(display, composer);
    auto stream = openMain(source, false, {42});
    ASSERT_TRUE(stream);
    auto composed = collector.waitFor([](const auto&) { return true; });
    ASSERT_TRUE(composed);
    EXPECT_EQ(composed->at(10, 10), grey(1));
    {
        std::lock_guard guard(composer->mutex);
        ASSERT_EQ(composer->calls.size(), 1u);
        EXPECT_EQ(composer->calls[0].excluded, std::set<std::uint32_t>{42});
        EXPECT_EQ(composer->calls[0].area, (ScreenRect{0, 0, 1920, 1080}));
        EXPECT_TRUE(std::holds_alternative<DisplayTarget>(composer->calls[0].target));
    }
    ASSERT_TRUE(stream->setExcludedWindows({}).has_value());
    EXPECT_TRUE(collector.waitFor([](const auto& p) { return p.at(10, 10) == kRed; }))
        << "without exclusions the screen is grabbed again";
    std::lock_guard guard(composer->mutex);
    EXPECT_FALSE(composer->watcher) << "and the composer is no longer watched";
}

// The covers hide every change from the screen's own damage: while composing, the composer's news
// wakes the stream, and a picture goes out only when the composed one changed.
TEST_F(X11ScreenSourceTest, WhileComposingTheComposersNewsBringsChangedPicturesOnly) {
    ORVANTA_REQUIRE_XVFB();
    auto composer = std::make_shared<FakeComposer>();
    X11ScreenSource source(display, composer);
    auto stream = openMain(source, false, {42});
    ASSERT_TRUE(stream);
    ASSERT_EQ(collector.waitForCount(1), 1u);

    composer->announceChange(false);  // a change elsewhere: composed, found equal, not sent
    ASSERT_TRUE(composer->waitForCalls(2));
    composer->announceChange(true);
    ASSERT_TRUE(composer->waitForCalls(3));
    EXPECT_TRUE(collector.waitFor([](const auto& p) { return p.at(10, 10) == grey(3); }));
    EXPECT_EQ(collector.waitForCount(2), 2u) << "the unchanged picture was not delivered";

    {
        std::lock_guard guard(composer->mutex);
        composer->changes = false;
    }
    stream->redeliver();
    EXPECT_TRUE(collector.waitFor([](const auto& p) { return p.at(10, 10) == grey(4); }))
        << "a requested picture comes even when unchanged";
}

TEST(X11ScreenSourceServerTest, ServerGoingAwayEndsTheStream) {
    auto server = orvanta::testing::XvfbServer::start({.width = 640, .height = 480});
    if (!server) {
        orvanta::testing::skipOrFailWithoutService("Xvfb: " + server.error());
        return;
    }
    X11ScreenSource source((*server)->display());
    auto content = source.content();
    ASSERT_TRUE(content.has_value());
    Collector collector;
    auto stream = source.openStream({DisplayTarget{*content->mainDisplay}, true, 60, {}});
    ASSERT_TRUE(stream.has_value());
    ASSERT_TRUE((*stream)->start(collector.images(), collector.stops()).has_value());
    ASSERT_EQ(collector.waitForCount(1), 1u);
    (*server)->kill();
    EXPECT_EQ(collector.waitForEnd(), "X server connection lost");
    EXPECT_FALSE(source.content().has_value());
}

}  // namespace
}  // namespace orvanta::platform::x11
