#pragma once
// Decoding of matte files into one 8-bit gray channel.

#include <cstdint>
#include <string>
#include <vector>

namespace kesto {

// Largest width or height load_gray accepts, in pixels.
inline constexpr int kMaxGraySidePixels = 16384;
// Largest width x height load_gray accepts, in pixels (64 Mi): at most 64 MiB of gray bytes per decoded file.
inline constexpr std::int64_t kMaxGrayPixels = std::int64_t{1} << 26;

// True when a width x height image may be decoded: both sides 1..kMaxGraySidePixels and at most
// kMaxGrayPixels pixels. Computed without overflow for any int arguments.
bool gray_size_within_limits(int width, int height) noexcept;

// Decodes the PNG or JPEG file at `path` into one 8-bit luminance byte per pixel, by the decoder's own
// conversion: gray is kept, gray+alpha keeps the gray, RGB and RGBA give (77 R + 150 G + 29 B) >> 8 with alpha
// ignored, 16-bit samples keep their high byte.
// Result: width * height bytes, rows top first (the file's first row first), stride == width, owned by the
// caller; *width and *height receive the size.
// Failure (missing or unreadable file, data the decoder does not accept, zero pixels, a size outside
// gray_size_within_limits - judged from the header before any pixel buffer is made): an empty vector, and
// *width and *height are set to 0. Null out-pointers are allowed. Safe to call from any thread.
std::vector<std::uint8_t> load_gray(const std::string& path, int* width, int* height);

} // namespace kesto
