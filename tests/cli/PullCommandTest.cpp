// `trevane pull` as a user runs it: against a scripted backend, against the reference backend it starts
// itself, and with bad input.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/ToolRun.h"
#include "tests/support/ImageFiles.h"
#include "tests/support/FakeBackend.h"

namespace {

using kesto::testing::runTrevane;
using kesto::testing::ToolResult;

namespace fs = std::filesystem;
using kesto::test::FakeBackend;


constexpr int kW = 32;
constexpr int kH = 16;
constexpr int kFrames = 3;

class PullCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("trevane-pull-test-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "in");
    for (int f = 0; f < kFrames; ++f) {
      char name[32];
      std::snprintf(name, sizeof name, "%06d.png", f);
      ASSERT_TRUE(kesto::testing::write_png_file((dir_ / "in" / name).string(), frame(f).data(), kW, kH, 4));
    }
  }

  // A bright textured left half on a dark textured right half, different in every frame, so that a pixel
  // served from elsewhere shows.
  static std::vector<std::uint8_t> frame(int f) {
    std::vector<std::uint8_t> rgba(kW * kH * 4);
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        const int base = x < kW / 2 ? 200 : 10;
        std::uint8_t *p = &rgba[(y * kW + x) * 4];
        for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>(base + (x * 7 + y * 3 + c * 5 + f * 11) % 41);
        p[3] = 255;
      }
    }
    return rgba;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string in() const { return (dir_ / "in").string(); }
  std::string out() const { return (dir_ / "out").string() + "/"; }

  // The matte the scripted backend serves: white on the left half.
  std::string mattePng() const {
    std::vector<std::uint8_t> gray(kW * kH);
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) gray[y * kW + x] = x < kW / 2 ? 255 : 0;
    const std::string path = (dir_ / "matte.png").string();
    EXPECT_TRUE(kesto::testing::write_png_file(path, gray.data(), kW, kH, 1));
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
  }

  fs::path dir_;
};

TEST_F(PullCommandTest, ScriptedBackendGivesTheCutOut) {
  FakeBackend fb;
  fb.on("POST", "/api/matte/sessions").reply(200, R"({"session_id":"cli-test-)" + std::to_string(::getpid()) + R"("})");
  fb.onPattern("PUT", "/api/matte/sessions/[^/]+/frames/[0-9]+").reply(200, "{}");
  fb.onPattern("POST", "/api/matte/sessions/[^/]+/start").reply(200, "{}");
  fb.onPattern("GET", "/api/matte/sessions/[^/]+").reply(200, R"({"status":"COMPLETED"})");
  fb.onPattern("GET", "/api/matte/sessions/[^/]+/alpha/[0-9]+\\.png").reply(200, mattePng(), "image/png");

  const ToolResult run = runTrevane("pull --input " + in() + " --output " + out() + " --box 0,0,0.5,1 --backend " +
                              fb.url() + " --anchor 1 --quality fast --softness 0.5 --mode rgba");
  ASSERT_EQ(0, run.exitCode) << run.err << run.out;
  EXPECT_NE(std::string::npos, run.out.find("ready: 3 frames matted"));

  bool sawStart = false;
  for (const auto &r : fb.requests()) {
    if (r.path.size() > 6 && r.path.compare(r.path.size() - 6, 6, "/start") == 0) {
      sawStart = true;
      EXPECT_EQ(R"({"anchor_frame":1,"bbox":{"h":1.0,"w":0.5,"x":0.0,"y":0.0},"edge_softness":0.5,)"
                R"("quality":"fast","strokes":[],"text_prompt":""})",
                r.body);
    }
  }
  EXPECT_TRUE(sawStart);
  // A PNG sequence in and out, bit-exact: the source where the matte is 255, nothing where it is 0.
  for (int f = 0; f < kFrames; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "%06d.png", f);
    std::vector<std::uint8_t> expected = frame(f);
    for (int y = 0; y < kH; ++y) {
      for (int x = kW / 2; x < kW; ++x) std::fill_n(&expected[(y * kW + x) * 4], 4, std::uint8_t{0});
    }
    int w = 0;
    int h = 0;
    const auto rgba = kesto::testing::load_rgba(out() + name, &w, &h);
    ASSERT_EQ(kW, w);
    ASSERT_EQ(kH, h);
    EXPECT_EQ(expected, rgba) << name;
  }
  fs::remove_all("/tmp/orvalis/cli-test-" + std::to_string(::getpid()));
}

