#include "host/media/BlackoutDebugSnapshot.h"

#include <png.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include "host/media/Blackout.h"

namespace orvanta::host {
namespace {

constexpr std::string_view kLinePrefix = "debug blackout snapshot: ";
constexpr int kSampleColumns = 160;
constexpr int kSampleRows = 100;
// A display's first picture comes at once; this only bounds a capture that never answers.
constexpr std::chrono::seconds kGrabTimeout{3};

// One picture of a display, in the BGRX rows of the capture.
struct Grab {
    std::vector<std::uint8_t> pixels;
    int width = 0;
    int height = 0;
    int stride = 0;

    platform::ScreenImage image() const { return {pixels, width, height, stride, 0}; }
};

std::optional<Grab> grab(platform::ScreenSource& source, std::uint32_t display) {
    auto stream = source.openStream({.target = platform::DisplayTarget{display},
                                     .showsCursor = false,
                                     .maxFramesPerSecond = 60,
                                     .excludedWindows = {}});
    if (!stream) return std::nullopt;
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<Grab> result;
    bool ended = false;
    auto started = (*stream)->start(
        [&](const platform::ScreenImage& image) {
            std::lock_guard guard(mutex);
            if (result) return;
            result = Grab{{image.pixels.begin(), image.pixels.end()}, image.width, image.height, image.stride};
            arrived.notify_all();
        },
        [&](const std::string&) {
            std::lock_guard guard(mutex);
            ended = true;
            arrived.notify_all();
        });
    if (!started) return std::nullopt;
    {
        std::unique_lock lock(mutex);
        arrived.wait_for(lock, kGrabTimeout, [&] { return result.has_value() || ended; });
    }
    (*stream)->stop();
    std::lock_guard guard(mutex);
    return result;
}

// Written beside the target and renamed over it, so a reader never sees half a file and, of two
// overlapping runs, the later write wins. Errors are silent.
void savePng(const Grab& grab, const std::string& path) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(grab.width) * static_cast<std::size_t>(grab.height) * 3);
    for (int y = 0; y < grab.height; ++y) {
        const std::uint8_t* row = grab.pixels.data() + static_cast<std::ptrdiff_t>(y) * grab.stride;
        std::uint8_t* out = rgb.data() + static_cast<std::ptrdiff_t>(y) * grab.width * 3;
        for (int x = 0; x < grab.width; ++x, row += 4, out += 3) {
            out[0] = row[2];
            out[1] = row[1];
            out[2] = row[0];
        }
    }
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return;
    FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        ::close(fd);
        ::unlink(temp.c_str());
        return;
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(grab.width);
    image.height = static_cast<png_uint_32>(grab.height);
    image.format = PNG_FORMAT_RGB;
    const bool written = png_image_write_to_stdio(&image, file, 0, rgb.data(), grab.width * 3, nullptr) != 0;
    png_image_free(&image);
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || std::rename(temp.c_str(), path.c_str()) != 0) ::unlink(temp.c_str());
}

std::string oneDecimal(double value) {
    std::array<char, 32> buffer{};
    const auto [end, ec] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, 1);
    return ec == std::errc{} ? std::string(buffer.data(), end) : std::string();
}

}  // namespace

std::string BlackoutDebugSnapshot::fileName(std::string_view prefix, std::uint32_t display) {
    return std::string(prefix) + "-" + std::to_string(display) + ".png";
}

void BlackoutDebugSnapshot::install(BlackoutOverlay& overlay, std::string prefix, Parts parts) {
    overlay.onRevealed = [prefix = std::move(prefix), parts = std::move(parts)] {
        parts.main.asyncAfter(kDelayAfterReveal, [prefix, parts] {
            parts.work.async([prefix, source = parts.source, log = parts.log] { shoot(prefix, *source, log); });
        });
    };
}

void BlackoutDebugSnapshot::shoot(const std::string& prefix, platform::ScreenSource& source, const LogFn& log) {
    const auto content = source.content();
    if (!content) {
        log(std::string(kLinePrefix) + "no shareable content");
        return;
    }
    for (const auto& display : content->displays) {
        if (display.ownVirtual) continue;
        const auto picture = grab(source, display.id);
        if (!picture) {
            log(std::string(kLinePrefix) + "capture failed for display " + std::to_string(display.id));
            continue;
        }
        const std::string path = fileName(prefix, display.id);
        savePng(*picture, path);
        log(std::string(kLinePrefix) + "display " + std::to_string(display.id) + " " + std::to_string(picture->width) +
            "x" + std::to_string(picture->height) + " meanLuma=" + oneDecimal(meanLuma(picture->image())) + " saved " +
            path);
    }
}

double BlackoutDebugSnapshot::meanLuma(const platform::ScreenImage& image) {
    const int columnStep = image.width < kSampleColumns ? 1 : image.width / kSampleColumns;
    const int rowStep = image.height < kSampleRows ? 1 : image.height / kSampleRows;
    double sum = 0;
    std::int64_t samples = 0;
    for (int y = 0; y < image.height; y += rowStep) {
        const auto row = image.pixels.subspan(static_cast<std::size_t>(y) * static_cast<std::size_t>(image.stride));
        for (int x = 0; x < image.width; x += columnStep) {
            const auto* pixel = row.data() + static_cast<std::ptrdiff_t>(x) * 4;
            sum += 0.299 * pixel[2] + 0.587 * pixel[1] + 0.114 * pixel[0];
            ++samples;
        }
    }
    return samples == 0 ? 0 : sum / static_cast<double>(samples);
}

}  // namespace orvanta::host
