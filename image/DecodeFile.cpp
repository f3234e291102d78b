#include "image/DecodeFile.h"

#include "image/FileHandle.h"
#include "image/LoadGray.h"
#include "image/StbCodec.h"

namespace kesto::detail {
namespace {

void store(int* out, int value)
{
    if (out != nullptr) {
        *out = value;
    }
}

} // namespace

std::vector<std::uint8_t> decode_file_within_limits(const std::string& path, int channels, int* width, int* height)
{
    store(width, 0);
    store(height, 0);
    if (!usable_path(path)) {
        return {};
    }
    const FileHandle file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return {};
    }
    StbHeader header;
    if (!stb_info_from_file(file.get(), header) || !gray_size_within_limits(header.width, header.height)) {
        return {};
    }
    StbHeader decoded;
    const StbPixels pixels = stb_load_from_file(file.get(), channels, decoded);
    // The decoder reports the size again; trust neither a changed file nor a second header blindly.
    if (!pixels || !gray_size_within_limits(decoded.width, decoded.height)) {
        return {};
    }
    const std::size_t count = static_cast<std::size_t>(decoded.width) * static_cast<std::size_t>(decoded.height) *
                              static_cast<std::size_t>(channels);
    std::vector<std::uint8_t> bytes(pixels.get(), pixels.get() + count);
    store(width, decoded.width);
    store(height, decoded.height);
    return bytes;
}

} // namespace kesto::detail
