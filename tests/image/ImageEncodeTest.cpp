// The encoders behind uploads and data URLs: Base64, JPEG, and PNG data URLs.
#include "image/Base64.h"
#include "image/ImageEncode.h"
#include "image/JpegEncoder.h"

#include "ImageTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace kesto {
namespace {

using test::Bytes;

constexpr int kQuality = 92;

Bytes gradient_rgba(int width, int height)
{
    Bytes pixels;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            pixels.insert(pixels.end(), {static_cast<std::uint8_t>(x * 40), static_cast<std::uint8_t>(y * 50),
                                         static_cast<std::uint8_t>(x * y), static_cast<std::uint8_t>(255 - x - y)});
        }
    }
    return pixels;
}

// The Base64 payload of a PNG data URL, decoded; fails the test when the prefix or payload is wrong.
Bytes png_of(const std::string& url)
{
    const std::string prefix = kPngDataUrlPrefix;
    EXPECT_EQ(url.compare(0, prefix.size(), prefix), 0) << url.substr(0, 40);
    return test::decode_base64(url.substr(prefix.size()));
}

// A complete baseline file (start and end markers) without alpha, with full-resolution chroma, even below the
// size of one coding block: the baseline frame header (SOF0) holds precision, height, width, component count,
// then id, sampling factors and table per component. The first row in memory is the top row, alpha plays no
// part, and a kept encoder (its handle and buffer carry over, whatever the sizes that come one after another
// and a refusal between them) gives what a fresh one gives.
TEST(RgbaToJpeg, BaselineFileTopRowFirstWithFullChromaAndNoAlphaFromAKeptEncoderAsFromAFreshOne)
{
    const Bytes small = rgba_to_jpeg(gradient_rgba(2, 2).data(), 2, 2, kQuality);
    ASSERT_GE(small.size(), 20u);
    EXPECT_EQ((Bytes{small[0], small[1], small[small.size() - 2], small[small.size() - 1]}), (Bytes{0xFF, 0xD8, 0xFF, 0xD9}));
    const std::size_t sof = test::jpeg_segment(small, 0xC0);
    ASSERT_NE(sof, 0u) << "not baseline";
    ASSERT_EQ(small[sof + 9], 3) << "alpha is not stored";
    EXPECT_EQ((Bytes{small[sof + 5], small[sof + 6], small[sof + 7], small[sof + 8]}), (Bytes{0, 2, 0, 2})) << "2 x 2";
    for (std::size_t c = 0; c < 3; ++c) {
        EXPECT_EQ(small[sof + 11 + 3 * c], 0x11) << "component " << c << " is subsampled";
    }

    Bytes pixels;
    Bytes clear;
    for (int i = 0; i < 16 * 16; ++i) {
        const std::uint8_t top = i < 16 * 8 ? 255 : 0; // red above, blue below
        pixels.insert(pixels.end(), {top, 0, static_cast<std::uint8_t>(255 - top), 255});
        clear.insert(clear.end(), {top, 0, static_cast<std::uint8_t>(255 - top), static_cast<std::uint8_t>(top == 0 ? 7 : 0)});
    }
    const Bytes jpeg = rgba_to_jpeg(pixels.data(), 16, 16, kQuality);
    const Bytes image = test::decode_rgba(jpeg, nullptr, nullptr);
    ASSERT_EQ(image.size(), 16u * 16u * 4u);
    EXPECT_GT(image[(2 * 16 + 8) * 4], 200);
    EXPECT_LT(image[(2 * 16 + 8) * 4 + 2], 60);
    EXPECT_LT(image[(13 * 16 + 8) * 4], 60);
    EXPECT_GT(image[(13 * 16 + 8) * 4 + 2], 200);
    EXPECT_EQ(rgba_to_jpeg(clear.data(), 16, 16, kQuality), jpeg);

    JpegEncoder encoder;
    for (const auto& [width, height] : std::vector<std::pair<int, int>>{{40, 30}, {300, 200}, {7, 3}, {0, 5}, {301, 199}, {40, 30}}) {
        const Bytes gradient = gradient_rgba(std::max(width, 1), height);
        EXPECT_EQ(encoder.encode(gradient.data(), width, height, kQuality),
                  rgba_to_jpeg(gradient.data(), width, height, kQuality))
            << width << " x " << height;
    }
}

