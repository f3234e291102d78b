// `trevane render` end to end: the tool loads the built module, renders a PNG sequence with a matte session
// and writes the outputs; bad usage and bad input end with one line on stderr and exit status 2.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ImageFiles.h"
#include "image/WriteFile.h"
#include "tests/render/LiteralRender.h"
#include "tests/render/MatteFolder.h"
#include "tests/support/ToolRun.h"

namespace {

using kesto::testing::MatteFolder;

constexpr int kWidth = 24;
constexpr int kHeight = 10;
constexpr int kMatteWidth = 7;
constexpr int kMatteHeight = 4;

std::vector<std::uint8_t> frameRgba(int seed) {
  std::vector<std::uint8_t> rgba(static_cast<std::size_t>(kWidth) * kHeight * 4);
  for (std::size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<std::uint8_t>(i * 7 + static_cast<std::size_t>(seed) * 31);
  return rgba;
}

std::vector<std::uint8_t> matteGray(int seed) {
  std::vector<std::uint8_t> gray(static_cast<std::size_t>(kMatteWidth) * kMatteHeight);
  for (std::size_t i = 0; i < gray.size(); ++i) gray[i] = static_cast<std::uint8_t>(i * 37 + static_cast<std::size_t>(seed) * 11);
  return gray;
}

// What the plug-in gives at byte depth, from top-down RGBA rows as files hold them.
std::vector<std::uint8_t> expectedOutput(const std::vector<std::uint8_t> &frame, const std::vector<std::uint8_t> *matte,
                                         int mode) {
  std::vector<std::uint8_t> out(frame.size(), 0);
  const std::ptrdiff_t stride = kWidth * 4;
  // Files run top-down, images bottom-up: point at the last file row and walk back.
  const kesto::testing::LiteralImage src{frame.data() + (kHeight - 1) * stride, -stride, 0, 0, kWidth, kHeight};
  const kesto::testing::LiteralImage dst{out.data() + (kHeight - 1) * stride, -stride, 0, 0, kWidth, kHeight};
  const kesto::testing::LiteralMatte lm{matte, kMatteWidth, kMatteHeight};
  kesto::testing::literalRender(src, dst, false, matte != nullptr ? &lm : nullptr, mode);
  return out;
}

class RenderCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ + "/frames");
    // Frames numbered 1 to 3, as a pulled clip whose first frame is at time 1.
    for (int n = 1; n <= 3; ++n) {
      const std::vector<std::uint8_t> rgba = frameRgba(n);
      ASSERT_TRUE(kesto::testing::write_png_file(framePath(n), rgba.data(), kWidth, kHeight, 4));
      ASSERT_TRUE(session_.writeMatte(n - 1, matteGray(n), kMatteWidth, kMatteHeight));
    }
  }

  std::string framePath(int n) const {
    char name[32];
    std::snprintf(name, sizeof name, "/frames/%04d.png", n);
    return dir_ + name;
  }

  int run(const std::string &arguments) { return tool_.run("render " + arguments); }

  // Exit status 2 with exactly one line on stderr.
  void expectUsageError(const std::string &arguments, const std::string &mention) {
    EXPECT_EQ(2, run(arguments)) << arguments;
    const std::string err = tool_.err();
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_NE(std::string::npos, err.find(mention)) << err;
  }

  std::vector<std::uint8_t> readOutput(const std::string &path) const {
    int w = 0;
    int h = 0;
    std::vector<std::uint8_t> rgba = kesto::testing::load_rgba(path, &w, &h);
    EXPECT_EQ(kWidth, w) << path;
    EXPECT_EQ(kHeight, h) << path;
    return rgba;
  }

  std::string inputPattern() const { return "'" + dir_ + "/frames/%04d.png'"; }
  std::string sessionArgs() const { return " --set session_id=" + session_.sessionId() + " --set clip_start=1"; }

  kesto::testing::ToolRun tool_{"trevane-render"};
  const std::string dir_ = tool_.dir();
  MatteFolder session_;
};

