// `trevane overlay` end to end: the tool loads the built module, draws its overlay over a frame and writes
// the picture.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/ImageFiles.h"
#include "tests/support/ToolRun.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
const std::string kBoxSet = " --set 'bbox_json={\"x\":0.25,\"y\":0.25,\"w\":0.5,\"h\":0.5}'";

TEST(OverlayCommand, DrawsTheBoxAndDabsOverTheFrameUnlessSwitchedOff) {
  const kesto::testing::ToolRun tool("trevane-overlay");
  const std::string io = "overlay --input '" + tool.dir() + "/frame.png' --output '" + tool.dir() + "/overlay.png'";
  const auto written = [&] {
    int width = 0;  // with the size of the frame, the width fixes the height
    auto rgba = kesto::testing::load_rgba(tool.dir() + "/overlay.png", &width, nullptr);
    EXPECT_EQ(width, kWidth);
    return rgba;
  };
  // An opaque (40, 60, 80) frame.
  std::vector<std::uint8_t> frame(std::size_t{kWidth} * kHeight * 4);
  for (std::size_t i = 0; i < frame.size(); ++i) {
    frame[i] = static_cast<std::uint8_t>(i % 4 == 3 ? 255 : 40 + 20 * (i % 4));
  }
  ASSERT_TRUE(kesto::testing::write_png_file(tool.dir() + "/frame.png", frame.data(), kWidth, kHeight, 4));
  // Box from canonical (16, 36) to (48, 12); an add dab about canonical (6, 6), an exclude dab about (56, 42),
  // each of radius 4 and clear of the box and its handles.
  ASSERT_EQ(tool.run(io + kBoxSet + " --set 'brush_json=[[0.09375,0.875,0.0625],[0.875,0.125,-0.0625]]'"), 0)
      << tool.err();
  EXPECT_NE(tool.out().find("1 box outline(s), 2 dab(s)"), std::string::npos) << tool.out();
  const std::vector<std::uint8_t> out = written();
  ASSERT_EQ(out.size(), frame.size());
  // Canonical (x, y) is pixel (x, 47 - y): the box's top edge, at v = 0.25, is canonical y 36, pixel row 11,
  // fully covered by the 1.5 wide line; the dabs blend cyan and red at alpha 0.35; inside the box, away from
  // everything, the frame is as it was.
  const struct {
    int x, y;
    std::uint8_t rgb[3];
  } pixels[] = {
      {32, 11, {230, 157, 39}}, {6, 41, {26, 119, 141}}, {56, 5, {115, 63, 72}}, {32, 24, {40, 60, 80}}};
  for (const auto &p : pixels) {
    const std::uint8_t *got = &out[(static_cast<std::size_t>(p.y) * kWidth + static_cast<std::size_t>(p.x)) * 4];
    EXPECT_EQ(std::vector<int>(got, got + 3), std::vector<int>(p.rgb, p.rgb + 3)) << p.x << "," << p.y;
  }

  // Switched off, the overlay leaves the frame as it was. Bad usage is in the trevane tool's table of
  // refusals; a picture that cannot be written is a failure (1).
  ASSERT_EQ(tool.run(io + " --set draw_mask=0" + kBoxSet), 0) << tool.err();
  EXPECT_EQ(written(), frame);
  EXPECT_EQ(tool.run("overlay --input '" + tool.dir() + "/frame.png' --output '" + tool.dir() + "/no/such/x.png'"), 1);
  EXPECT_NE(tool.err().find("cannot write"), std::string::npos) << tool.err();
}

}  // namespace
