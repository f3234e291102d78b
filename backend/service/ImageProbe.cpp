#include "ImageProbe.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace kesto::backend {

namespace {

std::uint32_t be16(const unsigned char* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
std::uint32_t be32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

ApiError unsupported(const std::string& why) { return ApiError{415, "frame is not a readable JPEG or PNG: " + why}; }

Result<ImageInfo> checked(ImageFormat format, std::uint32_t width, std::uint32_t height) {
  if (width == 0 || height == 0) return unsupported("zero width or height");
  if (width > kMaxFrameSidePx || height > kMaxFrameSidePx) {
    return ApiError{413, "frame of " + std::to_string(width) + "x" + std::to_string(height) +
                             " pixels: sides are limited to " + std::to_string(kMaxFrameSidePx)};
  }
  return ImageInfo{format, static_cast<int>(width), static_cast<int>(height)};
}

bool is_start_of_frame(unsigned char marker) {
  // SOF0..SOF15, except DHT (C4), JPG (C8) and DAC (CC), which share the range.
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

Result<ImageInfo> probe_jpeg(const unsigned char* data, std::size_t size) {
  std::size_t pos = 2;  // after SOI
  while (pos < size) {
    if (data[pos] != 0xFF) return unsupported("broken JPEG marker");
    while (pos < size && data[pos] == 0xFF) ++pos;  // fill bytes
    if (pos >= size) break;
    const unsigned char marker = data[pos++];
    if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    if (marker == 0xD9 || marker == 0xDA) break;  // end of image or scan data before any frame header
    if (pos + 2 > size) break;
    const std::uint32_t length = be16(data + pos);
    if (length < 2 || pos + length > size) break;
    if (is_start_of_frame(marker)) {
      if (length < 7) return unsupported("short JPEG frame header");
      return checked(ImageFormat::Jpeg, be16(data + pos + 5), be16(data + pos + 3));
    }
    pos += length;
  }
  return unsupported("JPEG without a frame header");
}

Result<ImageInfo> probe_png(const unsigned char* data, std::size_t size) {
  constexpr std::size_t kSignatureBytes = 8;
  constexpr std::size_t kIhdrEnd = kSignatureBytes + 8 + 13;  // length, type, 13 data bytes
  if (size < kIhdrEnd) return unsupported("PNG too short");
  if (be32(data + 8) != 13 || std::memcmp(data + 12, "IHDR", 4) != 0) return unsupported("PNG without IHDR");
  const unsigned bit_depth = data[24];
  const unsigned colour_type = data[25];
  const bool depth_ok = bit_depth == 1 || bit_depth == 2 || bit_depth == 4 || bit_depth == 8 || bit_depth == 16;
  const bool colour_ok = colour_type == 0 || colour_type == 2 || colour_type == 3 || colour_type == 4 ||
                         colour_type == 6;
  if (!depth_ok || !colour_ok) return unsupported("PNG with an invalid pixel format");
  return checked(ImageFormat::Png, be32(data + 16), be32(data + 20));
}

}  // namespace

Result<ImageInfo> probe_image(std::string_view bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  if (size == 0) return ApiError{400, "frame body is empty"};
  static const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (size >= 8 && std::memcmp(data, kPngSignature, 8) == 0) return probe_png(data, size);
  if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) return probe_jpeg(data, size);
  return unsupported("unknown format");
}

const char* file_extension(ImageFormat format) { return format == ImageFormat::Png ? ".png" : ".jpg"; }
const char* media_type(ImageFormat format) { return format == ImageFormat::Png ? "image/png" : "image/jpeg"; }

}  // namespace kesto::backend