// Each run writes the frames it selects, and only those, as the plug-in renders them: frame n of the folder
// or pattern takes matte n - 1 (clip_start 1), in the mode and at the depth asked for, on any thread count.
TEST_F(RenderCommand, WritesTheSelectedFramesAsThePluginRendersThem) {
  struct Case {
    std::string arguments;  // after --input and --output
    std::string input;      // "" for the pattern
    std::string output;     // --output, under the test's folder
    std::string files;      // the folder of the files written
    int digits;             // their numbers' width
    std::vector<int> frames;
    int mode;               // -1: no session, frames come out unchanged
  };
  const Case cases[] = {
      // A folder as output takes the input's names.
      {sessionArgs(), "", "/a/", "/a/", 4, {1, 2, 3}, 0},
      {sessionArgs() + " --threads 3", "", "/t/%04d.png", "/t/", 4, {1, 2, 3}, 0},
      // Matte only at float depth: (m, m, m, 1) comes back to the matte byte itself.
      {" --depth float --threads 3" + sessionArgs() + " --set output_mode=1", "", "/m/%03d.png", "/m/", 3,
       {1, 2, 3}, 1},
      {" --depth float" + sessionArgs() + " --set output_mode=2", "", "/b/%d.png", "/b/", 1, {1, 2, 3}, 2},
      // The folder's files 0001 to 0003 are frames 1 to 3.
      {" --first 2 --last 2" + sessionArgs(), "'" + dir_ + "/frames'", "/f/%02d.png", "/f/", 2, {2}, 0},
      {"", "", "/plain/", "/plain/", 4, {1, 2, 3}, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.arguments);
    ASSERT_EQ(0, run("--input " + (c.input.empty() ? inputPattern() : c.input) + " --output '" + dir_ + c.output +
                     "'" + c.arguments))
        << tool_.err();
    for (int n = 1; n <= 3; ++n) {
      std::string name = std::to_string(n);
      name = c.files + std::string(static_cast<std::size_t>(std::max(0, c.digits - 1)), '0') + name + ".png";
      const bool selected = std::find(c.frames.begin(), c.frames.end(), n) != c.frames.end();
      ASSERT_EQ(selected, std::filesystem::exists(dir_ + name)) << name;
      if (!selected) continue;
      const std::vector<std::uint8_t> matte = matteGray(n);
      EXPECT_EQ(c.mode < 0 || c.mode == 2 ? frameRgba(n) : expectedOutput(frameRgba(n), &matte, c.mode),
                readOutput(dir_ + name))
          << name;
    }
  }
  EXPECT_NE(std::string::npos, tool_.out().find("rendered 3 frame(s), 1 to 3")) << tool_.out();
}

// One case per kind of refusal (the option readers' own texts are theirs); writing over the input frames is
// refused too, and leaves them as they were.
TEST_F(RenderCommand, BadUsageAndBadInputExitWithStatusTwoAndOneLine) {
  const std::string in = "--input " + inputPattern();
  const std::string out = " --output '" + dir_ + "/o/'";
  const std::pair<std::string, const char *> cases[] = {
      {out, "--input"},
      {in, "--output"},
      {"--input '" + dir_ + "/none/%04d.png'" + out, "none"},
      {"--input '" + dir_ + "/frames/%04d-%d.png'" + out, "more than one"},
      {in + out + " --last 9", "frame 4"},
      {in + out + " --first 3 --last 2", "after"},
      {in + out + " --threads 0", "--threads"},
      {in + out + " --set output_mode=x", "output_mode"},
      {in + out + " --bogus", "--bogus"},
      {in + " --output " + inputPattern(), "refusing"},
      {"--input '" + dir_ + "/frames' --output '" + dir_ + "/frames/%04d.png' --first 1", "refusing"},
  };
  for (const auto &[arguments, mention] : cases) expectUsageError(arguments, mention);
  EXPECT_EQ(frameRgba(1), readOutput(framePath(1)));
  // An undecodable frame in the range.
  ASSERT_TRUE(kesto::write_file(framePath(4), {'j', 'u', 'n', 'k'}));
  expectUsageError(in + out, "0004.png");
}

}  // namespace
