// "Pull alpha (whole clip)" and the two other buttons, through the host on the probe build of the module:
// refusals, frame failures, the spool folder and its files, the settings reaching the job request (its text
// itself is pinned by the JobRequest tests), "clip_start", and the mends around the launch (private folders,
// a refused root, unreadable images, a worker that cannot start).

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ImageFiles.h"
#include "tests/job/JobFixture.h"

namespace jobtest {
namespace {

constexpr const char *kNoUrl = "Orvalis: paste your Backend URL first.";
constexpr const char *kBusy = "Orvalis: a matte is already being pulled.";
constexpr std::chrono::seconds kHold{20};  // a reply held this long lasts the whole test

class JobLaunch : public JobTest {
 protected:
  // The session reply is held: the launch has spooled and the worker waits, so the spool stays put.
  void holdSession() { backend_->on("POST", kSessionsPath).delay(kHold).reply(200, sessionBody(sessionId_)); }

  // The start request's body once the job has run.
  std::string jobRequestSent() {
    scriptHappySession();
    EXPECT_EQ(kOfxStatOK, press());
    EXPECT_TRUE(waitUntilIdle());
    const auto starts = requests("POST", kStartPattern);
    return starts.size() == 1 ? starts[0].body : "<" + std::to_string(starts.size()) + " start requests>";
  }

