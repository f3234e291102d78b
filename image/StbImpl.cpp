// The project's single copy of the stb codecs. Every stb function gets static linkage, so none is visible
// outside this file (nor exported from the plug-in module, nor clashing with another copy in the host);
// the rest of the project reaches them through StbCodec.h.

#include "image/StbCodec.h"

#include "image/LoadGray.h"

#include <cstdlib>

namespace kesto::detail {
namespace {

// No legitimate image within the gray limits needs a single decoder buffer this large (a 2^26-pixel 16-bit
// RGBA PNG needs 512 MiB plus row filters); refusing bigger requests stops small compressed bombs early.
constexpr std::size_t kMaxDecoderAllocationBytes = std::size_t{1} << 30;

thread_local std::size_t gDecoderPeakRequestBytes = 0;

bool note_request(std::size_t size) noexcept
{
    if (size > gDecoderPeakRequestBytes) {
        gDecoderPeakRequestBytes = size;
    }
    return size <= kMaxDecoderAllocationBytes;
}

void* decoder_malloc(std::size_t size) noexcept
{
    return note_request(size) ? std::malloc(size) : nullptr;
}

void* decoder_realloc(void* block, std::size_t size) noexcept
{
    // On refusal the old block stays valid and the decoder frees it on its error path.
    return note_request(size) ? std::realloc(block, size) : nullptr;
}

void decoder_free(void* block) noexcept { std::free(block); }

} // namespace
} // namespace kesto::detail

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_MAX_DIMENSIONS (kesto::kMaxGraySidePixels)
#define STBI_MALLOC(size) kesto::detail::decoder_malloc(size)
#define STBI_REALLOC(block, size) kesto::detail::decoder_realloc((block), (size))
#define STBI_FREE(block) kesto::detail::decoder_free(block)
#include <stb/stb_image.h>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>

namespace kesto::detail {

void StbImageFree::operator()(unsigned char* pixels) const noexcept { stbi_image_free(pixels); }

void StbWriteFree::operator()(unsigned char* bytes) const noexcept { STBIW_FREE(bytes); }

bool stb_info_from_file(std::FILE* file, StbHeader& header)
{
    header = StbHeader{};
    return stbi_info_from_file(file, &header.width, &header.height, &header.channels) != 0;
}

StbPixels stb_load_from_file(std::FILE* file, int channels, StbHeader& header)
{
    header = StbHeader{};
    return StbPixels(stbi_load_from_file(file, &header.width, &header.height, &header.channels, channels));
}

std::size_t stb_decoder_peak_request_bytes() noexcept { return gDecoderPeakRequestBytes; }

void stb_reset_decoder_peak_request() noexcept { gDecoderPeakRequestBytes = 0; }

bool stb_write_jpg(StbWriteSink* sink, void* context, int width, int height, int channels, const void* pixels,
                   int quality)
{
    return stbi_write_jpg_to_func(sink, context, width, height, channels, pixels, quality) != 0;
}

StbEncoded stb_write_png_to_mem(const unsigned char* pixels, int stride_bytes, int width, int height, int channels,
                                int& size_bytes)
{
    size_bytes = 0;
    return StbEncoded(stbi_write_png_to_mem(pixels, stride_bytes, width, height, channels, &size_bytes));
}

} // namespace kesto::detail
