#include "image/RgbaFile.h"

#include "image/DecodeFile.h"
#include "image/ImageEncode.h"
#include "image/StbCodec.h"
#include "image/WriteFile.h"

#include <climits>

namespace kesto {
namespace {

constexpr int kRgbaChannels = 4;
constexpr int kMaxChannels = 4;

// The PNG writer computes its row offsets and its filtered copy in int.
bool png_size_ok(int width, int height, int channels)
{
    if (width <= 0 || height <= 0 || channels < 1 || channels > kMaxChannels) {
        return false;
    }
    const std::int64_t row_bytes = std::int64_t{width} * channels;
    return (row_bytes + 1) * height <= kMaxEncodeRawBytes && row_bytes * height <= INT_MAX;
}

} // namespace

std::vector<std::uint8_t> load_rgba(const std::string& path, int* width, int* height)
{
    return detail::decode_file_within_limits(path, kRgbaChannels, width, height);
}

bool write_png_file(const std::string& path, const std::uint8_t* pixels, int width, int height, int channels)
{
    if (pixels == nullptr || !png_size_ok(width, height, channels)) {
        return false;
    }
    int size_bytes = 0;
    const detail::StbEncoded encoded =
        detail::stb_write_png_to_mem(pixels, width * channels, width, height, channels, size_bytes);
    if (!encoded || size_bytes <= 0) {
        return false;
    }
    const std::vector<std::uint8_t> bytes(encoded.get(), encoded.get() + size_bytes);
    return write_file(path, bytes);
}

} // namespace kesto