TEST_F(PullCommandTest, FailedJobExitsWithItsStatusText) {
  FakeBackend fb;
  fb.on("POST", "/api/matte/sessions").reply(500, "down");
  const ToolResult run = runTrevane("pull --input " + in() + " --output " + out() + " --hint 'a bright square'" +
                              " --backend " + fb.url());
  EXPECT_EQ(1, run.exitCode);
  EXPECT_NE(std::string::npos, run.err.find("failed: cannot reach backend")) << run.err;
  EXPECT_FALSE(fs::exists(out()));
}

TEST_F(PullCommandTest, BadUsageIsRefusedBeforeAnythingRuns) {
  // No cached model: --engine auto and neural see only what --model gives.
  const std::string cache = (dir_ / "cache").string();
  fs::create_directories(cache);
  const std::string base = "XDG_CACHE_HOME='" + cache + "' '" + std::string(TREVANE_BINARY_DIR) +
                           "/cli/trevane' pull --input " + in() + " --output " + out();
  const std::string backend = " --backend http://127.0.0.1:9";
  const std::string model = " --model " + in() + "/000000.png";
  const struct {
    std::string args;
    std::string says;
  } cases[] = {
      {backend, "mark the character"},
      {backend + " --box 0.1,0.2,0.3", "needs 4 numbers"},
      {backend + " --box 0.8,0,0.5,1", "--box"},
      {backend + " --box 0.1,0.1,0.2,x", "not a number"},
      {backend + " --dab 0.5,0.5,0", "--dab"},
      {backend + " --hint x --anchor 7", "outside the clip"},
      {backend + " --hint x --quality best", "--quality: 'best' is not one of fine|fast"},
      {backend + " --hint x --softness 2", "--softness: '2' is not from 0 to 1"},
      {backend + " --hint x --frobnicate", "--frobnicate"},
      {backend + " --hint x --contact-sheet s.gif", "--contact-sheet"},
      // The engine options choose the engine of the backend pull starts; a given backend has its own.
      {backend + " --hint x --engine trivial", "--backend excludes --engine"},
      {backend + " --hint x" + model, "--backend excludes --model"},
      {" --hint x --engine magic", "--engine"},
      {" --hint x --engine classical" + model, "--model goes with --engine auto or neural"},
      {" --hint x --engine neural", "--engine neural needs --model FILE"},
      {" --hint x --model " + in() + "/none.onnx", "--model"},
  };
  for (const auto &c : cases) {
    const ToolResult run = kesto::testing::runCommandLine(base + c.args);
    EXPECT_EQ(2, run.exitCode) << c.args;
    EXPECT_NE(std::string::npos, run.err.find(c.says)) << c.args << " -> " << run.err;
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    EXPECT_FALSE(fs::exists(out())) << c.args;
  }
  const ToolResult noInput = runTrevane("pull --input " + (dir_ / "none").string() + " --output " + out() +
                                  " --hint x --backend http://127.0.0.1:9");
  EXPECT_EQ(2, noInput.exitCode);
  EXPECT_FALSE(fs::exists(out()));

  // An output that names the input frames is refused before any frame is read or sent.
  const std::string firstFrame = (dir_ / "in" / "000000.png").string();
  const std::vector<std::uint8_t> before = kesto::testing::load_rgba(firstFrame, nullptr, nullptr);
  const ToolResult overInput = runTrevane("pull --input " + in() + " --output " + in() +
                                    "/%06d.png --hint x --backend http://127.0.0.1:9");
  EXPECT_EQ(2, overInput.exitCode);
  EXPECT_NE(std::string::npos, overInput.err.find("refusing to overwrite")) << overInput.err;
  EXPECT_EQ(before, kesto::testing::load_rgba(firstFrame, nullptr, nullptr));
}

#ifdef TREVANE_HAVE_BACKEND
TEST_F(PullCommandTest, StartsTheReferenceBackendItself) {
  const ToolResult run = runTrevane("pull --input " + in() + " --output " + out() +
                              " --box 0,0,0.5,1 --engine trivial --mode matte --contact-sheet " +
                              (dir_ / "sheet.png").string());
  ASSERT_EQ(0, run.exitCode) << run.err << run.out;
  int w = 0;
  int h = 0;
  const auto rgba = kesto::testing::load_rgba(out() + "000002.png", &w, &h);
  ASSERT_EQ(kW, w);
  // The trivial engine thresholds luminance: the bright half is the character.
  EXPECT_EQ(255, rgba[(kH / 2 * kW + 2) * 4]);
  EXPECT_EQ(0, rgba[(kH / 2 * kW + kW - 3) * 4]);
  EXPECT_TRUE(fs::exists(dir_ / "sheet.png"));
}
#endif

}  // namespace
