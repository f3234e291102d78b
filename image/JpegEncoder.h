#pragma once
// JPEG encoding through libjpeg-turbo's TurboJPEG API: baseline JFIF, 4:4:4 chroma, 3 colour components.
//
// An encoder keeps its codec handle and its output buffer from one image to the next (making them anew costs
// about a tenth of a 1920 x 1080 encode), so a thread that encodes many frames keeps one encoder. An encoder
// belongs to one thread at a time; separate encoders share nothing and may run at once.

#include <cstdint>
#include <memory>
#include <vector>

namespace kesto {

class JpegEncoder {
public:
    JpegEncoder() = default;
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // The contract of rgba_to_jpeg (image/ImageEncode.h): tightly packed RGBA rows, top row first, alpha
    // ignored, quality clamped to 1..100, the complete file, empty when refused or when the codec fails.
    // Throws std::bad_alloc when memory runs out.
    std::vector<std::uint8_t> encode(const std::uint8_t* rgba, int width, int height, int quality);

private:
    struct HandleDestroy {
        void operator()(void* handle) const noexcept;
    };
    struct BufferFree {
        void operator()(unsigned char* buffer) const noexcept;
    };

    std::unique_ptr<void, HandleDestroy> handle_;
    // Large enough for any file of the largest image encoded so far, so the codec never reallocates it.
    std::unique_ptr<unsigned char, BufferFree> buffer_;
    unsigned long capacity_ = 0;
};

} // namespace kesto
