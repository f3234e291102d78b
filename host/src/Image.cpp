#include "host/Image.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kesto::host {

namespace {

constexpr int kChannels = 4;
constexpr float kByteMax = 255.0F;

std::uint8_t to_byte(float value) {
  if (!(value > 0.0F)) {
    return 0;  // also NaN
  }
  if (value >= 1.0F) {
    return 255;
  }
  return static_cast<std::uint8_t>(value * kByteMax + 0.5F);
}

}  // namespace

const char *depthName(PixelDepth depth) { return depth == PixelDepth::Float ? kOfxBitDepthFloat : kOfxBitDepthByte; }

std::optional<PixelDepth> depthFromName(const std::string &name) {
  if (name == kOfxBitDepthByte) {
    return PixelDepth::Byte;
  }
  if (name == kOfxBitDepthFloat) {
    return PixelDepth::Float;
  }
  return std::nullopt;
}

int bytesPerPixel(PixelDepth depth) {
  return depth == PixelDepth::Float ? kChannels * static_cast<int>(sizeof(float)) : kChannels;
}

Image Image::make(OfxRectI bounds, PixelDepth depth, RowOrder order, int rowPaddingBytes) {
  Image image;
  image.bounds_ = bounds;
  image.depth_ = depth;
  image.order_ = order;
  if (image.empty()) {
    image.bounds_ = OfxRectI{bounds.x1, bounds.y1, std::max(bounds.x1, bounds.x2), std::max(bounds.y1, bounds.y2)};
    return image;
  }
  // Padding stays a multiple of 4 so float rows remain aligned.
  const int padding = (std::max(rowPaddingBytes, 0) + 3) / 4 * 4;
  image.rowPadding_ = padding;
  const int stride = image.width() * image.bytesPerPixel() + padding;
  image.rowBytes_ = order == RowOrder::BottomUp ? stride : -stride;
  image.buffer_.assign(static_cast<std::size_t>(stride) * static_cast<std::size_t>(image.height()), 0);
  return image;
}

Image Image::fromRgba8TopDown(int width, int height, const std::uint8_t *rgba, PixelDepth depth, RowOrder order,
                              int x0, int y0) {
  Image image = make(OfxRectI{x0, y0, x0 + width, y0 + height}, depth, order);
  if (image.empty() || rgba == nullptr) {
    return image;
  }
  for (int row = 0; row < height; ++row) {
    const int y = y0 + height - 1 - row;
    const std::uint8_t *src = rgba + static_cast<std::size_t>(row) * static_cast<std::size_t>(width) * kChannels;
    for (int col = 0; col < width; ++col) {
      std::uint8_t *dst = image.pixelAddress(x0 + col, y);
      if (depth == PixelDepth::Byte) {
        std::memcpy(dst, src + col * kChannels, kChannels);
      } else {
        float values[kChannels];
        for (int c = 0; c < kChannels; ++c) {
          values[c] = static_cast<float>(src[col * kChannels + c]) / kByteMax;
        }
        std::memcpy(dst, values, sizeof(values));
      }
    }
  }
  return image;
}

void *Image::data() { return const_cast<void *>(static_cast<const Image *>(this)->data()); }

const void *Image::data() const {
  if (buffer_.empty()) {
    return nullptr;
  }
  if (rowBytes_ >= 0) {
    return buffer_.data();
  }
  return buffer_.data() + static_cast<std::size_t>(-rowBytes_) * static_cast<std::size_t>(height() - 1);
}

std::uint8_t *Image::pixelAddress(int x, int y) {
  return const_cast<std::uint8_t *>(static_cast<const Image *>(this)->pixelAddress(x, y));
}

const std::uint8_t *Image::pixelAddress(int x, int y) const {
  if (buffer_.empty() || x < bounds_.x1 || x >= bounds_.x2 || y < bounds_.y1 || y >= bounds_.y2) {
    return nullptr;
  }
  const auto *base = static_cast<const std::uint8_t *>(data());
  return base + static_cast<std::ptrdiff_t>(y - bounds_.y1) * rowBytes_ +
         static_cast<std::ptrdiff_t>(x - bounds_.x1) * bytesPerPixel();
}

