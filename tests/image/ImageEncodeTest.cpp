#include "image/ImageEncode.h"
#include "image/JpegEncoder.h"

#include "ImageTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace kesto {
namespace {

using test::Bytes;

constexpr int kQuality = 92;

using Rgba = std::array<std::uint8_t, 4>;

// width x height RGBA pixels: rows above `split` get `top`, the rest `bottom`.
Bytes two_band_rgba(int width, int height, int split, Rgba top, Rgba bottom)
{
    Bytes pixels;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const auto& colour = y < split ? top : bottom;
            pixels.insert(pixels.end(), colour.begin(), colour.end());
        }
    }
    return pixels;
}

Bytes gradient_rgba(int width, int height)
{
    Bytes pixels;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            pixels.push_back(static_cast<std::uint8_t>(x * 40));
            pixels.push_back(static_cast<std::uint8_t>(y * 50));
            pixels.push_back(static_cast<std::uint8_t>(x * y));
            pixels.push_back(static_cast<std::uint8_t>(255 - x - y));
        }
    }
    return pixels;
}

// The Base64 payload of a PNG data URL, decoded; fails the test when the prefix or payload is wrong.
Bytes png_of(const std::string& url)
{
    const std::string prefix = kPngDataUrlPrefix;
    EXPECT_EQ(url.compare(0, prefix.size(), prefix), 0) << url.substr(0, 40);
    Bytes png;
    EXPECT_TRUE(test::decode_base64(url.substr(prefix.size()), png));
    return png;
}

const std::uint8_t* pixel(const test::DecodedImage& image, int x, int y, int channels)
{
    return image.pixels.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) +
                                  static_cast<std::size_t>(x)) * static_cast<std::size_t>(channels);
}

// The marker segments before the image data: marker byte and payload (after the length), in file order.
std::vector<std::pair<std::uint8_t, Bytes>> jpeg_segments(const Bytes& jpeg)
{
    std::vector<std::pair<std::uint8_t, Bytes>> segments;
    for (std::size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xFF;) {
        const std::size_t length = std::size_t{jpeg[at + 2]} << 8 | jpeg[at + 3];
        if (length < 2 || at + 2 + length > jpeg.size()) {
            break;
        }
        segments.emplace_back(jpeg[at + 1], Bytes(jpeg.begin() + at + 4, jpeg.begin() + at + 2 + length));
        if (jpeg[at + 1] == 0xDA) {
            break; // start of scan: entropy-coded data follows
        }
        at += 2 + length;
    }
    return segments;
}

// A complete baseline JFIF file (start and end markers) without alpha, with full-resolution chroma, even below
// the size of one coding block.
TEST(RgbaToJpeg, ProducesACompleteBaselineJfifFileWithFullChroma)
{
    const Bytes pixels = gradient_rgba(2, 2);
    const Bytes jpeg = rgba_to_jpeg(pixels.data(), 2, 2, kQuality);
    ASSERT_GE(jpeg.size(), 4u);
    EXPECT_EQ((Bytes{jpeg[0], jpeg[1], jpeg[jpeg.size() - 2], jpeg[jpeg.size() - 1]}), (Bytes{0xFF, 0xD8, 0xFF, 0xD9}));
    const auto segments = jpeg_segments(jpeg);
    ASSERT_FALSE(segments.empty());
    EXPECT_EQ(segments.front().first, 0xE0) << "JFIF header first";
    EXPECT_EQ(Bytes(segments.front().second.begin(), segments.front().second.begin() + 5), (Bytes{'J', 'F', 'I', 'F', 0}));
    int frames = 0;
    for (const auto& [marker, payload] : segments) {
        EXPECT_TRUE(marker < 0xC1 || marker > 0xCF || marker == 0xC4 || marker == 0xCC) << "not baseline: FF " << +marker;
        if (marker != 0xC0) {
            continue;
        }
        ++frames;
        // Precision, height, width, component count, then id, sampling factors and table per component.
        ASSERT_EQ(payload.size(), 6u + 3u * 3u);
        EXPECT_EQ(payload[0], 8);
        EXPECT_EQ(payload[5], 3) << "alpha is not stored";
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(payload[static_cast<std::size_t>(7 + 3 * c)], 0x11) << "component " << c << " is subsampled";
        }
    }
    EXPECT_EQ(frames, 1);
    const test::DecodedImage image = test::decode_image(jpeg, 0);
    EXPECT_EQ(image.width, 2);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(image.channels_in_file, 3);
}

// Its handle and buffer carry over, whatever the sizes that come one after another and a refusal between them.
TEST(RgbaToJpeg, AKeptEncoderGivesWhatAFreshOneGives)
{
    JpegEncoder encoder;
    const int sizes[][2] = {{40, 30}, {300, 200}, {7, 3}, {0, 5}, {301, 199}, {40, 30}};
    for (const auto& size : sizes) {
        const Bytes pixels = gradient_rgba(std::max(size[0], 1), size[1]);
        EXPECT_EQ(encoder.encode(pixels.data(), size[0], size[1], kQuality),
                  rgba_to_jpeg(pixels.data(), size[0], size[1], kQuality))
            << size[0] << " x " << size[1];
    }
}

