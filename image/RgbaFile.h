#pragma once
// Whole image files as 8-bit pixel buffers: RGBA decoding and PNG file writing, for tools and tests that move
// frames between files and the plug-in.
//
// Pixel layout: 8 bits per channel, RGBA pixels are 4 bytes R, G, B, A, gray pixels 1 byte; rows tightly
// packed (stride = width * channels), the top row of the picture first. Nothing is ever flipped. Safe to call
// from any thread.

#include <cstdint>
#include <string>
#include <vector>

namespace kesto {

// Decodes the PNG or JPEG file at `path` into RGBA (a file without alpha gets alpha 255; gray is spread to
// R, G and B; 16-bit samples keep their high byte). Result: width * height * 4 bytes, owned by the caller;
// *width and *height receive the size. Failure (missing or unreadable file, data the decoder does not
// accept, a size outside gray_size_within_limits): an empty vector, and *width and *height are set to 0.
// Null out-pointers are allowed.
std::vector<std::uint8_t> load_rgba(const std::string& path, int* width, int* height);

// Writes `width` x `height` pixels of `channels` bytes each (1 gray, 2 gray+alpha, 3 RGB, 4 RGBA), tightly
// packed, as an 8-bit PNG file at `path`, created or truncated. Returns false, leaving no complete-looking
// file, when the pixels are null, a side is below 1, the image exceeds the encoder's limits, `channels` is
// not 1 to 4, or the file cannot be written.
bool write_png_file(const std::string& path, const std::uint8_t* pixels, int width, int height, int channels);

} // namespace kesto
