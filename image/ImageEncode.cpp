#include "image/ImageEncode.h"

#include "image/Base64.h"
#include "image/JpegEncoder.h"
#include "image/StbCodec.h"

#include <climits>

namespace kesto {
namespace {

constexpr int kRgbaChannels = 4;
constexpr int kGrayChannels = 1;

// Sizes the PNG writer can handle: its row offsets (stride * row) and its filtered copy
// ((width * channels + 1) * height) are computed in int.
bool png_size_ok(int width, int height, int channels, int stride_bytes)
{
    if (width <= 0 || height <= 0) {
        return false;
    }
    const std::int64_t row_bytes = std::int64_t{width} * channels;
    const std::int64_t stride = stride_bytes < 0 ? -std::int64_t{stride_bytes} : std::int64_t{stride_bytes};
    if (stride != 0 && stride < row_bytes) {
        return false;
    }
    if ((row_bytes + 1) * height > kMaxEncodeRawBytes) {
        return false;
    }
    return stride * height <= INT_MAX;
}

std::string png_data_url(const std::uint8_t* pixels, int width, int height, int channels, int stride_bytes)
{
    std::string url = kPngDataUrlPrefix;
    if (pixels == nullptr || !png_size_ok(width, height, channels, stride_bytes)) {
        return url;
    }
    int size_bytes = 0;
    const detail::StbEncoded png =
        detail::stb_write_png_to_mem(pixels, stride_bytes, width, height, channels, size_bytes);
    if (!png || size_bytes <= 0) {
        return url;
    }
    url += base64_encode(png.get(), static_cast<std::uint64_t>(size_bytes));
    return url;
}

} // namespace

std::vector<std::uint8_t> rgba_to_jpeg(const std::uint8_t* rgba, int width, int height, int quality)
{
    return JpegEncoder().encode(rgba, width, height, quality);
}

std::string rgba_to_png_data_url(const std::uint8_t* rgba, int width, int height, int stride_bytes)
{
    return png_data_url(rgba, width, height, kRgbaChannels, stride_bytes);
}

std::string mask_to_png_data_url(const std::vector<std::uint8_t>& gray, int width, int height)
{
    if (width <= 0 || height <= 0 ||
        static_cast<std::uint64_t>(gray.size()) != std::uint64_t(width) * std::uint64_t(height)) {
        return kPngDataUrlPrefix;
    }
    return png_data_url(gray.data(), width, height, kGrayChannels, width);
}

} // namespace kesto