TEST(RgbaToJpeg, FirstRowInMemoryIsTheTopRowAndAlphaPlaysNoPart)
{
    const int width = 16;
    const int height = 16;
    const Bytes pixels = two_band_rgba(width, height, height / 2, {255, 0, 0, 255}, {0, 0, 255, 255});
    const Bytes jpeg = rgba_to_jpeg(pixels.data(), width, height, kQuality);
    const test::DecodedImage image = test::decode_image(jpeg, 3);
    ASSERT_EQ(image.width, width);
    ASSERT_EQ(image.height, height);
    const std::uint8_t* top = pixel(image, width / 2, 2, 3);
    const std::uint8_t* bottom = pixel(image, width / 2, height - 3, 3);
    EXPECT_GT(top[0], 200);
    EXPECT_LT(top[2], 60);
    EXPECT_LT(bottom[0], 60);
    EXPECT_GT(bottom[2], 200);
    const Bytes clear = two_band_rgba(width, height, height / 2, {255, 0, 0, 0}, {0, 0, 255, 7});
    EXPECT_EQ(rgba_to_jpeg(clear.data(), width, height, kQuality), jpeg);
}

TEST(RgbaToJpeg, ClampsQualityIntoRange)
{
    const Bytes pixels = gradient_rgba(6, 5);
    const Bytes lowest = rgba_to_jpeg(pixels.data(), 6, 5, 1);
    const Bytes highest = rgba_to_jpeg(pixels.data(), 6, 5, 100);
    EXPECT_NE(lowest, highest);
    EXPECT_EQ(rgba_to_jpeg(pixels.data(), 6, 5, 0), lowest) << "0 must not mean the codec's default";
    EXPECT_EQ(rgba_to_jpeg(pixels.data(), 6, 5, -40), lowest);
    EXPECT_EQ(rgba_to_jpeg(pixels.data(), 6, 5, 101), highest);
}

TEST(RgbaToJpeg, RefusesUnusableArgumentsWithAnEmptyResult)
{
    const Bytes pixels = gradient_rgba(2, 2);
    EXPECT_TRUE(rgba_to_jpeg(nullptr, 2, 2, kQuality).empty());
    EXPECT_TRUE(rgba_to_jpeg(pixels.data(), 0, 2, kQuality).empty());
    EXPECT_TRUE(rgba_to_jpeg(pixels.data(), 2, -1, kQuality).empty());
    // Sides the JPEG header cannot hold, or sizes whose byte count overflows, are refused before any read.
    EXPECT_TRUE(rgba_to_jpeg(pixels.data(), kMaxJpegSidePixels + 1, 1, kQuality).empty());
    EXPECT_TRUE(rgba_to_jpeg(pixels.data(), 60000, 60000, kQuality).empty());
}

// The payload decodes to the pixels, whatever the stride: 0 for packed rows, padding that stays out, and a
// negative stride that reads a bottom-up buffer from its top row, the last one in memory.
TEST(PngDataUrl, RgbaPayloadDecodesToTheSamePixelsWhateverTheStride)
{
    const int width = 4;
    const int height = 3;
    const int row = width * 4;
    const int padded_stride = row + 12;
    const Bytes packed = gradient_rgba(width, height);
    Bytes padded(static_cast<std::size_t>(padded_stride * height), 0xEE);
    Bytes upward(packed.size());
    for (int y = 0; y < height; ++y) {
        std::copy_n(packed.begin() + y * row, row, padded.begin() + y * padded_stride);
        std::copy_n(packed.begin() + y * row, row, upward.begin() + (height - 1 - y) * row);
    }
    const std::pair<const std::uint8_t*, int> layouts[] = {
        {packed.data(), row}, {packed.data(), 0}, {padded.data(), padded_stride},
        {upward.data() + (height - 1) * row, -row}};
    for (const auto& [first_row, stride] : layouts) {
        const test::DecodedImage image =
            test::decode_image(png_of(rgba_to_png_data_url(first_row, width, height, stride)), 0);
        EXPECT_EQ(image.width, width) << stride;
        EXPECT_EQ(image.channels_in_file, 4) << stride;
        EXPECT_EQ(image.pixels, packed) << stride;
    }
}

TEST(PngDataUrl, MaskIsAOneChannelPngOfTheGivenSize)
{
    const Bytes mask{0, 128, 255, 1, 2, 3};
    const test::DecodedImage image = test::decode_image(png_of(mask_to_png_data_url(mask, 3, 2)), 0);
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(image.channels_in_file, 1);
    EXPECT_EQ(image.pixels, mask);
}

TEST(PngDataUrl, FailureGivesTheBarePrefix)
{
    const std::string prefix = kPngDataUrlPrefix;
    const Bytes pixels = gradient_rgba(4, 4);
    EXPECT_EQ(rgba_to_png_data_url(nullptr, 4, 4, 16), prefix);
    EXPECT_EQ(rgba_to_png_data_url(pixels.data(), 0, 4, 16), prefix);
    EXPECT_EQ(rgba_to_png_data_url(pixels.data(), 4, -4, 16), prefix);
    EXPECT_EQ(rgba_to_png_data_url(pixels.data(), 4, 4, 15), prefix) << "a stride shorter than a row";
    EXPECT_EQ(rgba_to_png_data_url(pixels.data(), 4, 4, -15), prefix);
    EXPECT_EQ(rgba_to_png_data_url(pixels.data(), 40000, 40000, 160000), prefix) << "size beyond the limit";
    const Bytes mask(6, 9);
    EXPECT_EQ(mask_to_png_data_url(mask, 4, 2), prefix) << "buffer shorter than width x height";
    EXPECT_EQ(mask_to_png_data_url(mask, 2, 2), prefix) << "buffer longer than width x height";
    EXPECT_EQ(mask_to_png_data_url(Bytes{}, 0, 0), prefix);
}

} // namespace
} // namespace kesto
