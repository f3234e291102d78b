// Turning a host image into the spooled picture: size, orientation, component conversion, and which images
// are not read at all.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "plugin/SpoolImage.h"

namespace {

using kesto::SourceImage;

// A bottom-up image buffer whose pixel (x, y), y counted from the bottom, holds `value(x, y)`.
template <typename T>
struct Buffer {
  std::vector<T> data;
  SourceImage image;
};

Buffer<std::uint8_t> byteImage(int width, int height, std::uint8_t (*value)(int x, int y, int c), bool topDown = false,
                               int paddingBytes = 0) {
  Buffer<std::uint8_t> b;
  const int rowBytes = width * 4 + paddingBytes;
  b.data.assign(static_cast<std::size_t>(rowBytes) * height, 0xEE);
  for (int y = 0; y < height; ++y) {
    const int memoryRow = topDown ? height - 1 - y : y;
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < 4; ++c) b.data[static_cast<std::size_t>(memoryRow * rowBytes + x * 4 + c)] = value(x, y, c);
    }
  }
  const int bottomRow = topDown ? height - 1 : 0;
  b.image.bottomRow = b.data.data() + static_cast<std::size_t>(bottomRow) * rowBytes;
  b.image.width = width;
  b.image.height = height;
  b.image.rowBytes = topDown ? -rowBytes : rowBytes;
  return b;
}

TEST(SpoolSize, LongerSideIsAtMost1920AndNothingGrows) {
  struct Case {
    int w, h, ow, oh;
  };
  const Case cases[] = {
      {3840, 2160, 1920, 1080}, {1000, 500, 1000, 500}, {4000, 10, 1920, 4},  {5000, 3, 1920, 2},
      {1920, 1080, 1920, 1080}, {1, 1, 2, 2},           {2160, 3840, 1080, 1920}, {7680, 4320, 1920, 1080},
  };
  for (const Case &c : cases) {
    const kesto::SpoolSize size = kesto::spool_size(c.w, c.h);
    EXPECT_EQ(c.ow, size.width) << c.w << "x" << c.h;
    EXPECT_EQ(c.oh, size.height) << c.w << "x" << c.h;
    EXPECT_LE(size.scale, 1.0);
  }
}

TEST(SpoolPixels, FloatsAreClampedAndRoundedBytesPassUnchanged) {
  // 1.5, -0.2, 0.5 and NaN: see FloatFramesAreConvertedPerComponent.
  EXPECT_EQ(255, kesto::float_to_byte(INFINITY));
  EXPECT_EQ(0, kesto::float_to_byte(-INFINITY));
  // A byte divided by 255 and converted back is the byte itself: the byte path may copy.
  for (int b = 0; b < 256; ++b) EXPECT_EQ(b, kesto::float_to_byte(static_cast<float>(b) / 255.0f)) << b;
}

std::uint8_t rowCode(int x, int y, int c) { return static_cast<std::uint8_t>(c == 0 ? x : c == 1 ? y : c == 2 ? 7 : 255); }

TEST(SpoolResample, TopRowOfThePictureComesFirstWhateverTheRowOrder) {
  for (bool topDown : {false, true}) {
    const auto b = byteImage(5, 3, rowCode, topDown, topDown ? 12 : 0);
    ASSERT_TRUE(kesto::source_image_readable(b.image));
    const kesto::RgbaFrame frame = kesto::resample_upright(b.image);
    ASSERT_EQ(5, frame.width);
    ASSERT_EQ(3, frame.height);
    for (int y = 0; y < 3; ++y) {
      for (int x = 0; x < 5; ++x) {
        const std::uint8_t *p = &frame.pixels[static_cast<std::size_t>((y * 5 + x) * 4)];
        EXPECT_EQ(x, p[0]);
        EXPECT_EQ(2 - y, p[1]) << "output row " << y << " must be source row " << 2 - y << " from the bottom";
        EXPECT_EQ(7, p[2]);
        EXPECT_EQ(255, p[3]);
      }
    }
  }
}

TEST(SpoolResample, FloatFramesAreConvertedPerComponent) {
  std::vector<float> pixels = {1.5f, -0.2f, 0.5f, std::nanf(""), 0.0f, 1.0f, 0.25f, 0.75f};
  SourceImage image;
  image.bottomRow = pixels.data();
  image.width = 2;
  image.height = 1;
  image.rowBytes = 2 * 16;
  image.isFloat = true;
  const kesto::RgbaFrame frame = kesto::resample_upright(image);
  ASSERT_EQ(2, frame.width);
  ASSERT_EQ(2, frame.height);  // a side below 2 becomes 2
  const std::vector<std::uint8_t> row = {255, 0, 128, 0, 0, 255, 64, 191};
  EXPECT_EQ(row, std::vector<std::uint8_t>(frame.pixels.begin(), frame.pixels.begin() + 8));
  EXPECT_EQ(row, std::vector<std::uint8_t>(frame.pixels.begin() + 8, frame.pixels.end()));
}

TEST(SpoolResample, NearestNeighbourPicksTheDocumentedSourcePixels) {
  // 3840 wide: scale 0.5, output column x reads source column 2x; row y reads source row 2y from the top.
  const int w = 3840;
  const int h = 4;
  const auto b = byteImage(w, h, [](int x, int y, int c) {
    return static_cast<std::uint8_t>(c == 0 ? x % 251 : c == 1 ? y : 0);
  });
  const kesto::RgbaFrame frame = kesto::resample_upright(b.image);
  ASSERT_EQ(1920, frame.width);
  ASSERT_EQ(2, frame.height);
  for (int x = 0; x < 1920; x += 97) {
    EXPECT_EQ((2 * x) % 251, frame.pixels[static_cast<std::size_t>(x * 4)]);
    EXPECT_EQ(h - 1, frame.pixels[static_cast<std::size_t>(x * 4 + 1)]);                     // top row
    EXPECT_EQ(h - 1 - 2, frame.pixels[static_cast<std::size_t>((1920 + x) * 4 + 1)]);        // source row 2
  }
}

TEST(SpoolResample, ImagesThatCannotBeReadAreRefused) {
  std::uint8_t pixel[16] = {};
  SourceImage ok;
  ok.bottomRow = pixel;
  ok.width = 1;
  ok.height = 1;
  ok.rowBytes = 4;
  EXPECT_TRUE(kesto::source_image_readable(ok));

  SourceImage noData = ok;
  noData.bottomRow = nullptr;
  SourceImage noWidth = ok;
  noWidth.width = 0;
  SourceImage negativeHeight = ok;
  negativeHeight.height = -3;
  SourceImage rowsTooClose = ok;
  rowsTooClose.width = 2;  // 8 bytes of pixels, rows 4 bytes apart
  SourceImage floatRowsTooClose = ok;
  floatRowsTooClose.isFloat = true;
  for (const SourceImage &bad : {noData, noWidth, negativeHeight, rowsTooClose, floatRowsTooClose}) {
    EXPECT_FALSE(kesto::source_image_readable(bad));
  }
  SourceImage negativeRows = ok;
  negativeRows.rowBytes = -4;
  EXPECT_TRUE(kesto::source_image_readable(negativeRows));
}

}  // namespace
