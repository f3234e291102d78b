#include "plugin/SpoolImage.h"

#include <algorithm>
#include <cstring>

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
  const std::vector<std::int64_t> columns = source_positions(size.width, image.width, size.scale);
  const std::vector<std::int64_t> rows = source_positions(size.height, image.height, size.scale);
  const auto *bottom = static_cast<const unsigned char *>(image.bottomRow);
  std::uint8_t *out = frame.pixels.data();
  for (int y = 0; y < size.height; ++y) {
    // OpenFX rows count from the bottom: the sy-th row from the top lies h - 1 - sy rows above the bottom.
    const std::int64_t rowsAbove = image.height - 1 - rows[static_cast<std::size_t>(y)];
    const unsigned char *row = bottom + static_cast<std::ptrdiff_t>(rowsAbove) * image.rowBytes;
    if (image.isFloat) {
      for (int x = 0; x < size.width; ++x) {
        float rgba[kComponents];
        std::memcpy(rgba, row + columns[static_cast<std::size_t>(x)] * kFloatPixelBytes, sizeof rgba);
        for (int c = 0; c < kComponents; ++c) *out++ = float_to_byte(rgba[c]);
      }
    } else {
      for (int x = 0; x < size.width; ++x) {
        std::memcpy(out, row + columns[static_cast<std::size_t>(x)] * kBytePixelBytes, kComponents);
        out += kComponents;
      }
    }
  }
  return frame;
}

}  // namespace kesto