  std::vector<std::uint8_t> decodeSpooled(int index, int *width, int *height) {
    char name[16];
    std::snprintf(name, sizeof name, "%06d.jpg", index);
    return kesto::testing::load_rgba(spoolDir() + name, width, height);
  }
};

TEST_F(JobLaunch, RefusesWithoutABackendUrlThatBeginsWithHttp) {
  // Which texts pass is pinned by the beacon decision's table; here only that a refused one stops the launch.
  for (const std::string url : {"", "HTTP://127.0.0.1"}) {
    host_.clearMessages();
    ASSERT_TRUE(fx_->setString("backend_url", url).ok());
    EXPECT_EQ(kOfxStatOK, press()) << url;
    EXPECT_EQ(Texts{kNoUrl}, messages()) << "'" << url << "'";
    EXPECT_EQ("idle", status());
    EXPECT_EQ("0", param("clip_start"));
    EXPECT_FALSE(busy());
    EXPECT_TRUE(folderEntries(root()).empty());
  }
  EXPECT_EQ(0u, backend_->requestCount());
}

TEST_F(JobLaunch, ASecondPressWhileAJobRunsIsRefusedInEveryInstance) {
  holdSession();
  ASSERT_EQ(kOfxStatOK, press());
  ASSERT_TRUE(busy());
  ASSERT_EQ("grabbing 3 frames...", status());
  const Texts entries = folderEntries(root());
  ASSERT_EQ(1u, entries.size());

  EXPECT_EQ(kOfxStatOK, press());
  auto other = makeInstance(2);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(kOfxStatOK, press(other.get()));
  EXPECT_EQ((Texts{kBusy, kBusy}), messages());
  EXPECT_EQ("grabbing 3 frames...", status());
  EXPECT_EQ("idle", status(other.get()));
  EXPECT_EQ(entries, folderEntries(root())) << "a refused press made a folder";
  EXPECT_TRUE(busy()) << "the running job keeps the flag";
}

struct FrameFault {
  const char *name;
  int frame;
  th::FetchFault fault;  // None: serve an image without pixels instead
};

class JobLaunchFrameFailure : public JobLaunch, public ::testing::WithParamInterface<FrameFault> {};

TEST_P(JobLaunchFrameFailure, StopsTheLaunchAndFreesTheFlag) {
  const FrameFault f = GetParam();
  fx_ = makeInstance(6);
  if (f.fault == th::FetchFault::None) {
    fx_->setSourceFrame(f.frame, th::Image::make({0, 0, 0, 8}, th::PixelDepth::Byte));
  } else {
    fx_->setFetchFault(f.frame, f.fault);
  }
  EXPECT_EQ(kOfxStatOK, press());
  EXPECT_EQ(Texts{"Orvalis: could not read frame " + std::to_string(f.frame)}, messages());
  EXPECT_EQ("grabbing 6 frames...", status());
  EXPECT_EQ("0", param("clip_start"));
  EXPECT_FALSE(busy());
  EXPECT_TRUE(folderEntries(root()).empty()) << "the failed launch's spool folder is removed";
  EXPECT_EQ(0u, backend_->requestCount()) << "no worker ran";
  EXPECT_EQ(0, fx_->unreleasedImages());
  EXPECT_EQ(0, fx_->leakedImages());

  // The next press works again, in a new spool folder.
  fx_->setFetchFault(f.frame, th::FetchFault::None);
  fx_->setSourceFrame(f.frame, solidFrame(16, 8, {0.1f, 0.2f, 0.3f, 1.0f}));
  scriptHappySession();
  host_.clearMessages();
  EXPECT_EQ(kOfxStatOK, press());
  ASSERT_TRUE(waitUntilIdle());
  EXPECT_EQ("ready: 6 frames matted", status());
}

INSTANTIATE_TEST_SUITE_P(Faults, JobLaunchFrameFailure,
                         ::testing::Values(FrameFault{"FetchFails", 3, th::FetchFault::Fail},
                                           FrameFault{"NullData", 0, th::FetchFault::NullData},
                                           FrameFault{"NoPixels", 5, th::FetchFault::None}),
                         [](const auto &param) { return std::string(param.param.name); });

TEST_F(JobLaunch, SpoolsOneJpegPerFrameIntoAPrivateFolder) {
  fx_ = makeInstance(100, 8, 4);
  holdSession();
  ASSERT_EQ(kOfxStatOK, press());
  EXPECT_EQ("grabbing 100 frames...", status());
  const std::string dir = spoolDir();
  ASSERT_FALSE(dir.empty());
  const std::string id = dir.substr(root().size() + 7, 16);
  EXPECT_EQ(std::string::npos, id.find_first_not_of("0123456789abcdef")) << dir;
  EXPECT_EQ(root() + "upload_" + id + "/", dir);
  EXPECT_EQ(0700, modeOf(dir));
  EXPECT_EQ(0755, modeOf(root()));
  Texts expected;
  for (int i = 0; i < 100; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%06d.jpg", i);
    expected.push_back(name);
  }
  EXPECT_EQ(expected, folderEntries(dir));
  EXPECT_EQ(0, fx_->unreleasedImages());
  EXPECT_EQ(0, fx_->leakedImages());
}

// A smooth picture, whose JPEG at quality 92 stays close to it: component c of the pixel in column x and row y,
// both counted from the top left.
std::uint8_t knownComponent(int x, int y, int c) {
  return static_cast<std::uint8_t>(c == 0 ? 40 + 5 * x : c == 1 ? 30 + 6 * y : c == 2 ? 100 + 2 * (x + y) : 255);
}

// The host's image reaches the spool upright, at either depth and row order (sizes and sampling: the
// SpoolSize and SpoolResample tests).
TEST_F(JobLaunch, SpooledJpegsDecodeToTheUprightSource) {
  // What quality 92 costs a smooth picture, per component: the largest and the mean absolute error.
  constexpr int kMaxError = 8;
  constexpr double kMeanError = 1.5;
  const std::pair<th::PixelDepth, th::RowOrder> layouts[] = {{th::PixelDepth::Byte, th::RowOrder::BottomUp},
                                                             {th::PixelDepth::Float, th::RowOrder::TopDown}};
  for (const auto &[depth, order] : layouts) {
    SCOPED_TRACE(depth == th::PixelDepth::Byte ? "bytes" : "floats");
    fx_ = makeInstance(0, 16, 8, 0.0, depth);
    th::Image frame = th::Image::make({-10, 5, 22, 37}, depth, order, 24);
    for (int y = 5; y < 37; ++y) {
      for (int x = -10; x < 22; ++x) {
        // Image rows count from the bottom: row 36 is the top of the picture.
        th::Rgba value{};
        for (int c = 0; c < 4; ++c) value[static_cast<std::size_t>(c)] = knownComponent(x + 10, 36 - y, c) / 255.0f;
        frame.setPixel(x, y, value);
      }
    }
    fx_->setSourceFrame(0, frame);
    holdSession();
    ASSERT_EQ(kOfxStatOK, press());
    int w = 0;
    int h = 0;
    const std::vector<std::uint8_t> rgba = decodeSpooled(0, &w, &h);
    ASSERT_EQ(32, w);
    ASSERT_EQ(32, h);
    int worst = 0;
    double total = 0.0;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        for (int c = 0; c < 3; ++c) {
          const int error = std::abs(rgba[static_cast<std::size_t>((y * w + x) * 4 + c)] - knownComponent(x, y, c));
          worst = std::max(worst, error);
          total += error;
        }
      }
    }
    EXPECT_LE(worst, kMaxError);
    EXPECT_LE(total / (w * h * 3), kMeanError);
    // Let the held job go before the next round.
    fx_->destroy();
    stopBackend();
    ASSERT_TRUE(waitUntilIdle());
    backend_ = std::make_unique<FakeBackend>();
  }
}

