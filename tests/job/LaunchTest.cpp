// "Pull alpha (whole clip)" and the two other buttons, through the host on the probe build of the module:
// refused and failed launches, the spool folder and its files, the settings reaching the job request (its
// text itself is pinned by the JobRequest tests) and "clip_start".

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/job/JobFixture.h"
#include "tests/support/ImageFiles.h"

namespace jobtest {
namespace {

constexpr const char *kBusy = "Orvalis: a matte is already being pulled.";
constexpr std::chrono::seconds kHold{20};  // a reply held this long lasts the whole test

class JobLaunch : public JobTest {
 public:
  // The session reply is held: the launch has spooled and the worker waits, so the spool stays put.
  void holdSession() { backend_->on("POST", kSessionsPath).delay(kHold).reply(200, sessionBody(sessionId_)); }

  // The start request's body once the job has run.
  std::string jobRequestSent() {
    scriptHappySession();
    EXPECT_TRUE(runJob());
    const auto starts = requests("POST", kStartPattern);
    return starts.size() == 1 ? starts[0].body : "<" + std::to_string(starts.size()) + " start requests>";
  }
  TempDir elsewhere_;
};

struct Refusal {
  const char *name;
  std::function<void(JobLaunch &)> setUp;
  std::string message;        // the one host message, or its start when it ends in '*'
  const char *status;         // the status afterwards
  bool spooled;               // a spool folder was made, and removed
  const char *clipStart = "0";
};

void PrintTo(const Refusal &r, std::ostream *out) { *out << r.name; }

class JobRefused : public JobLaunch, public ::testing::WithParamInterface<Refusal> {};

// A refused or failed launch says why, removes its spool folder before it frees the flag, sends nothing and
// hands every image back.
TEST_P(JobRefused, SaysWhyAndLeavesNothing) {
  const Refusal &r = GetParam();
  r.setUp(*this);
  EXPECT_EQ(kOfxStatOK, press());
  const Texts shown = messages();
  ASSERT_EQ(1u, shown.size());
  if (r.message.back() == '*') {
    EXPECT_EQ(0u, shown[0].rfind(r.message.substr(0, r.message.size() - 1), 0)) << shown[0];
  } else {
    EXPECT_EQ(r.message, shown[0]);
  }
  EXPECT_EQ(r.status, status());
  EXPECT_EQ(r.clipStart, param("clip_start"));
  EXPECT_FALSE(busy());
  EXPECT_EQ(r.spooled ? 1 : 0, spoolsRemovedWhileBusy());
  EXPECT_EQ(Texts{}, folderEntries(root()));
  EXPECT_EQ(0u, backend_->requestCount());
  EXPECT_EQ(0, fx_->unreleasedImages());
  EXPECT_EQ(0, fx_->leakedImages());
}

void fetchFault(JobLaunch &t, int frame, th::FetchFault fault) {
  t.fx_ = t.makeInstance(6);
  if (fault == th::FetchFault::None) {
    t.fx_->setSourceFrame(frame, th::Image::make({0, 0, 0, 8}, th::PixelDepth::Byte));  // no pixels
  } else {
    t.fx_->setFetchFault(frame, fault);
  }
}

// Which URLs pass is pinned by the beacon decision's table; here only that a refused one stops the launch.
const Refusal kRefusals[] = {
    {"NoUrl", [](JobLaunch &t) { ASSERT_TRUE(t.fx_->setString("backend_url", "").ok()); },
     "Orvalis: paste your Backend URL first.", "idle", false},
    {"FetchFails", [](JobLaunch &t) { fetchFault(t, 3, th::FetchFault::Fail); }, "Orvalis: could not read frame 3",
     "grabbing 6 frames...", true},
    {"NoPixels", [](JobLaunch &t) { fetchFault(t, 5, th::FetchFault::None); }, "Orvalis: could not read frame 5",
     "grabbing 6 frames...", true},
    // While frame 1 of four (times 0 to 3) is fetched, a folder takes the place of frame 2's file.
    {"SpoolFileCannotBeWritten",
     [](JobLaunch &t) {
       t.fx_ = t.makeInstance(0);
       t.fx_->setSourceProvider(
           [&t](double time) {
             if (time == 1.0) ::mkdir((t.spoolDir() + "000002.jpg").c_str(), 0700);
             return std::make_shared<const th::Image>(solidFrame(16, 8, {0.2f, 0.4f, 0.6f, 1.0f}));
           },
           0, 3);
     },
     "Orvalis: could not write frame 2 to *", "grabbing 4 frames...", true},
    {"WorkerCannotStart", [](JobLaunch &t) { t.failNextWorkerStart_(); }, "Orvalis: could not start the matte job.",
     "grabbing 3 frames...", true, "0.000000"},
    // The root is a link to the test's own root, so nothing written through it goes unseen.
    {"JobRootIsALink",
     [](JobLaunch &t) {
       const std::string link = t.elsewhere_.path() + "link";
       ASSERT_EQ(0, ::symlink(t.root().c_str(), link.c_str()));
       t.configure(kTestSilenceMs, link + "/");
     },
     "Orvalis: not writing frames: *", "idle", false},
};

INSTANTIATE_TEST_SUITE_P(Launches, JobRefused, ::testing::ValuesIn(kRefusals),
                         [](const auto &param) { return std::string(param.param.name); });

TEST_F(JobLaunch, ASecondPressWhileAJobRunsIsRefusedInEveryInstance) {
  holdSession();
  ASSERT_EQ(kOfxStatOK, press());
  ASSERT_TRUE(busy());
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

// The folder's name and modes and the files' names are the JobFolders and Spooler tests'; here every frame
// gives a file and every image goes back.
TEST_F(JobLaunch, SpoolsOneJpegPerFrameIntoAPrivateFolder) {
  fx_ = makeInstance(100, 8, 4);
  holdSession();
  ASSERT_EQ(kOfxStatOK, press());
  EXPECT_EQ("grabbing 100 frames...", status());
  const std::string dir = spoolDir();
  EXPECT_EQ(0700, modeOf(dir));
  const Texts files = folderEntries(dir);
  ASSERT_EQ(100u, files.size());
  EXPECT_EQ("000099.jpg", files.back());
  EXPECT_EQ(0, fx_->unreleasedImages());
}

// The host's image reaches the spool upright, at either depth and row order, from bounds away from (0, 0)
// (sizes and sampling: the SpoolSize and SpoolResample tests). The picture is smooth, so its JPEG at quality
// 92 stays close: component c of the pixel in column x and row y, both counted from the top left.
std::uint8_t knownComponent(int x, int y, int c) {
  return static_cast<std::uint8_t>(c == 0 ? 40 + 5 * x : c == 1 ? 30 + 6 * y : 100 + 2 * (x + y));
}

TEST_F(JobLaunch, SpooledJpegsDecodeToTheUprightSource) {
  const std::pair<th::PixelDepth, th::RowOrder> layouts[] = {{th::PixelDepth::Byte, th::RowOrder::BottomUp},
                                                             {th::PixelDepth::Float, th::RowOrder::TopDown}};
  for (const auto &[depth, order] : layouts) {
    SCOPED_TRACE(depth == th::PixelDepth::Byte ? "bytes" : "floats");
    fx_ = makeInstance(0, 16, 8, 0.0, depth);
    th::Image frame = th::Image::make({-10, 5, 22, 37}, depth, order, 24);
    for (int y = 5; y < 37; ++y) {
      for (int x = -10; x < 22; ++x) {
        // Image rows count from the bottom: row 36 is the top of the picture.
        th::Rgba value{1, 1, 1, 1};
        for (int c = 0; c < 3; ++c) value[static_cast<std::size_t>(c)] = knownComponent(x + 10, 36 - y, c) / 255.0f;
        frame.setPixel(x, y, value);
      }
    }
    fx_->setSourceFrame(0, frame);
    holdSession();
    ASSERT_EQ(kOfxStatOK, press());
    int w = 0;
    int h = 0;
    const std::vector<std::uint8_t> rgba = kesto::testing::load_rgba(spoolDir() + "000000.jpg", &w, &h);
    ASSERT_EQ(32, w);
    ASSERT_EQ(32, h);
    int worst = 0;
    for (int i = 0; i < w * h * 4; ++i) {
      if (i % 4 != 3) worst = std::max(worst, std::abs(rgba[static_cast<std::size_t>(i)] - knownComponent(i / 4 % w, i / 4 / w, i % 4)));
    }
    EXPECT_LE(worst, 8) << "what quality 92 costs a smooth picture at most";
    // Let the held job go before the next round.
    fx_->destroy();
    stopBackend();
    ASSERT_TRUE(waitUntilIdle());
    backend_ = std::make_unique<FakeBackend>();
  }
}

TEST_F(JobLaunch, TheJobRequestAndClipStartCarryTheSettingsAndRange) {
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
  EXPECT_EQ(5u, requests("PUT", kFramePattern).size());
  EXPECT_EQ("24.000000", param("clip_start"));

  // A one-frame clip (10 to 10) and a range that ends before it begins both spool one file.
  for (double last : {10.0, 7.0}) {
    fx_ = makeInstance(1, 16, 8, 10.0);
    fx_->setSourceFrameRange(10, last);
    backend_->clearRequests();
    EXPECT_NE(std::string::npos, jobRequestSent().find(R"("anchor_frame":0,)")) << last;
    EXPECT_EQ(1u, requests("PUT", kFramePattern).size()) << last;
    EXPECT_EQ("ready: 1 frames matted", status()) << last;
    EXPECT_EQ("10.000000", param("clip_start"));
  }
}

TEST_F(JobLaunch, ClearSelectionAndResetMatteLeaveARunningJobAlone) {
  ASSERT_TRUE(fx_->setString("bbox_json", R"({"x":0.1,"y":0.1,"w":0.2,"h":0.4})").ok());
  ASSERT_TRUE(fx_->setString("brush_json", "[[0.5,0.5,0.03]]").ok());
  ASSERT_TRUE(fx_->setString("session_id", "earlier").ok());
  // The poll is answered "working" until both buttons have been pressed.
  scriptHappySession();
  std::atomic<bool> pressed{false};
  backend_->onPattern("GET", kPollPattern).respond([&](const RecordedRequest &) {
    return json(pressed ? R"({"status":"COMPLETED"})" : R"({"status":"RUNNING"})");
  });
  ASSERT_EQ(kOfxStatOK, press());
  ASSERT_TRUE(fx_->pumpEventsUntil([&] { return requests("GET", kPollPattern).size() >= 2; }, kJobWait));
  for (const char *button : {"clear_mask", "reset_matte"}) {
    auto result = fx_->pressButton(button);
    ASSERT_TRUE(result.ok()) << button;
    EXPECT_EQ(kOfxStatOK, *result) << button;
  }
  EXPECT_EQ("", param("bbox_json"));
  EXPECT_EQ("[]", param("brush_json"));
  EXPECT_EQ("", param("session_id"));
  EXPECT_EQ("idle", status());
  EXPECT_TRUE(busy()) << "reset does not stop the job";
  EXPECT_TRUE(messages().empty());
  pressed = true;
  ASSERT_TRUE(waitUntilIdle());
  EXPECT_EQ("ready: 3 frames matted", status());
  EXPECT_EQ(sessionId_, param("session_id"));
}

}  // namespace
}  // namespace jobtest
