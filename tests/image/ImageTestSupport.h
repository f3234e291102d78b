#pragma once
// Helpers shared by the image tests: a decoder kept apart from the library under test, a PNG builder that can
// state any header, and the offset of a JPEG marker segment.

#include <cstdint>
#include <string>
#include <vector>

namespace kesto::test {

using Bytes = std::vector<std::uint8_t>;

// PNG or JPEG bytes as RGBA, read through OpenImageIO (tests/support), which shares no settings or limits with
// the library under test. Empty, with the size 0, when they do not decode.
Bytes decode_rgba(const Bytes& file, int* width, int* height);

// Standard Base64 decoding of the encoder's output (no validation: bad text decodes to bytes no decoder takes).
Bytes decode_base64(const std::string& text);

// The offset of the first marker segment `marker` (FF marker) in a JPEG file; 0 when there is none.
std::size_t jpeg_segment(const Bytes& jpeg, std::uint8_t marker);

// PNG colour types.
inline constexpr int kPngGray = 0;
inline constexpr int kPngRgb = 2;

// A PNG whose header states width x height, sample depth and colour type, with `raw` (already filtered
// scanlines) deflated as its image data. The header need not match the data.
Bytes build_png_raw(std::uint32_t width, std::uint32_t height, int depth, int colour_type, const Bytes& raw);

} // namespace kesto::test
