// Image layout as plug-ins read it: bottom-up and top-down rows, bounds that do not start at 0.
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
