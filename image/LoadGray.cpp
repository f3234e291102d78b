#include "image/LoadGray.h"

#include "image/FileHandle.h"
#include "image/StbCodec.h"

namespace kesto {
namespace {

constexpr int kGrayChannels = 1;

void store(int* out, int value)
{
    if (out != nullptr) {
        *out = value;
    }
}

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
    store(width, 0);
    store(height, 0);
    if (!detail::usable_path(path)) {
        return {};
    }
    // One handle for header and pixels, so the size that was checked is the size that gets decoded.
    const detail::FileHandle file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return {};
    }
    detail::StbHeader header;
    if (!detail::stb_info_from_file(file.get(), header) || !gray_size_within_limits(header.width, header.height)) {
        return {};
    }
    detail::StbHeader decoded;
    const detail::StbPixels pixels = detail::stb_load_from_file(file.get(), kGrayChannels, decoded);
    // The decoder reports the size again; trust neither a changed file nor a second header blindly.
    if (!pixels || !gray_size_within_limits(decoded.width, decoded.height)) {
        return {};
    }
    const std::size_t count = static_cast<std::size_t>(decoded.width) * static_cast<std::size_t>(decoded.height);
    std::vector<std::uint8_t> gray(pixels.get(), pixels.get() + count);
    store(width, decoded.width);
    store(height, decoded.height);
    return gray;
}

} // namespace kesto
