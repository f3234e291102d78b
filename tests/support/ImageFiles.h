#pragma once
// Image files for tests, through OpenImageIO as the tool reads and writes them: 8-bit pixels, rows tightly
// packed, top row first, values as stored (no alpha association either way).

#include <cstdint>
#include <string>
#include <vector>

namespace kesto::testing {

// The file as RGBA: alpha 255 where it has none, gray spread to R, G and B. Empty, with *width and *height 0,
// when it cannot be read. Null out-pointers are allowed.
std::vector<std::uint8_t> load_rgba(const std::string &path, int *width, int *height);

// Writes pixels of `channels` bytes (1 gray, 2 gray and alpha, 3 RGB, 4 RGBA) as a PNG file. False when it
// cannot.
bool write_png_file(const std::string &path, const std::uint8_t *pixels, int width, int height, int channels);

}  // namespace kesto::testing
