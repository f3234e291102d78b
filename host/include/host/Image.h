#pragma once
// An RGBA image as OpenFX hosts hand them to plug-ins.
//
// Layout contract: pixels are RGBA, 4 bytes (byte depth) or 4 floats (float depth) each. Rows are counted
// from the bottom (y grows upwards) in the coordinates of bounds(). data() points at the first pixel of the
// BOTTOM row, whatever the row order in memory; the pixel (x, y) lives at
//   data() + (y - bounds.y1) * rowBytes() + (x - bounds.x1) * bytesPerPixel().
// rowBytes() is negative when rows are stored top row first (the bottom row then sits at the highest address),
// a layout some real hosts use. Rows may carry padding, so rowBytes() can exceed width * bytesPerPixel().

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ofxImageEffect.h"

#include "host/Namespace.h"

namespace kesto::host {

enum class PixelDepth { Byte, Float };

// "OfxBitDepthByte" / "OfxBitDepthFloat".
const char *depthName(PixelDepth depth);
std::optional<PixelDepth> depthFromName(const std::string &name);
int bytesPerPixel(PixelDepth depth);

// BottomUp: positive row bytes (bottom row first in memory). TopDown: negative row bytes.
enum class RowOrder { BottomUp, TopDown };

using Rgba = std::array<float, 4>;
using Rgba8 = std::array<std::uint8_t, 4>;

class Image {
 public:
  Image() = default;
  // A zero-filled image. Empty bounds (x2 <= x1 or y2 <= y1) make an image without pixels.
  static Image make(OfxRectI bounds, PixelDepth depth, RowOrder order = RowOrder::BottomUp, int rowPaddingBytes = 0);
  // From tightly packed 8-bit RGBA rows given top row first (as image files decode), placed at (x0, y0).
  static Image fromRgba8TopDown(int width, int height, const std::uint8_t *rgba, PixelDepth depth,
                                RowOrder order = RowOrder::BottomUp, int x0 = 0, int y0 = 0);

  OfxRectI bounds() const { return bounds_; }
  int width() const { return bounds_.x2 - bounds_.x1; }
  int height() const { return bounds_.y2 - bounds_.y1; }
  bool empty() const { return width() <= 0 || height() <= 0; }
  PixelDepth depth() const { return depth_; }
  RowOrder rowOrder() const { return order_; }
  int rowBytes() const { return rowBytes_; }
  int bytesPerPixel() const { return host::bytesPerPixel(depth_); }
  // Null for an image without pixels.
  void *data();
  const void *data() const;

  // Address of pixel (x, y), or null outside bounds().
  std::uint8_t *pixelAddress(int x, int y);
  const std::uint8_t *pixelAddress(int x, int y) const;

  // Pixel as floats (bytes divided by 255); nothing outside bounds().
  std::optional<Rgba> pixel(int x, int y) const;
  // Pixel as stored bytes (byte depth only; nothing at float depth or outside bounds()).
  std::optional<Rgba8> pixelBytes(int x, int y) const;
  // Stores floats (byte depth: clamped to [0, 1] and rounded). False outside bounds().
  bool setPixel(int x, int y, const Rgba &value);
  void fill(const Rgba &value);
  // Sets every byte of the buffer, padding included (used to poison output buffers).
  void fillBytes(std::uint8_t value);

  // Tightly packed 8-bit RGBA, top row first (floats clamped and rounded).
  std::vector<std::uint8_t> toRgba8TopDown() const;
  // The same pixels in another layout or depth.
  Image converted(PixelDepth depth, RowOrder order, int rowPaddingBytes = 0) const;
  // The part of the image inside `rect` (intersected with bounds()), same layout.
  Image cropped(OfxRectI rect) const;

 private:
  OfxRectI bounds_{0, 0, 0, 0};
  PixelDepth depth_ = PixelDepth::Byte;
  RowOrder order_ = RowOrder::BottomUp;
  int rowBytes_ = 0;
  int rowPadding_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace kesto::host
