#include "image/LoadGray.h"

#include "image/ImageEncode.h"
#include "image/StbCodec.h"
#include "image/WriteFile.h"

#include "ImageTestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace kesto {
namespace {

using test::Bytes;

// Any decoder buffer for a refused header would be at least this large; a header read needs far less.
constexpr std::size_t kHeaderOnlyBytes = 64 * 1024;

class LoadGray : public ::testing::Test {
protected:
    // Writes `file` into the scratch folder and loads it back.
    Bytes load(const Bytes& file, int& width, int& height)
    {
        const std::string path = dir_.path("matte.png");
        test::put_file(path, file);
        return load_gray(path, &width, &height);
    }

    test::ScratchDir dir_;
};

// One gray byte per pixel from every PNG layout: gray is kept, colour becomes (77 R + 150 G + 29 B) >> 8 with
// alpha playing no part, and big-endian 16-bit samples keep their high byte.
TEST_F(LoadGray, GivesOneGrayBytePerPixelOfEveryPngLayout)
{
    const Bytes luma{76, 149, 28, 255, 18, 0}; // red, green, blue, white, (10, 20, 30), black
    struct Case {
        const char* what;
        int width;
        int height;
        int depth;
        int colour_type;
        Bytes samples;
        Bytes expected;
    };
    const std::vector<Case> cases{
        {"gray", 3, 2, 8, test::kPngGray, {0, 1, 127, 128, 254, 255}, {0, 1, 127, 128, 254, 255}},
        {"rgb", 3, 2, 8, test::kPngRgb, {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 10, 20, 30, 0, 0, 0}, luma},
        {"rgba", 2, 3, 8, test::kPngRgba,
         {255, 0, 0, 0, 0, 255, 0, 9, 0, 0, 255, 128, 255, 255, 255, 255, 10, 20, 30, 1, 0, 0, 0, 255}, luma},
        {"gray and alpha", 2, 1, 8, test::kPngGrayAlpha, {40, 0, 200, 255}, {40, 200}},
        {"16-bit gray", 2, 1, 16, test::kPngGray, {0xAB, 0xCD, 0x01, 0xFF}, {0xAB, 0x01}},
    };
    for (const Case& c : cases) {
        int width = -1;
        int height = -1;
        EXPECT_EQ(load(test::build_png(c.width, c.height, c.depth, c.colour_type, c.samples), width, height),
                  c.expected)
            << c.what;
        EXPECT_EQ(width, c.width) << c.what;
        EXPECT_EQ(height, c.height) << c.what;
    }
    // The size outputs may be left out.
    EXPECT_EQ(load_gray(dir_.path("matte.png"), nullptr, nullptr), cases.back().expected);
}

TEST_F(LoadGray, ReadsJpegFilesTopRowFirst)
{
    Bytes rgba;
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            const std::uint8_t v = y < 8 ? 250 : 5;
            rgba.insert(rgba.end(), {v, v, v, 255});
        }
    }
    const std::string path = dir_.path("frame.jpg");
    ASSERT_TRUE(write_file(path, rgba_to_jpeg(rgba.data(), 16, 16, 92)));
    int width = 0;
    int height = 0;
    const Bytes gray = load_gray(path, &width, &height);
    ASSERT_EQ(gray.size(), 256u);
    EXPECT_EQ(width, 16);
    EXPECT_EQ(height, 16);
    EXPECT_GT(gray[2 * 16 + 8], 230);
    EXPECT_LT(gray[13 * 16 + 8], 25);
}

TEST_F(LoadGray, FailuresGiveAnEmptyResultAndZeroSize)
{
    const Bytes valid = test::build_png(32, 32, 8, test::kPngRgb, Bytes(32 * 32 * 3, 77));
    const std::vector<std::pair<const char*, Bytes>> bad_files{
        {"empty file", Bytes{}},
        {"not an image", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'm', 'a', 't', 't', 'e'}},
        {"truncated", Bytes(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(valid.size() / 2))},
        {"signature only", Bytes(valid.begin(), valid.begin() + 8)},
        {"zero width", test::build_png_raw(0, 4, 8, test::kPngGray, Bytes{})},
        {"zero height", test::build_png_raw(4, 0, 8, test::kPngGray, Bytes{})},
    };
    for (const auto& [what, file] : bad_files) {
        int width = -1;
        int height = -1;
        EXPECT_TRUE(load(file, width, height).empty()) << what;
        EXPECT_EQ(width, 0) << what;
        EXPECT_EQ(height, 0) << what;
    }
    Bytes corrupt = valid;
    corrupt[45] ^= 0xFF; // inside the stored block header of the image data
    corrupt[46] ^= 0xFF;
    int width = -1;
    int height = -1;
    EXPECT_TRUE(load(corrupt, width, height).empty()) << "corrupt image data";

    EXPECT_TRUE(load_gray(dir_.path("no-such-file.png"), &width, &height).empty());
    EXPECT_EQ(width, 0);
    EXPECT_TRUE(load_gray(dir_.path(""), &width, &height).empty()) << "a directory";
    EXPECT_TRUE(load_gray("", &width, &height).empty());
    EXPECT_TRUE(load_gray(std::string("matte.png\0.txt", 14), &width, &height).empty()) << "NUL in path";
}

