#pragma once
// Helpers shared by the image tests: an independent decoder, a PNG builder that can state any header, and
// the offset of a JPEG marker segment.

#include <cstdint>
#include <string>
#include <vector>

namespace kesto::test {

using Bytes = std::vector<std::uint8_t>;

struct DecodedImage {
    int width = 0;
    int height = 0;
    int channels_in_file = 0;
    Bytes pixels; // empty when decoding failed
};

// Decodes PNG or JPEG bytes with a copy of the decoder kept apart from the one under test.
// `channels` 0 keeps the file's own channel count.
DecodedImage decode_image(const Bytes& file, int channels);

// Standard Base64 decoding of the encoder's output (no validation: bad text decodes to bytes no decoder takes).
Bytes decode_base64(const std::string& text);

// The offset of the first marker segment `marker` (FF marker) in a JPEG file; 0 when there is none.
std::size_t jpeg_segment(const Bytes& jpeg, std::uint8_t marker);

// PNG colour types.
inline constexpr int kPngGray = 0;
inline constexpr int kPngRgb = 2;
inline constexpr int kPngGrayAlpha = 4;
inline constexpr int kPngRgba = 6;

// A PNG whose header states width x height, sample depth and colour type, with `raw` (already filtered
// scanlines) deflated as its image data. The header need not match the data.
Bytes build_png_raw(std::uint32_t width, std::uint32_t height, int depth, int colour_type, const Bytes& raw);

// A valid PNG of tightly packed samples (`samples` holds height rows of width * channels samples; 16-bit
// samples are given big-endian, two bytes each), every row with filter type 0.
Bytes build_png(int width, int height, int depth, int colour_type, const Bytes& samples);

void put_file(const std::string& path, const Bytes& bytes);

} // namespace kesto::test
