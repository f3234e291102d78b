// The shipped module end to end: "Pull alpha (whole clip)" on a clip served by the in-process host spools
// the frames, runs a whole session against the fake backend (with the shipped 3-second poll interval),
// publishes the session id, and a render then shows each frame's matte.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "host/Host.h"
#include "tests/job/JobFixture.h"
#include "tests/support/FakeBackend.h"

namespace jobtest {
namespace {

constexpr int kWidth = 16;
constexpr int kHeight = 8;
constexpr double kFirstFrame = 10.0;
constexpr int kModeCharacter = 0;

// Frame 0: the left half is the character; frame 1: the right half; frame 2: half present everywhere.
std::vector<std::uint8_t> matteOf(int frame) {
  std::vector<std::uint8_t> gray(static_cast<std::size_t>(kWidth) * kHeight);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const bool left = x < kWidth / 2;
      gray[static_cast<std::size_t>(y * kWidth + x)] =
          frame == 0 ? (left ? 255 : 0) : frame == 1 ? (left ? 0 : 255) : 128;
    }
  }
  return gray;
}

// The matte folder of the session under the shipped root, removed at the end.
struct MatteFolderCleanup {
  std::string path;
  ~MatteFolderCleanup() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

TEST(PullAlphaEndToEnd, PullsAServedClipAndRendersItsMattes) {
  th::Host host;
  th::LoadResult loaded = host.load(TREVANE_BUNDLE_DIR);
  ASSERT_TRUE(loaded.ok()) << loaded.error;

  std::random_device random;
  const std::string id = "e2e-" + std::to_string(::getpid()) + "-" + std::to_string(random() % 1000000);
  const MatteFolderCleanup cleanup{"/tmp/orvalis/" + id};
  FakeBackend backend;
  const std::string session = std::string(kSessionsPath) + "/" + id;
  backend.on("POST", kSessionsPath).reply(200, sessionBody(id));
  backend.onPattern("PUT", kFramePattern).reply(200, "{}");
  backend.on("POST", session + "/start").reply(200, "{}");
  backend.on("GET", session).reply(200, R"({"status":"COMPLETED","progress":{"stage":"done"}})");
  for (int i = 0; i < 3; ++i) {
    backend.on("GET", session + "/alpha/" + std::to_string(i) + ".png")
        .reply(200, pngBytes(matteOf(i), kWidth, kHeight), "image/png");
  }

  auto made = loaded.plugin->createInstance();
  ASSERT_TRUE(made.ok()) << made.error();
  th::Instance &fx = **made;
  for (int i = 0; i < 3; ++i) fx.setSourceFrame(kFirstFrame + i, solidFrame(kWidth, kHeight, {0.8f, 0.6f, 0.4f, 1.0f}));
  ASSERT_TRUE(fx.setString("backend_url", backend.url()).ok());
  ASSERT_TRUE(fx.setInt("output_mode", kModeCharacter).ok());
  fx.setTime(kFirstFrame + 1);

  auto pressed = fx.pressButton("pull_alpha");
  ASSERT_TRUE(pressed.ok()) << pressed.error();
  EXPECT_EQ(kOfxStatOK, *pressed);
  const auto finished = [&] {
    const std::string s = *fx.getString("status");
    return s.rfind("ready: ", 0) == 0 || s.rfind("failed: ", 0) == 0;
  };
  ASSERT_TRUE(fx.pumpEventsUntil(finished, std::chrono::seconds(20))) << *fx.getString("status");

  EXPECT_EQ("ready: 3 frames matted", *fx.getString("status"));
  EXPECT_EQ(id, *fx.getString("session_id"));
  EXPECT_EQ("10.000000", *fx.getString("clip_start"));
  ASSERT_EQ(1u, host.messages().size());
  EXPECT_EQ("Orvalis: alpha ready for 3 frames.", host.messages()[0].text);
  // The request sequence and bodies are the worker tests' concern; here: the shipped root holds the mattes.
  EXPECT_EQ(0700, modeOf(cleanup.path));
  EXPECT_EQ((std::vector<std::string>{"000000.png", "000001.png", "000002.png"}), folderEntries(cleanup.path));

  const int y = kHeight / 2;
  const int leftX = 2;
  const int rightX = kWidth - 3;
  struct Expect {
    int frame;
    float leftAlpha;
    float rightAlpha;
  };
  for (const Expect e : {Expect{0, 1.0f, 0.0f}, Expect{1, 0.0f, 1.0f}, Expect{2, 128.0f / 255.0f, 128.0f / 255.0f}}) {
    const th::RenderResult r = fx.render(kFirstFrame + e.frame);
    ASSERT_EQ(kOfxStatOK, r.status) << r.error;
    const auto left = r.output.pixel(leftX, y);
    const auto right = r.output.pixel(rightX, y);
    ASSERT_TRUE(left && right);
    EXPECT_NEAR(e.leftAlpha, (*left)[3], 0.01f) << "frame " << e.frame;
    EXPECT_NEAR(e.rightAlpha, (*right)[3], 0.01f) << "frame " << e.frame;
    EXPECT_NEAR(0.8f * e.leftAlpha, (*left)[0], 0.01f) << "frame " << e.frame;
    EXPECT_EQ(0, r.leakedImages);
  }
  EXPECT_EQ(0, fx.unreleasedImages());
}

}  // namespace
}  // namespace jobtest
