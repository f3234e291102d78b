#include "image/LoadGray.h"

#include "image/ImageEncode.h"
#include "image/StbCodec.h"

#include "ImageTestSupport.h"
#include "tests/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <climits>
#include <tuple>
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
        test::put_file(path("matte"), file);
        return load_gray(path("matte"), &width, &height);
    }
    // Loads `file`, expecting it refused with a zero size and, when `peak` is set, without a buffer for its pixels.
    void expect_refused(const Bytes& file, const std::string& what, bool peak = false)
    {
        int width = -1;
        int height = -1;
        detail::stb_reset_decoder_peak_request();
        EXPECT_TRUE(load(file, width, height).empty()) << what;
        EXPECT_EQ(width, 0) << what;
        EXPECT_EQ(height, 0) << what;
        if (peak) {
            EXPECT_LT(detail::stb_decoder_peak_request_bytes(), kHeaderOnlyBytes) << what;
        }
    }
    std::string path(const std::string& name) const { return dir_.path() + "/" + name; }

    testing::ScratchFolder dir_{"kesto-image"};
};

// One gray byte per pixel from every PNG layout (JPEG below): gray is kept, colour becomes
// (77 R + 150 G + 29 B) >> 8 with alpha playing no part, and big-endian 16-bit samples keep their high byte.
TEST_F(LoadGray, GivesOneGrayBytePerPixelOfEveryLayout)
{
    const Bytes luma{76, 149, 28, 255, 18, 0}; // red, green, blue, white, (10, 20, 30), black
    const struct {
        const char* what;
        int width;
        int height;
        int depth;
        int colour_type;
        Bytes samples;
        Bytes expected;
    } cases[] = {
        {"gray", 3, 2, 8, test::kPngGray, {0, 1, 127, 128, 254, 255}, {0, 1, 127, 128, 254, 255}},
        {"rgb", 3, 2, 8, test::kPngRgb, {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 10, 20, 30, 0, 0, 0}, luma},
        {"rgba", 2, 3, 8, test::kPngRgba,
         {255, 0, 0, 0, 0, 255, 0, 9, 0, 0, 255, 128, 255, 255, 255, 255, 10, 20, 30, 1, 0, 0, 0, 255}, luma},
        {"gray and alpha", 2, 1, 8, test::kPngGrayAlpha, {40, 0, 200, 255}, {40, 200}},
        {"16-bit gray", 2, 1, 16, test::kPngGray, {0xAB, 0xCD, 0x01, 0xFF}, {0xAB, 0x01}},
    };
    for (const auto& c : cases) {
        int width = -1;
        int height = -1;
        EXPECT_EQ(load(test::build_png(c.width, c.height, c.depth, c.colour_type, c.samples), width, height),
                  c.expected)
            << c.what;
        EXPECT_EQ(width, c.width) << c.what;
        EXPECT_EQ(height, c.height) << c.what;
    }
    EXPECT_EQ(load_gray(path("matte"), nullptr, nullptr), (Bytes{0xAB, 0x01})) << "the size outputs may be left out";
}

TEST_F(LoadGray, FailuresGiveAnEmptyResultAndZeroSize)
{
    const Bytes valid = test::build_png(32, 32, 8, test::kPngRgb, Bytes(32 * 32 * 3, 77));
    Bytes corrupt = valid;
    corrupt[41] ^= 0xFF; // the zlib header of the image data
    corrupt[42] ^= 0xFF;
    const std::pair<const char*, Bytes> bad_files[] = {
        {"empty file", Bytes{}},
        {"not an image", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'm', 'a', 't', 't', 'e'}},
        {"truncated", Bytes(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(valid.size() / 2))},
        {"signature only", Bytes(valid.begin(), valid.begin() + 8)},
        {"zero width", test::build_png_raw(0, 4, 8, test::kPngGray, Bytes{})},
        {"zero height", test::build_png_raw(4, 0, 8, test::kPngGray, Bytes{})},
        {"corrupt image data", corrupt},
    };
    for (const auto& [what, file] : bad_files) {
        expect_refused(file, what);
    }
    test::put_file(path("valid.png"), valid);
    for (const std::string& file : {path("no-such-file.png"), path(""), std::string(),
                                    path("valid.png") + std::string(1, '\0') + ".txt"}) {
        int width = -1;
        EXPECT_TRUE(load_gray(file, &width, nullptr).empty()) << file;
        EXPECT_EQ(width, 0) << file;
    }
}

