// One captured picture as the encoder takes it: NV12 (4:2:0, luma plane then interleaved chroma),
// video range, held in a small pool of reused buffers so that capture allocates nothing per frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace orvanta::host {

// HD pictures use BT.709 colours, smaller ones BT.601; converter and encoder agree through this.
constexpr bool usesBT709(std::int64_t width, std::int64_t height) { return width >= 1280 || height >= 720; }

class PixelBuffer {
public:
    PixelBuffer(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    std::uint8_t* luma() { return storage_.data(); }
    const std::uint8_t* luma() const { return storage_.data(); }
    std::uint8_t* chroma() { return storage_.data() + chromaOffset_; }
    const std::uint8_t* chroma() const { return storage_.data() + chromaOffset_; }
    int lumaStride() const { return stride_; }
    int chromaStride() const { return stride_; }
    bool bt709() const { return usesBT709(width_, height_); }

    // Black in video range: Y 16, Cb and Cr 128.
    void fillBlack();

    // Which of the converter's pictures the buffer holds, so that the converter can bring it up to
    // a later one by the rows that changed; 0 when none. Set only while the buffer is the
    // converter's alone.
    std::uint64_t picture = 0;

private:
    int width_;
    int height_;
    int stride_;
    std::size_t chromaOffset_;
    std::vector<std::uint8_t> storage_;
};

// Hands out at most `capacity` buffers of one size; a buffer goes back when its last reference is
// dropped, even after the pool itself is gone.
class PixelBufferPool {
public:
    PixelBufferPool(int width, int height, std::size_t capacity);

    // None when every buffer is in use: the consumer is behind, and the frame is better skipped.
    // `fresh` tells whether the buffer is new (so its constant parts need drawing).
    std::shared_ptr<PixelBuffer> acquire(bool* fresh = nullptr);

    int width() const { return width_; }
    int height() const { return height_; }

private:
    struct Shared {
        std::mutex mutex;
        std::vector<std::unique_ptr<PixelBuffer>> idle;
        std::size_t created = 0;
    };

    int width_;
    int height_;
    std::size_t capacity_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace orvanta::host
