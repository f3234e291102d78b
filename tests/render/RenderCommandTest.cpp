// `trevane render` end to end: the tool loads the built module, renders a PNG sequence a few frames at a time
// with a matte session and writes the outputs; its refusals are in the trevane tool's table. The pixel
// formulas are MatteComposite's tests, and the clip and output options are shared with `pull` (the tool's own
// tests): here each frame's matte is one gray level, so a frame shows which matte it took.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/render/MatteFolder.h"
#include "tests/support/ImageFiles.h"
#include "tests/support/ToolRun.h"

namespace {

constexpr int kWidth = 24;
constexpr int kHeight = 10;

// Two frames at a time over three: frame n takes matte n - 1 (clip_start 1) in the mode set, each written and
// listed once.
TEST(RenderCommand, RendersEveryFrameThroughThePluginWithTheParametersSet) {
  const kesto::testing::ToolRun tool("trevane-render");
  const kesto::testing::MatteFolder session;
  // Frames numbered 1 to 3, as a pulled clip whose first frame is at time 1.
  const auto framePath = [&](int n, const std::string &folder) {
    return tool.dir() + folder + "000" + std::to_string(n) + ".png";
  };
  std::filesystem::create_directories(tool.dir() + "/frames");
  for (int n = 1; n <= 3; ++n) {
    const std::vector<std::uint8_t> rgba(static_cast<std::size_t>(kWidth) * kHeight * 4, static_cast<std::uint8_t>(n));
    ASSERT_TRUE(kesto::testing::write_png_file(framePath(n, "/frames/"), rgba.data(), kWidth, kHeight, 4));
    ASSERT_TRUE(session.writeMatte(n - 1, {static_cast<std::uint8_t>(60 * n)}, 1, 1));
  }
  ASSERT_EQ(0, tool.run("render --input '" + tool.dir() + "/frames/%04d.png' --output '" + tool.dir() +
                        "/out/' --threads 2 --set session_id=" + session.sessionId() +
                        " --set clip_start=1 --set output_mode=1"))
      << tool.err();
  for (int n = 1; n <= 3; ++n) {
    std::vector<std::uint8_t> matteOnly(static_cast<std::size_t>(kWidth) * kHeight * 4, static_cast<std::uint8_t>(60 * n));
    for (std::size_t i = 3; i < matteOnly.size(); i += 4) matteOnly[i] = 255;
    int w = 0;  // with the bytes equal, the width fixes the height
    EXPECT_EQ(matteOnly, kesto::testing::load_rgba(framePath(n, "/out/"), &w, nullptr)) << n;
    EXPECT_EQ(kWidth, w);
    EXPECT_NE(std::string::npos, tool.out().find(framePath(n, "/out/") + "\n")) << tool.out();
  }
  const std::string out = tool.out();
  EXPECT_EQ(4, std::count(out.begin(), out.end(), '\n')) << out;
  EXPECT_NE(std::string::npos, out.find("rendered 3 frame(s), 1 to 3")) << out;
}

}  // namespace
