// Turning a host image into the spooled picture: size, orientation, component conversion, and which images
// are not read at all.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/SpoolImage.h"

namespace {

using kesto::SourceImage;

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

// Floats are clamped and rounded, each component as float_to_byte converts it, and a byte divided by 255 and
// converted back is the byte itself, so the byte path may copy.
TEST(SpoolResample, FloatFramesAreConvertedPerComponent) {
  for (int b = 0; b < 256; ++b) EXPECT_EQ(b, kesto::float_to_byte(static_cast<float>(b) / 255.0f)) << b;
  // Known answers first; then values on and next to every rounding edge, across whole pixels and a partial one.
  std::vector<float> values = {1.5f, -0.2f, 0.5f, std::nanf(""), INFINITY, -INFINITY, -0.0f, 1.0f};
  for (int step = 0; step < 256; step += 5) {
    const float edge = (static_cast<float>(step) + 0.5f) / 255.0f;
    values.insert(values.end(), {std::nextafter(edge, 0.0f), edge, std::nextafter(edge, 2.0f)});
  }
  while (values.size() % 4 != 0) values.push_back(0.25f);
  const int width = static_cast<int>(values.size() / 4);
  const kesto::RgbaFrame frame = kesto::resample_upright(SourceImage{values.data(), width, 1, width * 16, true});
  ASSERT_EQ(width, frame.width);
  ASSERT_EQ(2, frame.height);  // a side below 2 becomes 2
  EXPECT_EQ((std::vector<std::uint8_t>{255, 0, 128, 0, 255, 0, 0, 255}),
            std::vector<std::uint8_t>(frame.pixels.begin(), frame.pixels.begin() + 8));
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(kesto::float_to_byte(values[i]), frame.pixels[i]) << "component " << i << ": " << values[i];
    EXPECT_EQ(frame.pixels[i], frame.pixels[values.size() + i]) << "second row, component " << i;
  }
}

TEST(SpoolResample, NearestNeighbourPicksTheDocumentedSourcePixelsTopRowFirst) {
  // Output column x reads source column min(x / scale, w - 1) truncated, row y source row min(y / scale, h - 1)
  // from the top; scale 0.5, a scale that is no simple fraction and none, at both depths, with rows stored
  // bottom-up and (padded) top-down.
  const std::int64_t sizes[][2] = {{3840, 4}, {2500, 7}, {5, 3}};
  for (const auto &[w, h] : sizes) {
    for (int variant = 0; variant < 4; ++variant) {
      const bool isFloat = (variant & 1) != 0;
      const bool topDown = (variant & 2) != 0;
      SCOPED_TRACE(std::to_string(w) + (isFloat ? " floats" : " bytes") + (topDown ? " top-down" : ""));
      // Pixel (x, y from the bottom): R = x % 251, G = y, B = x / 251, A = 255.
      const auto component = [](std::int64_t x, std::int64_t y, int c) {
        return static_cast<std::uint8_t>(c == 0 ? x % 251 : c == 1 ? y : c == 2 ? x / 251 : 255);
      };
      const std::int64_t stride = w * (isFloat ? 16 : 4) + (topDown ? 12 : 0);
      std::vector<std::uint8_t> memory(static_cast<std::size_t>(stride * h), 0xEE);
      for (std::int64_t y = 0; y < h; ++y) {
        std::uint8_t *row = memory.data() + (topDown ? h - 1 - y : y) * stride;
        for (std::int64_t x = 0; x < w; ++x) {
          for (int c = 0; c < 4; ++c) {
            const float f = static_cast<float>(component(x, y, c)) / 255.0f;
            if (isFloat) std::memcpy(row + x * 16 + c * 4, &f, 4);
            else row[x * 4 + c] = component(x, y, c);
          }
        }
      }
      const SourceImage image{memory.data() + (topDown ? (h - 1) * stride : 0), w, h,
                              static_cast<std::ptrdiff_t>(topDown ? -stride : stride), isFloat};
      ASSERT_TRUE(kesto::source_image_readable(image));
      const kesto::SpoolSize size = kesto::spool_size(w, h);
      const kesto::RgbaFrame frame = kesto::resample_upright(image);
      ASSERT_EQ(size.width, frame.width);
      ASSERT_EQ(size.height, frame.height);
      for (int y = 0; y < frame.height; ++y) {
        const auto sy = std::min(static_cast<std::int64_t>(y / size.scale), h - 1);
        for (int x = 0; x < frame.width; ++x) {
          const auto sx = std::min(static_cast<std::int64_t>(x / size.scale), w - 1);
          const std::uint8_t *p = &frame.pixels[static_cast<std::size_t>((y * frame.width + x) * 4)];
          for (int c = 0; c < 4; ++c) ASSERT_EQ(component(sx, h - 1 - sy, c), p[c]) << x << ", " << y << " c" << c;
        }
      }
    }
  }
}

TEST(SpoolResample, ImagesThatCannotBeReadAreRefused) {
  std::uint8_t pixel[16] = {};
  const std::pair<SourceImage, bool> cases[] = {
      {{pixel, 1, 1, 4, false}, true},   {{pixel, 1, 1, -4, false}, true}, {{nullptr, 1, 1, 4, false}, false},
      {{pixel, 0, 1, 4, false}, false},  {{pixel, 1, -3, 4, false}, false},
      {{pixel, 2, 1, 4, false}, false},  // 8 bytes of pixels, rows 4 bytes apart
      {{pixel, 1, 1, 4, true}, false},
  };
  for (const auto &[image, readable] : cases) {
    EXPECT_EQ(readable, kesto::source_image_readable(image)) << image.width << "x" << image.height << " " << image.rowBytes;
  }
}

}  // namespace
