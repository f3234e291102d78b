#include "plugin/SpoolImage.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kesto {
namespace {

constexpr int kComponents = 4;
constexpr std::int64_t kBytePixelBytes = 4;
constexpr std::int64_t kFloatPixelBytes = 16;

int scaled_side(std::int64_t side, double scale) noexcept {
  const double scaled = static_cast<double>(side) * scale;
  const int truncated = scaled >= kSpoolMaxSidePixels ? kSpoolMaxSidePixels : static_cast<int>(scaled);
  return std::max(truncated, kSpoolMinSidePixels);
}

// Source column (or row, counted from the top) for each output column (row).
std::vector<std::int64_t> source_positions(int outSide, std::int64_t inSide, double scale) {
  std::vector<std::int64_t> positions(static_cast<std::size_t>(outSide));
  for (int i = 0; i < outSide; ++i) {
    const double at = static_cast<double>(i) / scale;
    const std::int64_t truncated = at >= static_cast<double>(inSide - 1) ? inSide - 1 : static_cast<std::int64_t>(at);
    positions[static_cast<std::size_t>(i)] = truncated;
  }
  return positions;
}

#if defined(__SSE2__)
// The four components of the float pixel at `pixel` as 32-bit integers, rounded exactly as float_to_byte
// rounds them: the same single-precision clamp, multiply, add and truncation, four at a time.
inline __m128i float_pixel_steps(const unsigned char *pixel) {
  __m128 v = _mm_loadu_ps(reinterpret_cast<const float *>(pixel));
  v = _mm_max_ps(v, _mm_setzero_ps());  // MAXPS yields its second operand for a NaN: not a number gives 0
  v = _mm_min_ps(v, _mm_set1_ps(1.0f));
  v = _mm_add_ps(_mm_mul_ps(v, _mm_set1_ps(255.0f)), _mm_set1_ps(0.5f));
  return _mm_cvttps_epi32(v);
}
#endif

// One output row from a float source row; `offsets` holds each output column's byte offset in the row.
void float_row(const unsigned char *row, const std::int64_t *offsets, int width, std::uint8_t *out) {
  int x = 0;
#if defined(__SSE2__)
  for (; x + 4 <= width; x += 4) {
    const __m128i first = _mm_packs_epi32(float_pixel_steps(row + offsets[x]), float_pixel_steps(row + offsets[x + 1]));
    const __m128i second =
        _mm_packs_epi32(float_pixel_steps(row + offsets[x + 2]), float_pixel_steps(row + offsets[x + 3]));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + static_cast<std::ptrdiff_t>(x) * kComponents),
                     _mm_packus_epi16(first, second));
  }
#endif
  for (; x < width; ++x) {
    float rgba[kComponents];
    std::memcpy(rgba, row + offsets[x], sizeof rgba);
    for (int c = 0; c < kComponents; ++c) out[x * kComponents + c] = float_to_byte(rgba[c]);
  }
}

// One output row from a byte source row: the pixels are copied, the whole row at once when nothing is scaled.
void byte_row(const unsigned char *row, const std::int64_t *offsets, int width, bool unscaled, std::uint8_t *out) {
  if (unscaled) {
    std::memcpy(out, row, static_cast<std::size_t>(width) * kComponents);
    return;
  }
  for (int x = 0; x < width; ++x) std::memcpy(out + x * kComponents, row + offsets[x], kComponents);
}

}  // namespace

SpoolSize spool_size(std::int64_t width, std::int64_t height) noexcept {
  SpoolSize size;
  const auto longer = static_cast<double>(std::max(width, height));
  size.scale = std::min(static_cast<double>(kSpoolMaxSidePixels) / longer, 1.0);
  size.width = scaled_side(width, size.scale);
  size.height = scaled_side(height, size.scale);
  return size;
}

bool source_image_readable(const SourceImage &image) noexcept {
  if (image.bottomRow == nullptr || image.width <= 0 || image.height <= 0) return false;
  const std::int64_t pixelBytes = image.isFloat ? kFloatPixelBytes : kBytePixelBytes;
  const std::int64_t stride = image.rowBytes < 0 ? -static_cast<std::int64_t>(image.rowBytes) : image.rowBytes;
  return image.width <= stride / pixelBytes;
}

std::uint8_t float_to_byte(float value) noexcept {
  float v = value;
  if (!(v >= 0.0f)) v = 0.0f;  // below 0, and not a number
  if (v > 1.0f) v = 1.0f;
  return static_cast<std::uint8_t>(v * 255.0f + 0.5f);
}

RgbaFrame resample_upright(const SourceImage &image) {
  const SpoolSize size = spool_size(image.width, image.height);
  RgbaFrame frame;
  frame.width = size.width;
  frame.height = size.height;
  frame.pixels.resize(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) * kComponents);
  const std::int64_t pixelBytes = image.isFloat ? kFloatPixelBytes : kBytePixelBytes;
  std::vector<std::int64_t> offsets = source_positions(size.width, image.width, size.scale);
  for (std::int64_t &offset : offsets) offset *= pixelBytes;
  const std::vector<std::int64_t> rows = source_positions(size.height, image.height, size.scale);
  const bool unscaled = size.scale == 1.0 && size.width == image.width;
  const auto *bottom = static_cast<const unsigned char *>(image.bottomRow);
  for (int y = 0; y < size.height; ++y) {
    // OpenFX rows count from the bottom: the sy-th row from the top lies h - 1 - sy rows above the bottom.
    const std::int64_t rowsAbove = image.height - 1 - rows[static_cast<std::size_t>(y)];
    const unsigned char *row = bottom + static_cast<std::ptrdiff_t>(rowsAbove) * image.rowBytes;
    std::uint8_t *out = frame.pixels.data() + static_cast<std::ptrdiff_t>(y) * size.width * kComponents;
    if (image.isFloat) {
      float_row(row, offsets.data(), size.width, out);
    } else {
      byte_row(row, offsets.data(), size.width, unscaled, out);
    }
  }
  return frame;
}

}  // namespace kesto
