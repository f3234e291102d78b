#pragma once
// Encoding of 8-bit pixel buffers as JPEG files (libjpeg-turbo) and PNG data URLs (stb).
//
// Pixel layout shared by every function here: 8 bits per channel; RGBA pixels are 4 bytes in the order
// R, G, B, A; gray pixels are 1 byte. The first row in memory is the top row of the picture: nothing is ever
// flipped. The functions keep nothing, read the caller's buffer only during the call, and may be called from
// any thread at once.

#include <cstdint>
#include <string>
#include <vector>

namespace kesto {

// Text that starts every PNG data URL; on its own it is the result of a failed encode.
inline constexpr char kPngDataUrlPrefix[] = "data:image/png;base64,";

// JPEG stores each side in 16 bits.
inline constexpr int kMaxJpegSidePixels = 65535;
// Largest raw image the encoders take, in bytes (pixels x channels, plus one filter byte per row for PNG).
inline constexpr std::int64_t kMaxEncodeRawBytes = std::int64_t{1} << 29;

// Baseline JFIF JPEG of `width` x `height` tightly packed RGBA pixels (stride = width * 4), top row first,
// encoded by libjpeg-turbo with full-resolution (4:4:4) chroma. The alpha byte is ignored: the file has
// 3 colour components. `quality` is clamped to 1..100. Returns the complete file (FF D8 ... FF D9). Returns an
// empty vector when `rgba` is null, a side is not 1..kMaxJpegSidePixels, width * height * 4 exceeds
// kMaxEncodeRawBytes, or the codec fails. A caller that encodes many images keeps a JpegEncoder instead.
std::vector<std::uint8_t> rgba_to_jpeg(const std::uint8_t* rgba, int width, int height, int quality);

// "data:image/png;base64," followed by the Base64 of an RGBA (4-channel, 8-bit) PNG of the pixels.
// Row y starts at rgba + y * stride_bytes: |stride_bytes| must be at least width * 4; 0 means tightly packed;
// a negative stride walks up in memory (pass the address of the top row of a bottom-up image).
// On failure (null pixels, a side below 1, a stride too small, an image too large) returns kPngDataUrlPrefix
// alone.
std::string rgba_to_png_data_url(const std::uint8_t* rgba, int width, int height, int stride_bytes);

// The same for a gray buffer of exactly width * height bytes (stride == width): a 1-channel 8-bit PNG.
// A buffer whose size differs from width * height is refused like any other failure.
std::string mask_to_png_data_url(const std::vector<std::uint8_t>& gray, int width, int height);

} // namespace kesto
