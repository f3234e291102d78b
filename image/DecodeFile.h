#pragma once
// Folder-private: the one path from an image file to a caller-owned pixel buffer, behind the gray loader.

#include <cstdint>
#include <string>
#include <vector>

namespace kesto::detail {

// Decodes the PNG or JPEG file at `path` with exactly `channels` 8-bit channels per pixel, rows top first,
// stride = width * channels. The size is judged by gray_size_within_limits from the header before any pixel
// buffer is made, and again as the decoder reports it. Both come from one open handle, so the size that was
// checked is the size that gets decoded.
// Failure (unusable path, missing or unreadable file, data the decoder does not accept, a size outside the
// limits): an empty vector, and *width and *height are set to 0. Null out-pointers are allowed.
std::vector<std::uint8_t> decode_file_within_limits(const std::string& path, int channels, int* width, int* height);

} // namespace kesto::detail