TEST_F(JobLaunch, OneFrameClipsAndRangesThatEndBeforeTheyBeginSpoolOneFile) {
  fx_ = makeInstance(1, 16, 8, 10.0);  // a range of 10 to 10
  fx_->setTime(10);
  EXPECT_EQ(R"({"anchor_frame":0,"edge_softness":0.35,"quality":"fine","strokes":[],"text_prompt":""})",
            jobRequestSent());
  EXPECT_EQ(1u, requests("PUT", kFramePattern).size());
  EXPECT_EQ("ready: 1 frames matted", status());
  EXPECT_EQ("10.000000", param("clip_start"));

  fx_->setSourceFrameRange(10, 7);
  backend_->clearRequests();
  jobRequestSent();
  EXPECT_EQ(1u, requests("PUT", kFramePattern).size());
  EXPECT_EQ("ready: 1 frames matted", status());
}

TEST_F(JobLaunch, TheJobRequestCarriesTheSettingsByteForByte) {
  fx_ = makeInstance(5, 16, 8, 24.0);
  ASSERT_TRUE(fx_->setInt("quality", 1).ok());
  ASSERT_TRUE(fx_->setDouble("edge_softness", 0.5).ok());
  ASSERT_TRUE(fx_->setString("text_hint", "Zo\xC3\xAB \xF0\x9F\x99\x82").ok());
  ASSERT_TRUE(fx_->setString("bbox_json", R"({"x":0.5,"y":0.25,"w":0.25,"h":0.25})").ok());
  ASSERT_TRUE(fx_->setString("brush_json", R"([[0.5,0.5,0.03],[0.1,0.2,-0.05]])").ok());
  fx_->setTime(26.6);
  EXPECT_EQ(R"({"anchor_frame":3,"bbox":{"h":0.25,"w":0.25,"x":0.5,"y":0.25},"edge_softness":0.5,)"
            R"("quality":"fast","strokes":[[0.5,0.5,0.03],[0.1,0.2,-0.05]],"text_prompt":"Zo)"
            "\xC3\xAB \xF0\x9F\x99\x82\"}",
            jobRequestSent());
  EXPECT_EQ("24.000000", param("clip_start"));
}

TEST_F(JobLaunch, ClearSelectionResetsTheSelectionRecords) {
  ASSERT_TRUE(fx_->setString("bbox_json", R"({"x":0.1,"y":0.1,"w":0.2,"h":0.4})").ok());
  ASSERT_TRUE(fx_->setString("brush_json", "[[0.5,0.5,0.03]]").ok());
  auto pressed = fx_->pressButton("clear_mask");
  ASSERT_TRUE(pressed.ok());
  EXPECT_EQ(kOfxStatOK, *pressed);
  EXPECT_EQ("", param("bbox_json"));
  EXPECT_EQ("[]", param("brush_json"));
  EXPECT_TRUE(messages().empty());
  EXPECT_TRUE(folderEntries(root()).empty());
}

