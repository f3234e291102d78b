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

class OverlayCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    frame_.assign(static_cast<std::size_t>(kWidth) * kHeight * 4, 0);
    for (std::size_t i = 0; i < frame_.size(); i += 4) {
      frame_[i] = 40;
      frame_[i + 1] = 60;
      frame_[i + 2] = 80;
      frame_[i + 3] = 255;
    }
    ASSERT_TRUE(kesto::testing::write_png_file(dir_ + "/frame.png", frame_.data(), kWidth, kHeight, 4));
  }

  int run(const std::string &arguments) { return tool_.run("overlay " + arguments); }

  std::string io() const { return "--input '" + dir_ + "/frame.png' --output '" + dir_ + "/overlay.png'"; }

  const std::uint8_t *pixel(const std::vector<std::uint8_t> &rgba, int x, int y) const {
    return &rgba[(static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)) * 4];
  }

  kesto::testing::ToolRun tool_{"trevane-overlay"};
  const std::string dir_ = tool_.dir();
  std::vector<std::uint8_t> frame_;
};

TEST_F(OverlayCommand, DrawsTheBoxAndDabsOverTheFrame) {
  // Box from canonical (16, 36) to (48, 12); an add dab about canonical (6, 6), an exclude dab about (56, 42),
  // each of radius 4 and clear of the box and its handles.
  ASSERT_EQ(run(io() + " --set 'bbox_json={\"x\":0.25,\"y\":0.25,\"w\":0.5,\"h\":0.5}'" +
                " --set 'brush_json=[[0.09375,0.875,0.0625],[0.875,0.125,-0.0625]]'"),
            0)
      << tool_.err();
  EXPECT_NE(tool_.out().find("1 box outline(s), 2 dab(s)"), std::string::npos) << tool_.out();
  int width = 0, height = 0;
  const std::vector<std::uint8_t> out = kesto::testing::load_rgba(dir_ + "/overlay.png", &width, &height);
  ASSERT_EQ(width, kWidth);
  ASSERT_EQ(height, kHeight);

  // Canonical (x, y) is pixel (x, 47 - y): the box's top edge, at v = 0.25, is canonical y 36, pixel row 11.
  const std::uint8_t *edge = pixel(out, 32, 11);
  EXPECT_EQ(edge[0], 230);  // 0.902 * 255, fully covered by the 1.5 wide line
  EXPECT_EQ(edge[1], 157);
  EXPECT_EQ(edge[2], 39);
  // Handle square at the top-left corner (canonical (16, 36)): pixel (12, 7) lies inside it.
  EXPECT_EQ(pixel(out, 12, 7)[0], 230);
  // Add dab: cyan at alpha 0.35 over the frame.
  const std::uint8_t *add = pixel(out, 6, 41);
  EXPECT_EQ(add[0], static_cast<int>(40 * 0.65 + 0.5));
  EXPECT_EQ(add[1], static_cast<int>(0.898 * 255 * 0.35 + 60 * 0.65 + 0.5));
  EXPECT_EQ(add[2], static_cast<int>(255 * 0.35 + 80 * 0.65 + 0.5));
  // Exclude dab: red.
  EXPECT_EQ(pixel(out, 56, 5)[0], static_cast<int>(255 * 0.35 + 40 * 0.65 + 0.5));
  // Inside the box, away from everything: the frame as it was.
  const std::uint8_t *inside = pixel(out, 32, 24);
  EXPECT_EQ(inside[0], 40);
  EXPECT_EQ(inside[1], 60);
  EXPECT_EQ(inside[2], 80);
  EXPECT_EQ(inside[3], 255);
}

TEST_F(OverlayCommand, OverlaySwitchedOffLeavesTheFrame) {
  ASSERT_EQ(run(io() + " --set draw_mask=0 --set 'bbox_json={\"x\":0.25,\"y\":0.25,\"w\":0.5,\"h\":0.5}'"), 0)
      << tool_.err();
  int width = 0, height = 0;
  EXPECT_EQ(kesto::testing::load_rgba(dir_ + "/overlay.png", &width, &height), frame_);
}

TEST_F(OverlayCommand, BadUsageAndInputExitWith2) {
  EXPECT_EQ(run("--output '" + dir_ + "/x.png'"), 2);
  EXPECT_NE(tool_.err().find("--input"), std::string::npos) << tool_.err();
  EXPECT_EQ(run(io() + " --set no_such_param=1"), 2);
  EXPECT_NE(tool_.err().find("no_such_param"), std::string::npos) << tool_.err();
  EXPECT_EQ(run(io() + " --set brush_size=big"), 2);
  EXPECT_EQ(run(io() + " --set =1"), 2);
  EXPECT_EQ(run("--input '" + dir_ + "/missing.png' --output '" + dir_ + "/x.png'"), 2);
  EXPECT_NE(tool_.err().find("missing.png"), std::string::npos) << tool_.err();
  EXPECT_EQ(run(io() + " --unknown"), 2);
}

TEST_F(OverlayCommand, UnwritableOutputExitsWith1) {
  EXPECT_EQ(run("--input '" + dir_ + "/frame.png' --output '" + dir_ + "/no/such/dir/x.png'"), 1);
  EXPECT_NE(tool_.err().find("cannot write"), std::string::npos) << tool_.err();
}

}  // namespace
