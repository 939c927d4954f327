// Desktop-like 1080p content for the video benchmarks: a wallpaper and a page of "text" that
// scrolls by a few rows every frame, drawn on an X screen or rendered as pixels for a bare encode.
#pragma once

#include <sched.h>
#include <sys/types.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "base/Clock.h"
#include "platform/x11/XConnection.h"

namespace orvanta::bench {

// Moves `pid` (a display server the benchmark draws on) to the cores this process may not use, so
// it does not compete with what is measured; it stays where it is when there are none.
inline void keepOffOurCores(pid_t pid) {
    cpu_set_t ours;
    cpu_set_t others;
    sched_getaffinity(0, sizeof ours, &ours);
    CPU_ZERO(&others);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &ours) && cpu < static_cast<int>(std::thread::hardware_concurrency()))
            CPU_SET(cpu, &others);
    }
    if (CPU_COUNT(&others) > 0) sched_setaffinity(pid, sizeof others, &others);
}

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kDocumentWidth = 960;
constexpr int kDocumentHeight = 720;
constexpr int kDocumentLeft = 480;
constexpr int kDocumentTop = 180;

// A drawing's uptime in microseconds, painted as blocks of black (0) and white (1) bits.
constexpr int kStampBits = 48;
constexpr int kStampBlock = 16;

inline std::uint64_t now() { return base::SystemClock::shared().uptimeMicros(); }

// A wallpaper, window frames and a page of "text" (runs of dark glyph blocks on white) that
// scrolls by a few rows every frame, as a desktop does while reading.
class Desktop {
public:
    Desktop() : screen_(static_cast<std::size_t>(kWidth) * kHeight), page_(kDocumentWidth * 4000) {
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                screen_[y * kWidth + x] = static_cast<std::uint32_t>((x / 8) << 16 | (y / 5) << 8 | 0x60);
        std::mt19937 random(11);
        std::uniform_int_distribution<int> glyph(3, 9), space(1, 4), shade(0, 90);
        std::fill(page_.begin(), page_.end(), 0xFFFFFFu);
        for (int line = 0; line * 18 + 14 < 4000; ++line) {
            for (int x = 12; x < kDocumentWidth - 20;) {
                const int w = glyph(random);
                const auto ink = static_cast<std::uint32_t>(shade(random) * 0x010101);
                for (int y = line * 18 + 4; y < line * 18 + 14; ++y)
                    for (int i = 0; i < w; ++i)
                        if ((i + y) % 3) page_[y * kDocumentWidth + x + i] = ink;
                x += w + space(random) + (random() % 9 == 0 ? 8 : 0);
            }
        }
    }

    // The whole screen after `frame` steps.
    const std::vector<std::uint32_t>& render(int frame) {
        const int offset = (frame * 6) % (4000 - kDocumentHeight);
        for (int y = 0; y < kDocumentHeight; ++y) {
            std::copy_n(&page_[(offset + y) * kDocumentWidth], kDocumentWidth,
                        &screen_[(kDocumentTop + y) * kWidth + kDocumentLeft]);
        }
        return screen_;
    }

    // Draws the changed part of `frame` on the X screen (or a window covering it), in one request:
    // one change, one damage. `stamped`: the uptime of the drawing is painted into its top rows, for
    // readStamp.
    void draw(platform::x11::XConnection& x, xcb_gcontext_t gc, int frame, bool stamped = false,
              xcb_drawable_t target = 0) {
        render(frame);
        part_.resize(static_cast<std::size_t>(kDocumentWidth) * kDocumentHeight);
        for (int y = 0; y < kDocumentHeight; ++y) {
            std::copy_n(&screen_[(kDocumentTop + y) * kWidth + kDocumentLeft], kDocumentWidth,
                        &part_[y * kDocumentWidth]);
        }
        if (stamped) {
            const std::uint64_t drawn = now();
            for (int bit = 0; bit < kStampBits; ++bit) {
                const std::uint32_t shade = (drawn >> bit) & 1 ? 0xFFFFFFu : 0;
                for (int y = 0; y < kStampBlock; ++y)
                    std::fill_n(&part_[y * kDocumentWidth + bit * kStampBlock], kStampBlock, shade);
            }
        }
        xcb_put_image(x.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, target ? target : x.root(), gc, kDocumentWidth,
                      kDocumentHeight, kDocumentLeft, kDocumentTop, 0, 24, static_cast<std::uint32_t>(part_.size() * 4),
                      reinterpret_cast<const std::uint8_t*>(part_.data()));
        xcb_flush(x.get());
    }

    void drawAll(platform::x11::XConnection& x, xcb_gcontext_t gc, xcb_drawable_t target = 0) {
        render(0);
        for (int top = 0; top < kHeight; top += kStripRows) {
            // The last strip holds only the rows that are left.
            const int rows = std::min(kStripRows, kHeight - top);
            xcb_put_image(x.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, target ? target : x.root(), gc, kWidth, rows, 0, top, 0,
                          24, kWidth * rows * 4, reinterpret_cast<const std::uint8_t*>(&screen_[top * kWidth]));
        }
        sync(x);
    }

    static void sync(platform::x11::XConnection& x) {
        std::free(xcb_get_input_focus_reply(x.get(), xcb_get_input_focus(x.get()), nullptr));
    }

private:
    static constexpr int kStripRows = 64;  // rows a request of the whole screen carries

    std::vector<std::uint32_t> screen_;
    std::vector<std::uint32_t> page_;
    std::vector<std::uint32_t> part_;
};

// The uptime painted by Desktop::draw, read from a decoded picture's luma plane.
inline std::uint64_t readStamp(const std::uint8_t* luma, int stride) {
    std::uint64_t stamp = 0;
    for (int bit = 0; bit < kStampBits; ++bit) {
        const std::uint8_t centre = luma[static_cast<std::ptrdiff_t>(kDocumentTop + kStampBlock / 2) * stride +
                                         kDocumentLeft + bit * kStampBlock + kStampBlock / 2];
        if (centre > 128) stamp |= std::uint64_t{1} << bit;
    }
    return stamp;
}

inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

}  // namespace orvanta::bench
