#pragma once
// The render's pixel work: combines an RGBA source image with a gray matte into an RGBA output image.
// Knows nothing of the host; the render action fetches the images and the matte and calls it.
//
// Image layout (as OpenFX hosts hand images over): pixel (x, y) of an image lies at
// data + (y - bounds.y1) * rowBytes + (x - bounds.x1) * pixel_bytes(depth); row bytes may be negative.
// Rows of the image run bottom-up in y; matte rows run top-down, so the matte's top row lands on the
// output's top row (y = bounds.y2 - 1). The matte is stretched over the output bounds by nearest sampling.
//
// Per output pixel, with s the source sample (zero outside the source bounds; bytes divided by 255 in single
// precision) and m the matte byte divided by 255 in single precision:
//   matte, Character mode:  (s.r * m, s.g * m, s.b * m, m)
//   matte, MatteOnly mode:  (m, m, m, 1)
//   no matte:               s unchanged
// Float results are stored as they are; byte results are clamped to [0, 1] and stored as
// trunc(c * 255 + 0.5) in single precision.

#include <cstddef>
#include <cstdint>

#include "plugin/MatteStore.h"

namespace kesto {

enum class PixelDepth { Byte, Float };

// Bytes per RGBA pixel: 4 at byte depth, 16 (four 32-bit floats) at float depth.
std::size_t pixel_bytes(PixelDepth depth);

// Integer pixel rectangle: x1, y1 inclusive, x2, y2 exclusive.
struct PixelRect {
  int x1 = 0;
  int y1 = 0;
  int x2 = 0;
  int y2 = 0;
};

struct ConstImageView {
  const void *data = nullptr;
  std::ptrdiff_t rowBytes = 0;
  PixelRect bounds;
};

struct ImageView {
  void *data = nullptr;
  std::ptrdiff_t rowBytes = 0;
  PixelRect bounds;
};

enum class MatteMode { Character, MatteOnly };

// True when every row of the image lies within its own row bytes: |rowBytes| >= width * pixel size. Images
// of zero width or height always fit.
bool rows_fit(std::ptrdiff_t rowBytes, const PixelRect &bounds, PixelDepth depth);

// Writes every pixel of output.bounds (nothing when it is empty). `matte` null means no matte: the source
// is passed through and `mode` is not used. Both images must have the same depth, data covering their
// bounds (rows_fit) and a non-null data pointer unless their bounds are empty.
void composite_matte(const ConstImageView &source, const ImageView &output, PixelDepth depth,
                     const GrayMatte *matte, MatteMode mode);

}  // namespace kesto
