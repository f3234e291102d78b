#include "image/LoadGray.h"

#include "image/DecodeFile.h"

namespace kesto {
namespace {

constexpr int kGrayChannels = 1;

} // namespace

bool gray_size_within_limits(int width, int height) noexcept
{
    if (width <= 0 || height <= 0 || width > kMaxGraySidePixels || height > kMaxGraySidePixels) {
        return false;
    }
    // Both sides are at most 2^14 here, so the product fits easily in 64 bits.
    return std::int64_t{width} * std::int64_t{height} <= kMaxGrayPixels;
}

std::vector<std::uint8_t> load_gray(const std::string& path, int* width, int* height)
{
    return detail::decode_file_within_limits(path, kGrayChannels, width, height);
}

} // namespace kesto
