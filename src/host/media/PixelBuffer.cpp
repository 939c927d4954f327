#include "host/media/PixelBuffer.h"

#include <algorithm>

namespace orvanta::host {

namespace {
// Rows padded for the converter's and encoder's vector loads.
constexpr int kRowAlignment = 64;
}  // namespace

PixelBuffer::PixelBuffer(int width, int height)
    : width_(width),
      height_(height),
      stride_((width + kRowAlignment - 1) / kRowAlignment * kRowAlignment),
      chromaOffset_(static_cast<std::size_t>(stride_) * static_cast<std::size_t>(height)),
      // Slack after the chroma plane for vector reads past the last row.
      storage_(chromaOffset_ + static_cast<std::size_t>(stride_) * static_cast<std::size_t>((height + 1) / 2) +
               kRowAlignment) {}

void PixelBuffer::fillBlack() {
    std::fill(storage_.begin(), storage_.begin() + static_cast<std::ptrdiff_t>(chromaOffset_), std::uint8_t{16});
    std::fill(storage_.begin() + static_cast<std::ptrdiff_t>(chromaOffset_), storage_.end(), std::uint8_t{128});
}

PixelBufferPool::PixelBufferPool(int width, int height, std::size_t capacity)
    : width_(width), height_(height), capacity_(capacity), shared_(std::make_shared<Shared>()) {}

std::shared_ptr<PixelBuffer> PixelBufferPool::acquire(bool* fresh) {
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(shared_->mutex);
        if (!shared_->idle.empty()) {
            buffer = std::move(shared_->idle.back());
            shared_->idle.pop_back();
        } else if (shared_->created < capacity_) {
            ++shared_->created;
        } else {
            return nullptr;
        }
    }
    if (fresh) *fresh = !buffer;
    if (!buffer) buffer = std::make_unique<PixelBuffer>(width_, height_);
    std::weak_ptr<Shared> home = shared_;
    return {buffer.release(), [home](PixelBuffer* returned) {
                std::unique_ptr<PixelBuffer> owned(returned);
                if (auto shared = home.lock()) {
                    std::lock_guard lock(shared->mutex);
                    shared->idle.push_back(std::move(owned));
                }
            }};
}

}  // namespace orvanta::host
