// Image layout: bottom-up and top-down rows, bounds that do not start at 0, conversions.
#include <gtest/gtest.h>

#include "host/Image.h"

namespace th = trevane::host;

TEST(Image, AddressesRowsFromTheBottomWhateverTheRowOrder) {
  for (th::RowOrder order : {th::RowOrder::BottomUp, th::RowOrder::TopDown}) {
    th::Image image = th::Image::make(OfxRectI{10, 20, 13, 24}, th::PixelDepth::Byte, order, 4);
    ASSERT_EQ(image.width(), 3);
    ASSERT_EQ(image.height(), 4);
    const int stride = 3 * 4 + 4;
    EXPECT_EQ(image.rowBytes(), order == th::RowOrder::BottomUp ? stride : -stride);
    auto *data = static_cast<std::uint8_t *>(image.data());
    // data + (y - y1) * rowBytes + (x - x1) * 4 is pixel (x, y), counted from the bottom row.
    EXPECT_EQ(image.pixelAddress(10, 20), data);
    EXPECT_EQ(image.pixelAddress(12, 23), data + 3 * image.rowBytes() + 2 * 4);
    EXPECT_EQ(image.pixelAddress(13, 20), nullptr);
    EXPECT_EQ(image.pixelAddress(9, 20), nullptr);
    EXPECT_EQ(image.pixelAddress(10, 24), nullptr);
    ASSERT_TRUE(image.setPixel(11, 22, th::Rgba{1.0F, 0.5F, 0.0F, 1.0F}));
    EXPECT_EQ(image.pixelBytes(11, 22), (th::Rgba8{255, 128, 0, 255}));
  }
}

TEST(Image, TopDownFilesLandWithTheirFirstRowOnTop) {
  const std::uint8_t rgba[2 * 2 * 4] = {1, 1, 1, 1, 2, 2, 2, 2,   // top row
                                        3, 3, 3, 3, 4, 4, 4, 4};  // bottom row
  for (th::RowOrder order : {th::RowOrder::BottomUp, th::RowOrder::TopDown}) {
    th::Image image = th::Image::fromRgba8TopDown(2, 2, rgba, th::PixelDepth::Byte, order, -5, 7);
    EXPECT_EQ(image.pixelBytes(-5, 8), (th::Rgba8{1, 1, 1, 1}));
    EXPECT_EQ(image.pixelBytes(-4, 7), (th::Rgba8{4, 4, 4, 4}));
    EXPECT_EQ(image.toRgba8TopDown(), std::vector<std::uint8_t>(rgba, rgba + 16));
    const th::Image asFloat = image.converted(th::PixelDepth::Float, th::RowOrder::TopDown);
    EXPECT_LT(asFloat.rowBytes(), 0);
    EXPECT_FLOAT_EQ((*asFloat.pixel(-4, 8))[0], 2.0F / 255.0F);
    EXPECT_EQ(asFloat.toRgba8TopDown(), std::vector<std::uint8_t>(rgba, rgba + 16));
  }
}

TEST(Image, CropsToTheIntersectionAndHandlesEmptyBounds) {
  th::Image image = th::Image::make(OfxRectI{0, 0, 4, 4}, th::PixelDepth::Float);
  image.setPixel(3, 3, th::Rgba{0.25F, 0.5F, 0.75F, 1.0F});
  const th::Image part = image.cropped(OfxRectI{2, 2, 10, 10});
  EXPECT_EQ(part.bounds().x1, 2);
  EXPECT_EQ(part.bounds().x2, 4);
  EXPECT_EQ(part.pixel(3, 3), (th::Rgba{0.25F, 0.5F, 0.75F, 1.0F}));
  const th::Image none = th::Image::make(OfxRectI{5, 5, 5, 9}, th::PixelDepth::Byte);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(none.data(), nullptr);
  EXPECT_FALSE(none.pixel(5, 5).has_value());
}
