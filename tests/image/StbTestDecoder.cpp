// The tests' own static copy of the decoder: results are judged by code that shares no settings or limits with
// the library under test.

#include "ImageTestSupport.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

#include <climits>
#include <memory>

namespace kesto::test {

DecodedImage decode_image(const Bytes& file, int channels)
{
    DecodedImage image;
    if (file.empty() || file.size() > static_cast<std::size_t>(INT_MAX)) {
        return image;
    }
    int file_channels = 0;
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
        stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &image.width, &image.height,
                              &file_channels, channels),
        stbi_image_free);
    if (!pixels) {
        return DecodedImage{};
    }
    image.channels_in_file = file_channels;
    const int kept = channels == 0 ? file_channels : channels;
    const std::size_t count = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) *
                              static_cast<std::size_t>(kept);
    image.pixels.assign(pixels.get(), pixels.get() + count);
    return image;
}

} // namespace kesto::test