std::optional<Rgba> Image::pixel(int x, int y) const {
  const std::uint8_t *p = pixelAddress(x, y);
  if (p == nullptr) {
    return std::nullopt;
  }
  Rgba out{};
  if (depth_ == PixelDepth::Float) {
    std::memcpy(out.data(), p, sizeof(float) * kChannels);
  } else {
    for (int c = 0; c < kChannels; ++c) {
      out[static_cast<std::size_t>(c)] = static_cast<float>(p[c]) / kByteMax;
    }
  }
  return out;
}

std::optional<Rgba8> Image::pixelBytes(int x, int y) const {
  const std::uint8_t *p = pixelAddress(x, y);
  if (p == nullptr || depth_ != PixelDepth::Byte) {
    return std::nullopt;
  }
  return Rgba8{p[0], p[1], p[2], p[3]};
}

bool Image::setPixel(int x, int y, const Rgba &value) {
  std::uint8_t *p = pixelAddress(x, y);
  if (p == nullptr) {
    return false;
  }
  if (depth_ == PixelDepth::Float) {
    std::memcpy(p, value.data(), sizeof(float) * kChannels);
  } else {
    for (int c = 0; c < kChannels; ++c) {
      p[c] = to_byte(value[static_cast<std::size_t>(c)]);
    }
  }
  return true;
}

void Image::fill(const Rgba &value) {
  for (int y = bounds_.y1; y < bounds_.y2; ++y) {
    for (int x = bounds_.x1; x < bounds_.x2; ++x) {
      setPixel(x, y, value);
    }
  }
}

void Image::fillBytes(std::uint8_t value) { std::fill(buffer_.begin(), buffer_.end(), value); }

std::vector<std::uint8_t> Image::toRgba8TopDown() const {
  std::vector<std::uint8_t> out;
  if (empty() || buffer_.empty()) {
    return out;
  }
  out.reserve(static_cast<std::size_t>(width()) * static_cast<std::size_t>(height()) * kChannels);
  for (int y = bounds_.y2 - 1; y >= bounds_.y1; --y) {
    for (int x = bounds_.x1; x < bounds_.x2; ++x) {
      if (depth_ == PixelDepth::Byte) {
        const std::uint8_t *p = pixelAddress(x, y);
        out.insert(out.end(), p, p + kChannels);
      } else {
        const Rgba v = *pixel(x, y);
        for (float c : v) {
          out.push_back(to_byte(c));
        }
      }
    }
  }
  return out;
}

Image Image::converted(PixelDepth depth, RowOrder order, int rowPaddingBytes) const {
  Image out = make(bounds_, depth, order, rowPaddingBytes);
  if (buffer_.empty()) {
    return out;
  }
  for (int y = bounds_.y1; y < bounds_.y2; ++y) {
    if (depth == depth_) {
      std::memcpy(out.pixelAddress(bounds_.x1, y), pixelAddress(bounds_.x1, y),
                  static_cast<std::size_t>(width()) * static_cast<std::size_t>(bytesPerPixel()));
      continue;
    }
    for (int x = bounds_.x1; x < bounds_.x2; ++x) {
      out.setPixel(x, y, *pixel(x, y));
    }
  }
  return out;
}

Image Image::cropped(OfxRectI rect) const {
  const OfxRectI r{std::max(rect.x1, bounds_.x1), std::max(rect.y1, bounds_.y1), std::min(rect.x2, bounds_.x2),
                   std::min(rect.y2, bounds_.y2)};
  Image out = make(r, depth_, order_, rowPadding_);
  if (out.empty() || buffer_.empty()) {
    return out;
  }
  for (int y = r.y1; y < r.y2; ++y) {
    std::memcpy(out.pixelAddress(r.x1, y), pixelAddress(r.x1, y),
                static_cast<std::size_t>(out.width()) * static_cast<std::size_t>(bytesPerPixel()));
  }
  return out;
}

}  // namespace kesto::host