TEST(RgbaToJpeg, ClampsQualityAndRefusesUnusableArgumentsWithAnEmptyResult)
{
    const Bytes pixels = gradient_rgba(6, 5);
    const Bytes lowest = rgba_to_jpeg(pixels.data(), 6, 5, 1);
    const Bytes highest = rgba_to_jpeg(pixels.data(), 6, 5, 100);
    EXPECT_NE(lowest, highest);
    EXPECT_EQ(rgba_to_jpeg(pixels.data(), 6, 5, 0), lowest) << "0 must not mean the codec's default";
    EXPECT_EQ(rgba_to_jpeg(pixels.data(), 6, 5, -40), lowest);
    EXPECT_EQ(rgba_to_jpeg(pixels.data(), 6, 5, 101), highest);

    EXPECT_TRUE(rgba_to_jpeg(nullptr, 2, 2, kQuality).empty());
    // Sides the JPEG header cannot hold, or sizes whose byte count overflows, are refused before any read.
    for (const auto& [width, height] : std::vector<std::pair<int, int>>{{0, 2}, {2, -1}, {kMaxJpegSidePixels + 1, 1}, {60000, 60000}}) {
        EXPECT_TRUE(rgba_to_jpeg(pixels.data(), width, height, kQuality).empty()) << width << " x " << height;
    }
}

// The payload decodes to the pixels, whatever the stride: 0 for packed rows, padding that stays out, and a
// negative stride that reads a bottom-up buffer from its top row, the last one in memory. A mask is a
// one-channel PNG (colour type 0, the header's byte 25).
TEST(PngDataUrl, PayloadDecodesToTheSamePixelsWhateverTheStrideAndFailureGivesTheBarePrefix)
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
        int decoded_width = 0;
        EXPECT_EQ(test::decode_rgba(png_of(rgba_to_png_data_url(first_row, width, height, stride)), &decoded_width,
                                    nullptr),
                  packed)
            << stride;
        EXPECT_EQ(decoded_width, width) << stride;
    }
    const Bytes mask{0, 128, 255, 1, 2, 3};
    const Bytes png = png_of(mask_to_png_data_url(mask, 3, 2));
    ASSERT_GT(png.size(), 25u);
    EXPECT_EQ(png[25], test::kPngGray);
    int mask_width = 0;
    const Bytes rgba = test::decode_rgba(png, &mask_width, nullptr);
    ASSERT_EQ(rgba.size(), mask.size() * 4);
    for (std::size_t i = 0; i < mask.size(); ++i) {
        EXPECT_EQ(rgba[i * 4], mask[i]) << i;
    }
    EXPECT_EQ(mask_width, 3);

    // Failures give the bare prefix: sizes, strides shorter than a row, and sizes beyond the limit.
    const std::string prefix = kPngDataUrlPrefix;
    EXPECT_EQ(rgba_to_png_data_url(nullptr, 4, 3, 16), prefix);
    for (const auto& [w, h, stride] :
         std::vector<std::tuple<int, int, int>>{{0, 3, 16}, {4, -3, 16}, {4, 3, 15}, {4, 3, -15}, {40000, 40000, 160000}}) {
        EXPECT_EQ(rgba_to_png_data_url(packed.data(), w, h, stride), prefix) << w << " " << stride;
    }
    EXPECT_EQ(mask_to_png_data_url(mask, 4, 2), prefix) << "buffer shorter than width x height";
    EXPECT_EQ(mask_to_png_data_url(mask, 2, 2), prefix) << "buffer longer than width x height";
    EXPECT_EQ(mask_to_png_data_url(Bytes{}, 0, 0), prefix);
}

Bytes bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

// RFC 4648's vectors and binary bytes: padding follows the remainder of the length divided by three.
TEST(Base64, KnownAnswers)
{
    const std::pair<Bytes, const char*> cases[] = {
        {bytes_of(""), ""}, {bytes_of("f"), "Zg=="}, {bytes_of("fo"), "Zm8="}, {bytes_of("foo"), "Zm9v"},
        {bytes_of("foob"), "Zm9vYg=="}, {bytes_of("fooba"), "Zm9vYmE="}, {bytes_of("foobar"), "Zm9vYmFy"},
        {{0xFB, 0xFF}, "+/8="}, {{0x00, 0xFF, 0x10, 0x80, 0x7F, 0xFE, 0x01}, "AP8QgH/+AQ=="},
        // Every digit of the alphabet once, in order.
        {{0x00, 0x10, 0x83, 0x10, 0x51, 0x87, 0x20, 0x92, 0x8b, 0x30, 0xd3, 0x8f, 0x41, 0x14, 0x93, 0x51,
          0x55, 0x97, 0x61, 0x96, 0x9b, 0x71, 0xd7, 0x9f, 0x82, 0x18, 0xa3, 0x92, 0x59, 0xa7, 0xa2, 0x9a,
          0xab, 0xb2, 0xdb, 0xaf, 0xc3, 0x1c, 0xb3, 0xd3, 0x5d, 0xb7, 0xe3, 0x9e, 0xbb, 0xf3, 0xdf, 0xbf},
         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(base64_encode(bytes.data(), bytes.size()), text);
    }
    EXPECT_EQ(base64_encode(nullptr, 5), "") << "null data reads as no bytes";
}

} // namespace
} // namespace kesto
