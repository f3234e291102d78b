#include "image/LoadGray.h"

#include "image/ImageEncode.h"
#include "image/StbCodec.h"
#include "image/WriteFile.h"

#include "ImageTestSupport.h"
#include "tests/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <utility>
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
        EXPECT_TRUE(write_file(path("matte"), file));
        return load_gray(path("matte"), &width, &height);
    }
    std::string path(const std::string& name) const { return dir_.path() + "/" + name; }

    testing::ScratchFolder dir_{"kesto-image"};
};

// One gray byte per pixel (JPEG below): gray is kept, colour becomes (77 R + 150 G + 29 B) >> 8, and big-endian
// 16-bit samples keep their high byte. Each row of the files follows its filter byte (0: none).
TEST_F(LoadGray, GivesOneGrayBytePerPixel)
{
    const struct {
        const char* what;
        int width;
        int height;
        Bytes file;
        Bytes expected;
    } cases[] = {
        {"gray", 3, 2, test::build_png_raw(3, 2, 8, test::kPngGray, {0, 0, 1, 127, 0, 128, 254, 255}),
         {0, 1, 127, 128, 254, 255}},
        // red, green, blue, white, (10, 20, 30), black
        {"rgb", 3, 2,
         test::build_png_raw(3, 2, 8, test::kPngRgb,
                             {0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 255, 255, 255, 10, 20, 30, 0, 0, 0}),
         {76, 149, 28, 255, 18, 0}},
        {"16-bit gray", 2, 1, test::build_png_raw(2, 1, 16, test::kPngGray, {0, 0xAB, 0xCD, 0x01, 0xFF}), {0xAB, 0x01}},
    };
    for (const auto& c : cases) {
        int width = -1;
        int height = -1;
        EXPECT_EQ(load(c.file, width, height), c.expected) << c.what;
        EXPECT_EQ(width, c.width) << c.what;
        EXPECT_EQ(height, c.height) << c.what;
    }
    EXPECT_EQ(load_gray(path("matte"), nullptr, nullptr), (Bytes{0xAB, 0x01})) << "the size outputs may be left out";
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

// Files that are no usable image, or whose headers claim more than the limits, are refused with a zero size
// before a buffer for their pixels is asked for. A DHT table whose 16 code counts add up to more than 256
// symbols made the decoder write past its tables (found by fuzz_load_gray): it is refused wherever it sits.
TEST_F(LoadGray, RefusesUnusableAndOversizedFilesBeforeAllocatingPixels)
{
    // Controls: the largest side loads, and shows in the allocation record; so does the unchanged JPEG.
    int width = 0;
    int height = 0;
    detail::stb_reset_decoder_peak_request();
    const Bytes widest = load(test::build_png_raw(kMaxGraySidePixels, 1, 8, test::kPngGray,
                                                  Bytes(static_cast<std::size_t>(kMaxGraySidePixels) + 1, 0)),
                              width, height);
    EXPECT_EQ(widest.size(), static_cast<std::size_t>(kMaxGraySidePixels)) << "the largest side is allowed";
    EXPECT_GE(detail::stb_decoder_peak_request_bytes(), static_cast<std::size_t>(kMaxGraySidePixels));
    const Bytes rgba(8 * 8 * 4, 90);
    const Bytes jpeg = rgba_to_jpeg(rgba.data(), 8, 8, 92);
    const Bytes gray = load(jpeg, width, height);
    ASSERT_EQ(gray.size(), 64u);
    EXPECT_NEAR(gray[0], 90, 2) << "gray stays gray";

    const Bytes valid = test::build_png_raw(32, 32, 8, test::kPngRgb, Bytes(32 * (1 + 32 * 3), 0)); // black
    Bytes corrupt = valid;
    corrupt[41] ^= 0xFF; // the zlib header of the image data
    corrupt[42] ^= 0xFF;
    std::vector<std::pair<std::string, Bytes>> bad_files = {
        {"empty file", Bytes{}},
        {"not an image", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'm', 'a', 't', 't', 'e'}},
        {"truncated", Bytes(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(valid.size() / 2))},
        {"signature only", Bytes(valid.begin(), valid.begin() + 8)},
        {"zero width", test::build_png_raw(0, 4, 8, test::kPngGray, Bytes{})},
        {"zero height", test::build_png_raw(4, 0, 8, test::kPngGray, Bytes{})},
        {"corrupt image data", corrupt},
    };
    // One claim past each limit (which sizes: GraySizeLimits), and sides that no int product holds.
    const std::pair<std::uint32_t, std::uint32_t> claims[] = {{16385, 1}, {9000, 9000}, {0x7FFFFFFF, 0x7FFFFFFF}};
    for (const auto& [claim_w, claim_h] : claims) {
        bad_files.emplace_back(std::to_string(claim_w) + " x " + std::to_string(claim_h),
                               test::build_png_raw(claim_w, claim_h, 8, test::kPngGray, Bytes(9001, 0)));
    }
    // A JPEG frame header (SOF0: FF C0, length, precision, height, width) pointed at 9000 x 9000.
    const std::size_t sof = test::jpeg_segment(jpeg, 0xC0);
    const std::size_t dht = test::jpeg_segment(jpeg, 0xC4);
    ASSERT_TRUE(sof != 0 && dht != 0);
    Bytes huge = jpeg;
    for (std::size_t i : {5, 7}) {
        huge[sof + i] = 0x23; // 9000 = 0x2328
        huge[sof + i + 1] = 0x28;
    }
    // Marker, length, class/slot byte, then the 16 counts of the first table.
    Bytes first = jpeg;
    first[dht + 5 + 14] = 0xFF;
    first[dht + 5 + 15] = 0xFF;
    // The same table in a segment of its own after the image data, just before the end marker.
    Bytes late(jpeg.begin(), jpeg.end() - 2);
    late.insert(late.end(), {0xFF, 0xC4, 0x00, 0x13, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xD9});
    // Fill bytes before the start marker: the decoder still reads the data as a JPEG.
    Bytes filled = first;
    filled.insert(filled.begin(), 5, 0xFF);
    bad_files.insert(bad_files.end(), {{"jpeg of 9000 x 9000", huge}, {"first table", first}, {"late table", late},
                                       {"fill bytes first", filled}});
    for (const auto& [what, file] : bad_files) {
        width = height = -1;
        detail::stb_reset_decoder_peak_request();
        EXPECT_TRUE(load(file, width, height).empty()) << what;
        EXPECT_EQ(width, 0) << what;
        EXPECT_EQ(height, 0) << what;
        EXPECT_LT(detail::stb_decoder_peak_request_bytes(), kHeaderOnlyBytes) << what;
    }

    ASSERT_TRUE(write_file(path("valid.png"), valid));
    for (const std::string& file : {path("no-such-file.png"), path(""), std::string(),
                                    path("valid.png") + std::string(1, '\0') + ".txt"}) {
        EXPECT_TRUE(load_gray(file, &width, nullptr).empty()) << file;
        EXPECT_EQ(width, 0) << file;
    }
}

} // namespace
} // namespace kesto
