// `trevane render` end to end: the tool loads the built module, renders a PNG sequence a few frames at a time
// with a matte session and writes the outputs; its refusals are in the trevane tool's table. The pixel
// formulas are MatteComposite's tests, and the clip and output options are shared with `pull` (the tool's own
// tests): here each frame's matte is one gray level, so a frame shows which matte it took.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/render/MatteFolder.h"
#include "tests/support/ImageFiles.h"
#include "tests/support/ToolRun.h"

namespace {

constexpr int kWidth = 24;
constexpr int kHeight = 10;

class RenderCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(tool_.dir() + "/frames");
    // Frames numbered 1 to 3, as a pulled clip whose first frame is at time 1.
    for (int n = 1; n <= 3; ++n) {
      const std::vector<std::uint8_t> rgba(static_cast<std::size_t>(kWidth) * kHeight * 4, static_cast<std::uint8_t>(n));
      ASSERT_TRUE(kesto::testing::write_png_file(framePath(n), rgba.data(), kWidth, kHeight, 4));
      ASSERT_TRUE(session_.writeMatte(n - 1, {static_cast<std::uint8_t>(60 * n)}, 1, 1));
    }
  }

  std::string framePath(int n, const std::string &folder = "/frames/") const {
    char name[32];
    std::snprintf(name, sizeof name, "%04d.png", n);
    return tool_.dir() + folder + name;
  }

  kesto::testing::ToolRun tool_{"trevane-render"};
  kesto::testing::MatteFolder session_;
};

// Two frames at a time over three: frame n takes matte n - 1 (clip_start 1) in the mode set, each written and
// listed once.
TEST_F(RenderCommand, RendersEveryFrameThroughThePluginWithTheParametersSet) {
  ASSERT_EQ(0, tool_.run("render --input '" + tool_.dir() + "/frames/%04d.png' --output '" + tool_.dir() +
                         "/out/' --threads 2 --set session_id=" + session_.sessionId() +
                         " --set clip_start=1 --set output_mode=1"))
      << tool_.err();
  for (int n = 1; n <= 3; ++n) {
    std::vector<std::uint8_t> matteOnly(static_cast<std::size_t>(kWidth) * kHeight * 4, static_cast<std::uint8_t>(60 * n));
    for (std::size_t i = 3; i < matteOnly.size(); i += 4) matteOnly[i] = 255;
    int w = 0;
    int h = 0;
    EXPECT_EQ(matteOnly, kesto::testing::load_rgba(framePath(n, "/out/"), &w, &h)) << n;
    EXPECT_EQ(kWidth, w);
    EXPECT_EQ(kHeight, h);
    EXPECT_NE(std::string::npos, tool_.out().find(framePath(n, "/out/") + "\n")) << tool_.out();
  }
  const std::string out = tool_.out();
  EXPECT_EQ(4, std::count(out.begin(), out.end(), '\n')) << out;
  EXPECT_NE(std::string::npos, out.find("rendered 3 frame(s), 1 to 3")) << out;
}

}  // namespace
