#pragma once
// Turning one source image into the 8-bit picture that is spooled: nearest-neighbour scaling so that the
// longer side is at most kSpoolMaxSidePixels, upright (top row first), RGBA. Pure: no host. Private to
// plugin/.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kesto {

inline constexpr int kSpoolMaxSidePixels = 1920;
inline constexpr int kSpoolMinSidePixels = 2;

// A source image as the host lends it: RGBA pixels of 4 bytes (byte depth) or 4 floats (float depth);
// `bottomRow` is the first pixel of the bottom row and each row above starts `rowBytes` further on
// (negative when rows are stored top row first).
struct SourceImage {
  const void *bottomRow = nullptr;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::ptrdiff_t rowBytes = 0;
  bool isFloat = false;
};

// An upright RGBA picture, rows top first, tightly packed (width * 4 bytes per row).
struct RgbaFrame {
  std::vector<std::uint8_t> pixels;
  int width = 0;
  int height = 0;
};

struct SpoolSize {
  int width = 0;
  int height = 0;
  double scale = 1.0;  // output / input, at most 1
};

// The size a width x height frame is spooled at. Both sides must be positive.
SpoolSize spool_size(std::int64_t width, std::int64_t height) noexcept;

// True when the image may be read: pixels present, both sides positive, and each row at least
// width * pixel-size bytes apart.
bool source_image_readable(const SourceImage &image) noexcept;

// One component as a spooled byte: floats clamped to 0..1 (not-a-number gives 0) and rounded half up;
// bytes unchanged.
std::uint8_t float_to_byte(float value) noexcept;

// The spooled picture of a readable image. Throws std::bad_alloc only.
RgbaFrame resample_upright(const SourceImage &image);

}  // namespace kesto