TEST(GraySizeLimits, BoundSidesAndPixelCount)
{
    EXPECT_TRUE(gray_size_within_limits(1, 1));
    EXPECT_TRUE(gray_size_within_limits(kMaxGraySidePixels, 1));
    EXPECT_TRUE(gray_size_within_limits(1, kMaxGraySidePixels));
    EXPECT_TRUE(gray_size_within_limits(8192, 8192)) << "exactly 2^26 pixels";
    EXPECT_FALSE(gray_size_within_limits(8192, 8193));
    EXPECT_FALSE(gray_size_within_limits(9000, 9000));
    EXPECT_FALSE(gray_size_within_limits(kMaxGraySidePixels + 1, 1));
    EXPECT_FALSE(gray_size_within_limits(1, kMaxGraySidePixels + 1));
    EXPECT_FALSE(gray_size_within_limits(0, 5));
    EXPECT_FALSE(gray_size_within_limits(5, -1));
    EXPECT_FALSE(gray_size_within_limits(INT_MAX, INT_MAX));
    EXPECT_FALSE(gray_size_within_limits(INT_MIN, INT_MIN));
}

TEST_F(LoadGray, RefusesOversizedHeadersBeforeAllocatingPixels)
{
    // Control: a real decode does show up in the allocation record, so the checks below can fail.
    int width = 0;
    int height = 0;
    detail::stb_reset_decoder_peak_request();
    const Bytes widest = load(test::build_png(kMaxGraySidePixels, 1, 8, test::kPngGray,
                                              Bytes(static_cast<std::size_t>(kMaxGraySidePixels), 200)),
                              width, height);
    EXPECT_EQ(widest.size(), static_cast<std::size_t>(kMaxGraySidePixels)) << "the largest side is allowed";
    EXPECT_EQ(width, kMaxGraySidePixels);
    EXPECT_GE(detail::stb_decoder_peak_request_bytes(), static_cast<std::size_t>(kMaxGraySidePixels));

    // Tiny files whose headers claim too much; their data holds a single short row.
    const Bytes one_row(9001, 0);
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> claims{
        {16385, 1}, {1, 16385}, {9000, 9000}, {16384, 16384}, {0x7FFFFFFF, 0x7FFFFFFF}};
    for (const auto& [claim_w, claim_h] : claims) {
        for (const int colour_type : {test::kPngGray, test::kPngRgba}) {
            detail::stb_reset_decoder_peak_request();
            width = -1;
            height = -1;
            EXPECT_TRUE(load(test::build_png_raw(claim_w, claim_h, 8, colour_type, one_row), width, height).empty())
                << claim_w << " x " << claim_h;
            EXPECT_EQ(width, 0);
            EXPECT_LT(detail::stb_decoder_peak_request_bytes(), kHeaderOnlyBytes) << claim_w << " x " << claim_h;
        }
    }
}

TEST_F(LoadGray, RefusesOversizedJpegHeaders)
{
    Bytes rgba(8 * 8 * 4, 128);
    Bytes jpeg = rgba_to_jpeg(rgba.data(), 8, 8, 92);
    // Point the frame header (SOF0: FF C0, length, precision, height, width) at 9000 x 9000.
    std::size_t sof = 0;
    for (std::size_t i = 2; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            sof = i;
            break;
        }
    }
    ASSERT_NE(sof, 0u) << "no baseline frame header";
    jpeg[sof + 5] = 0x23; // 9000 = 0x2328
    jpeg[sof + 6] = 0x28;
    jpeg[sof + 7] = 0x23;
    jpeg[sof + 8] = 0x28;
    detail::stb_reset_decoder_peak_request();
    int width = -1;
    int height = -1;
    EXPECT_TRUE(load(jpeg, width, height).empty());
    EXPECT_LT(detail::stb_decoder_peak_request_bytes(), kHeaderOnlyBytes);
}

// A DHT table whose 16 code counts add up to more than 256 symbols made the decoder write past its tables
// (found by fuzz_load_gray). Such a file must be refused, wherever the table sits.
TEST_F(LoadGray, RefusesJpegHuffmanTablesWithMoreThan256Symbols)
{
    Bytes rgba(8 * 8 * 4, 90);
    const Bytes valid = rgba_to_jpeg(rgba.data(), 8, 8, 92);
    int width = -1;
    int height = -1;
    ASSERT_EQ(load(valid, width, height).size(), 64u);

    std::size_t dht = 0;
    for (std::size_t i = 2; i + 1 < valid.size(); ++i) {
        if (valid[i] == 0xFF && valid[i + 1] == 0xC4) {
            dht = i;
            break;
        }
    }
    ASSERT_NE(dht, 0u) << "no Huffman table segment";
    // Marker, length, class/slot byte, then the 16 counts of the first table.
    Bytes first = valid;
    first[dht + 5 + 14] = 0xFF;
    first[dht + 5 + 15] = 0xFF;
    EXPECT_TRUE(load(first, width, height).empty());
    EXPECT_EQ(width, 0);
    EXPECT_EQ(height, 0);

    // The same table in a segment of its own after the image data, just before the end marker.
    Bytes late(valid.begin(), valid.end() - 2);
    const Bytes segment{0xFF, 0xC4, 0x00, 0x13, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    late.insert(late.end(), segment.begin(), segment.end());
    late.push_back(0xFF);
    late.push_back(0xD9);
    EXPECT_TRUE(load(late, width, height).empty());

    // Fill bytes before the start marker: the decoder still reads the data as a JPEG.
    Bytes filled = first;
    filled.insert(filled.begin(), 5, 0xFF);
    EXPECT_TRUE(load(filled, width, height).empty());
}

} // namespace
} // namespace kesto