TEST_F(JobLaunch, ResetMatteShowsTheSourceAgainWithoutStoppingAJob) {
  ASSERT_TRUE(fx_->setString("session_id", "earlier").ok());
  auto pressed = fx_->pressButton("reset_matte");
  ASSERT_TRUE(pressed.ok());
  EXPECT_EQ(kOfxStatOK, *pressed);
  EXPECT_EQ("", param("session_id"));
  EXPECT_EQ("idle", status());

  // During a job: the poll is answered "working" until reset has been pressed.
  scriptHappySession();
  std::atomic<bool> resetDone{false};
  backend_->onPattern("GET", kPollPattern).respond([&](const RecordedRequest &) {
    return Reply{200, resetDone ? R"({"status":"COMPLETED"})" : R"({"status":"RUNNING"})", "application/json", {}};
  });
  ASSERT_EQ(kOfxStatOK, press());
  ASSERT_TRUE(fx_->pumpEventsUntil([&] { return requests("GET", kPollPattern).size() >= 2; }, kJobWait));
  ASSERT_TRUE(fx_->pressButton("reset_matte").ok());
  EXPECT_EQ("idle", status());
  EXPECT_TRUE(busy()) << "reset does not stop the job";
  resetDone = true;
  ASSERT_TRUE(waitUntilIdle());
  EXPECT_EQ("ready: 3 frames matted", status());
  EXPECT_EQ(sessionId_, param("session_id"));
}

TEST_F(JobLaunch, AWorkerThatCannotStartFreesTheFlagAndSaysSo) {
  failNextWorkerStart_();
  EXPECT_EQ(kOfxStatOK, press());
  EXPECT_EQ(Texts{"Orvalis: could not start the matte job."}, messages());
  EXPECT_FALSE(busy());
  EXPECT_TRUE(folderEntries(root()).empty());
  EXPECT_EQ(0u, backend_->requestCount());

  scriptHappySession();
  host_.clearMessages();
  EXPECT_EQ(kOfxStatOK, press());
  ASSERT_TRUE(waitUntilIdle());
  EXPECT_EQ("ready: 3 frames matted", status());
}

TEST_F(JobLaunch, ASpoolFrameThatCannotBeWrittenFailsTheLaunch) {
  // While frame 1 is fetched, a folder takes the place of frame 2's file.
  fx_ = makeInstance(0);
  fx_->setSourceProvider(
      [&](double time) {
        if (time == 1.0) ::mkdir((spoolDir() + "000002.jpg").c_str(), 0700);
        auto frame = std::make_shared<th::Image>(solidFrame(16, 8, {0.2f, 0.4f, 0.6f, 1.0f}));
        return std::shared_ptr<const th::Image>(frame);
      },
      0, 3);
  EXPECT_EQ(kOfxStatOK, press());
  const Texts shown = messages();
  ASSERT_EQ(1u, shown.size());
  EXPECT_EQ(0u, shown[0].rfind("Orvalis: could not write frame 2 to " + root() + "upload_", 0)) << shown[0];
  EXPECT_FALSE(busy());
  EXPECT_TRUE(folderEntries(root()).empty());
  EXPECT_EQ(0u, backend_->requestCount());
}

using JobRoot = JobLaunch;

TEST_F(JobRoot, ASymbolicLinkIsRefused) {
  const TempDir elsewhere;
  const std::string link = root() + "link";
  ASSERT_EQ(0, ::symlink(elsewhere.path().c_str(), link.c_str()));
  configure(kTestSilenceMs, link + "/");
  EXPECT_EQ(kOfxStatOK, press());
  EXPECT_EQ(Texts{"Orvalis: not writing frames: " + link + "/ is a symbolic link."}, messages());
  EXPECT_FALSE(busy());
  EXPECT_EQ(0u, backend_->requestCount());
  EXPECT_EQ("idle", status());
  EXPECT_TRUE(folderEntries(elsewhere.path()).empty());
}

}  // namespace
}  // namespace jobtest