TEST(GraySizeLimits, BoundSidesAndPixelCount)
{
    const std::tuple<int, int, bool> cases[] = {
        {1, 1, true}, {kMaxGraySidePixels, 1, true}, {1, kMaxGraySidePixels, true}, {8192, 8192, true},
        {8192, 8193, false}, {9000, 9000, false}, {kMaxGraySidePixels + 1, 1, false}, {1, kMaxGraySidePixels + 1, false},
        {0, 5, false}, {5, -1, false}, {INT_MAX, INT_MAX, false}, {INT_MIN, INT_MIN, false}};
    for (const auto& [width, height, within] : cases) {
        EXPECT_EQ(gray_size_within_limits(width, height), within) << width << " x " << height;
    }
}

// Tiny files whose headers claim too much are refused before a buffer for their pixels is asked for.
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
    EXPECT_GE(detail::stb_decoder_peak_request_bytes(), static_cast<std::size_t>(kMaxGraySidePixels));

    const Bytes one_row(9001, 0);
    const std::pair<std::uint32_t, std::uint32_t> claims[] = {
        {16385, 1}, {1, 16385}, {9000, 9000}, {16384, 16384}, {0x7FFFFFFF, 0x7FFFFFFF}};
    for (const auto& [claim_w, claim_h] : claims) {
        for (const int colour_type : {test::kPngGray, test::kPngRgba}) {
            expect_refused(test::build_png_raw(claim_w, claim_h, 8, colour_type, one_row),
                           std::to_string(claim_w) + " x " + std::to_string(claim_h), true);
        }
    }
    // A JPEG frame header (SOF0: FF C0, length, precision, height, width) pointed at 9000 x 9000.
    Bytes rgba(8 * 8 * 4, 128);
    Bytes jpeg = rgba_to_jpeg(rgba.data(), 8, 8, 92);
    const std::size_t sof = test::jpeg_segment(jpeg, 0xC0);
    ASSERT_NE(sof, 0u);
    for (std::size_t i : {5, 7}) {
        jpeg[sof + i] = 0x23; // 9000 = 0x2328
        jpeg[sof + i + 1] = 0x28;
    }
    expect_refused(jpeg, "jpeg of 9000 x 9000", true);
}

// A DHT table whose 16 code counts add up to more than 256 symbols made the decoder write past its tables
// (found by fuzz_load_gray). Such a file must be refused, wherever the table sits.
TEST_F(LoadGray, RefusesJpegHuffmanTablesWithMoreThan256Symbols)
{
    Bytes rgba(8 * 8 * 4, 90);
    const Bytes valid = rgba_to_jpeg(rgba.data(), 8, 8, 92);
    int width = -1;
    int height = -1;
    const Bytes gray = load(valid, width, height);
    ASSERT_EQ(gray.size(), 64u);
    EXPECT_NEAR(gray[0], 90, 2) << "gray stays gray";
    const std::size_t dht = test::jpeg_segment(valid, 0xC4);
    ASSERT_NE(dht, 0u);
    // Marker, length, class/slot byte, then the 16 counts of the first table.
    Bytes first = valid;
    first[dht + 5 + 14] = 0xFF;
    first[dht + 5 + 15] = 0xFF;
    expect_refused(first, "first table");
    // The same table in a segment of its own after the image data, just before the end marker.
    Bytes late(valid.begin(), valid.end() - 2);
    late.insert(late.end(), {0xFF, 0xC4, 0x00, 0x13, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xD9});
    expect_refused(late, "late table");
    // Fill bytes before the start marker: the decoder still reads the data as a JPEG.
    first.insert(first.begin(), 5, 0xFF);
    expect_refused(first, "fill bytes first");
}

} // namespace
} // namespace kesto
