#include "image/JpegEncoder.h"

#include "image/ImageEncode.h"

#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <new>

namespace kesto {
namespace {

constexpr int kRgbaChannels = 4;
constexpr int kMinJpegQuality = 1;
constexpr int kMaxJpegQuality = 100;

} // namespace

void JpegEncoder::HandleDestroy::operator()(void* handle) const noexcept { tjDestroy(handle); }

void JpegEncoder::BufferFree::operator()(unsigned char* buffer) const noexcept { tjFree(buffer); }

std::vector<std::uint8_t> JpegEncoder::encode(const std::uint8_t* rgba, int width, int height, int quality)
{
    if (rgba == nullptr || width <= 0 || height <= 0 || width > kMaxJpegSidePixels || height > kMaxJpegSidePixels ||
        std::int64_t{width} * height * kRgbaChannels > kMaxEncodeRawBytes) {
        return {};
    }
    // The codec takes nothing outside 1..100; 0 must not silently become some default either.
    const int clamped_quality = std::clamp(quality, kMinJpegQuality, kMaxJpegQuality);

    if (!handle_) {
        handle_.reset(tjInitCompress());
        if (!handle_) {
            return {};
        }
    }
    // The worst case for this size: with the buffer that large, the codec is told never to reallocate it.
    const unsigned long needed = tjBufSize(width, height, TJSAMP_444);
    if (needed == static_cast<unsigned long>(-1) || needed > static_cast<unsigned long>(INT_MAX)) {
        return {};
    }
    if (capacity_ < needed) {
        buffer_.reset();
        capacity_ = 0;
        buffer_.reset(tjAlloc(static_cast<int>(needed)));
        if (!buffer_) {
            throw std::bad_alloc();
        }
        capacity_ = needed;
    }

    unsigned char* out = buffer_.get();
    unsigned long size = capacity_;
    // RGBX: the fourth byte of each pixel is skipped, so alpha never reaches the file.
    const int failed = tjCompress2(handle_.get(), rgba, width, width * kRgbaChannels, height, TJPF_RGBX, &out, &size,
                                   TJSAMP_444, clamped_quality, TJFLAG_NOREALLOC);
    if (failed != 0 || out != buffer_.get() || size == 0 || size > capacity_) {
        handle_.reset(); // start the next image from a fresh codec state
        return {};
    }
    return std::vector<std::uint8_t>(out, out + size);
}

} // namespace kesto
