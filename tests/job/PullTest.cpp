// "Pull alpha (whole clip)" and the two other buttons, through the host on the probe build of the module,
// against the fake backend: every way a press ends - refused or failed launches, each failure reason of the
// matte worker in "status" and the host message, once per step (the reply readers' own refusals are tested
// with them), and a whole session with its requests in order, the settings reaching the job request (its
// text's own rules are the JobRequest tests'), "clip_start" and its progress texts; then the spooled pixels,
// presses while a job runs and the buttons that leave it alone. Whatever happens, the host survives and gets its images
// back, the busy flag is freed only after the spool folder went, and nothing is written outside the job's
// own folders. A job whose instance goes is the stress tests'.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "plugin/JobFolders.h"
#include "plugin/Spooler.h"
#include "tests/job/JobFixture.h"
#include "tests/support/ImageFiles.h"

namespace jobtest {
namespace {

using Answer = std::function<Reply(const RecordedRequest &)>;

// Replies in turn; the last one repeats.
Answer inTurn(std::vector<Reply> replies) {
  auto count = std::make_shared<std::atomic<std::size_t>>(0);
  return [replies, count](const RecordedRequest &) { return replies[std::min((*count)++, replies.size() - 1)]; };
}

// The silence limit of these cases: short, so that a backend that stops answering ends the job soon.
constexpr int kEndingSilenceMs = 400;
constexpr const char *kEscape = "/tmp/trevane-hostile-escape";
constexpr const char *kCannotReach = "failed: cannot reach backend";
constexpr const char *kReady = "ready: 3 frames matted";

class JobEnding;

struct Ending {
  const char *name;
  // Scripts the backend, the disk or the instance after the happy session has been scripted.
  std::function<void(JobEnding &)> script;
  // The final status; "{dir}" stands for the matte folder.
  std::string expected;
  // More to look at once the job has ended.
  std::function<void(JobEnding &)> check = nullptr;
  int frames = 3;
  // The one host message, or its start when it ends in '*'; by default the one of the status.
  std::string message = "";
};

void PrintTo(const Ending &e, std::ostream *out) { *out << e.name; }

class JobEnding : public JobTest, public ::testing::WithParamInterface<Ending> {
 public:
  // Answers `pattern` with `answer`, first noting the status the instance shows when it is not the last noted.
  void noteStatusAt(const std::string &method, const char *pattern, Answer answer) {
    backend_->onPattern(method, pattern).respond([this, answer](const RecordedRequest &r) {
      std::lock_guard<std::mutex> lock(mu_);
      if (noted_.empty() || noted_.back() != status()) noted_.push_back(status());
      return answer(r);
    });
  }
  // What server threads noted; the lock also makes their writes visible to the test's thread, which
  // ThreadSanitizer cannot follow through the socket and the busy flag.
  std::mutex mu_;
  Texts noted_;
};

kesto::test::Route frame(JobTest &t, int i) { return t.backend_->on("PUT", t.sessionPath() + "/frames/" + std::to_string(i)); }
kesto::test::Route polls(JobTest &t) { return t.backend_->onPattern("GET", kPollPattern); }

// The host's image reaches the spool upright from its bounds, depth and row stride: floats stored top row
// first, bounds away from (0, 0). Sizes, sampling and the other layouts are the SpoolSize and SpoolResample
// tests'. The picture is smooth, so its JPEG at quality 92 stays close: component c of the pixel in column x
// and row y, both counted from the top left.
std::uint8_t knownComponent(int x, int y, int c) {
  return static_cast<std::uint8_t>(c == 0 ? 40 + 5 * x : c == 1 ? 30 + 6 * y : 100 + 2 * (x + y));
}

// Every setting reaches the start request, over a clip of floats from time 24 shown at 24.6 (frame 1), its
// first frame the known picture. At the upload of frame i, the spool files of the frames before it are gone
// and the others still there.
void settingsAndSpoolFiles(JobEnding &t) {
  t.fx_ = t.makeInstance(3, 16, 8, 24.0, th::PixelDepth::Float);
  th::Image known = th::Image::make({-10, 5, 22, 37}, th::PixelDepth::Float, th::RowOrder::TopDown, 24);
  for (int y = 5; y < 37; ++y) {
    for (int x = -10; x < 22; ++x) {
      // Image rows count from the bottom: row 36 is the top of the picture.
      th::Rgba value{1, 1, 1, 1};
      for (int c = 0; c < 3; ++c) value[static_cast<std::size_t>(c)] = knownComponent(x + 10, 36 - y, c) / 255.0f;
      known.setPixel(x, y, value);
    }
  }
  t.fx_->setSourceFrame(24.0, known);
  ASSERT_TRUE(t.fx_->setInt("quality", 1).ok());
  ASSERT_TRUE(t.fx_->setDouble("edge_softness", 0.5).ok());
  ASSERT_TRUE(t.fx_->setString("text_hint", "Zo\xC3\xAB \xF0\x9F\x99\x82").ok());
  ASSERT_TRUE(t.fx_->setString("bbox_json", R"({"x":0.5,"y":0.25,"w":0.25,"h":0.25})").ok());
  ASSERT_TRUE(t.fx_->setString("brush_json", R"([[0.5,0.5,0.03],[0.1,0.2,-0.05]])").ok());
  t.fx_->setTime(24.6);
  t.backend_->onPattern("PUT", kFramePattern).respond([&t](const RecordedRequest &r) {
    const int i = std::stoi(r.path.substr(r.path.rfind('/') + 1));
    std::lock_guard<std::mutex> lock(t.mu_);
    for (int k = 0; k < 3; ++k) {
      if (exists(kesto::spool_file_path(t.spoolDir(), k)) != (k >= i)) t.noted_.push_back(r.path + " file " + std::to_string(k));
    }
    return json("{}");
  });
}

void checkWholeSession(JobEnding &t) {
  Texts sequence;
  for (const RecordedRequest &r : t.backend_->requests()) sequence.push_back(r.method + " " + r.path);
  const std::string s = t.sessionPath();
  EXPECT_EQ((Texts{"POST /api/matte/sessions", "PUT " + s + "/frames/0", "PUT " + s + "/frames/1",
                   "PUT " + s + "/frames/2", "POST " + s + "/start", "GET " + s, "GET " + s + "/alpha/0.png",
                   "GET " + s + "/alpha/1.png", "GET " + s + "/alpha/2.png"}),
            sequence);
  {
    std::lock_guard<std::mutex> lock(t.mu_);
    EXPECT_EQ(Texts{}, t.noted_);
  }
  // The headers every request carries are the HTTP client's tests', the request text's own rules JobRequest's.
  EXPECT_EQ(R"({"fps":25.0,"source":"plugin"})", t.requests("POST", kSessionsPath).at(0).body);
  EXPECT_EQ(R"({"anchor_frame":1,"bbox":{"h":0.25,"w":0.25,"x":0.5,"y":0.25},"edge_softness":0.5,)"
            R"("quality":"fast","strokes":[[0.5,0.5,0.03],[0.1,0.2,-0.05]],"text_prompt":"Zo)"
            "\xC3\xAB \xF0\x9F\x99\x82\"}",
            t.requests("POST", kStartPattern).at(0).body);
  EXPECT_EQ("24.000000", t.param("clip_start"));
  for (const RecordedRequest &put : t.requests("PUT", kFramePattern)) EXPECT_EQ("image/jpeg", put.header("Content-Type"));
  const std::string jpeg = t.elsewhere_.dir() + "frame0.jpg";
  std::ofstream(jpeg, std::ios::binary) << t.requests("PUT", s + "/frames/0").at(0).body;
  int w = 0;
  int h = 0;
  const std::vector<std::uint8_t> rgba = kesto::testing::load_rgba(jpeg, &w, &h);
  ASSERT_EQ(32, w);
  ASSERT_EQ(32, h);
  int worst = 0;
  for (int i = 0; i < w * h * 4; ++i) {
    if (i % 4 != 3) worst = std::max(worst, std::abs(rgba[static_cast<std::size_t>(i)] - knownComponent(i / 4 % w, i / 4 / w, i % 4)));
  }
  EXPECT_LE(worst, 8) << "what quality 92 costs a smooth picture at most";
  EXPECT_EQ(0700, modeOf(t.matteDir()));
  EXPECT_EQ((Texts{"000000.png", "000001.png", "000002.png"}), folderEntries(t.matteDir()));
  for (const std::string &name : folderEntries(t.matteDir())) EXPECT_EQ(t.matte_, fileText(t.matteDir() + name)) << name;
}

// Uploads and downloads show their progress every 24 frames, counted from 1; polls show the backend's stage
// once it gives one, and an unusable reply (or one without progress) leaves the status as it was (which replies
// are unusable: the reply readers' table). The worker
// waits for each reply, so the statuses seen at the requests are all it showed, in order.
void recordStatusTexts(JobEnding &t) {
  t.noteStatusAt("PUT", kFramePattern, inTurn({json("{}")}));
  t.noteStatusAt("POST", kStartPattern, inTurn({json("{}")}));
  t.noteStatusAt("GET", kPollPattern,
                 inTurn({json("{}", 503), json(R"({"status":"RUNNING","progress":{"stage":"propagating"}})"),
                         json(R"({"status":"RUNNING","progress":{}})"), json(R"({"status":"RUNNING"})"),
                         json(R"({"status":"COMPLETED"})")}));
  t.noteStatusAt("GET", kMattePattern, inTurn({Reply{200, t.matte_, "image/png", {}}}));
}

void checkStatusTexts(JobEnding &t) {
  std::lock_guard<std::mutex> lock(t.mu_);
  EXPECT_EQ((Texts{"grabbing 26 frames...", "uploading 1/26", "uploading 25/26", "tracking: propagating", "tracking: ...",
                   "downloading matte 1/26", "downloading matte 25/26"}),
            t.noted_);
  EXPECT_EQ(5u, t.count("GET", kPollPattern));
}

// A refused or failed launch sends nothing, and sets "clip_start" only once the frames are spooled.
void sentNothingWithClipStart(JobEnding &t, const char *clipStart) {
  EXPECT_EQ(0u, t.backend_->requests().size());
  EXPECT_EQ(clipStart, t.param("clip_start"));
}
void sentNothing(JobEnding &t) { sentNothingWithClipStart(t, "0"); }

// While frame 0 is uploaded, frame 1's spool file goes.
void spoolFileGoes(JobEnding &t) {
  frame(t, 0).respond([&t](const RecordedRequest &) {
    std::remove((t.spoolDir() + "000001.jpg").c_str());
    return json("{}");
  });
}

const std::vector<Ending> &endings() {
  static const std::vector<Ending> all = {
      {"WholeSessionInOrder", settingsAndSpoolFiles, kReady, checkWholeSession},
      {"StatusTextsFollowTheJob", recordStatusTexts, "ready: 26 frames matted", checkStatusTexts, 26},
      // Launches. Which URLs pass is pinned by the beacon decision's table; here only that a refused one
      // stops the launch.
      {"NoUrl", [](JobEnding &t) { ASSERT_TRUE(t.fx_->setString("backend_url", "").ok()); }, "idle", sentNothing, 3,
       "Orvalis: paste your Backend URL first."},
      // Which images are read and what a failed spool says are the SpoolResample and Spooler tests'; here only
      // that a failed spool stops the launch.
      {"FetchFails",
       [](JobEnding &t) {
         t.fx_ = t.makeInstance(6);
         t.fx_->setFetchFault(3, th::FetchFault::Fail);
       },
       "grabbing 6 frames...", sentNothing, 3, "Orvalis: could not read frame 3"},
      {"WorkerCannotStart", [](JobEnding &t) { t.failNextWorkerStart_(); }, "grabbing 3 frames...",
       [](JobEnding &t) { sentNothingWithClipStart(t, "0.000000"); }, 3, "Orvalis: could not start the matte job."},
      // The root is a link to the test's own root, so nothing written through it goes unseen.
      {"JobRootIsALink",
       [](JobEnding &t) {
         const std::string link = t.elsewhere_.dir() + "link";
         ASSERT_EQ(0, ::symlink(t.root().c_str(), link.c_str()));
         t.configure(kTestSilenceMs, link + "/");
       },
       "idle", sentNothing, 3, "Orvalis: not writing frames: *"},
      // Creating the session.
      {"BackendUnreachable", [](JobEnding &t) { t.backend_.reset(); }, kCannotReach},
      {"UrlWithATrailingSlashIsSentAsItIs",
       [](JobEnding &t) { ASSERT_TRUE(t.fx_->setString("backend_url", t.backend_->url() + "/").ok()); }, kCannotReach,
       [](JobEnding &t) { EXPECT_EQ("//api/matte/sessions", t.backend_->requests().at(0).path); }},
      {"SessionIdTraversal",
       [](JobEnding &t) { t.backend_->on("POST", kSessionsPath).reply(200, R"({"session_id":"../trevane-hostile-escape"})"); },
       "failed: backend sent an unusable session id"},
      // Uploads and start.
      {"UploadsAreTriedThreeTimesAndDroppedConnectionsCount",
       [](JobEnding &t) {
         frame(t, 0).dropFirst(2).reply(200, "{}");
         frame(t, 1).respond(inTurn({json("{}", 503), json("{}", 503), json("{}")}));
       },
       kReady,
       [](JobEnding &t) {
         EXPECT_EQ(3u, t.count("PUT", t.sessionPath() + "/frames/0"));
         const auto puts = t.requests("PUT", t.sessionPath() + "/frames/1");
         ASSERT_EQ(3u, puts.size());
         EXPECT_EQ(puts[0].body, puts[2].body);
       }},
      {"ThreeFailedUploads", [](JobEnding &t) { frame(t, 1).reply(500); },
       "failed: upload failed at frame 1",
       [](JobEnding &t) {
         EXPECT_EQ(3u, t.count("PUT", t.sessionPath() + "/frames/1"));
         EXPECT_EQ(0u, t.count("PUT", t.sessionPath() + "/frames/2"));
         EXPECT_EQ(0u, t.count("POST", kStartPattern));
       }},
      {"SpoolFileGone", spoolFileGoes, "failed: could not read spooled frame 1",
       [](JobEnding &t) { EXPECT_EQ(0u, t.count("PUT", t.sessionPath() + "/frames/1")) << "an empty body was sent"; }},
      // How much of the body is quoted is the reply readers' table.
      {"StartRejectedQuotesTheBody",
       [](JobEnding &t) { t.backend_->onPattern("POST", kStartPattern).reply(422, "no anchor\nframe"); },
       "failed: start rejected: no anchor frame", [](JobEnding &t) { EXPECT_EQ(0u, t.count("GET", kPollPattern)); }},
      // Polls: a backend that keeps working is polled beyond the silence limit, one that stops answering is not.
      {"ABackendThatKeepsWorkingIsPolledWithoutLimit",
       [](JobEnding &t) {
         std::vector<Reply> replies(2 * kEndingSilenceMs / kTestPollMs, json(R"({"status":"RUNNING"})"));
         replies.push_back(json(R"({"status":"COMPLETED"})"));
         polls(t).respond(inTurn(replies));
       },
       kReady},
      {"PollsStopAnswering", [](JobEnding &t) { polls(t).respond(inTurn({json(R"({"status":"RUNNING"})"), json("{}", 503)})); },
       "failed: backend stopped answering"},
      {"MattingFailedWithTheBackendsError",
       [](JobEnding &t) { polls(t).reply(200, R"({"status":"FAILED","error":"no person found, 100% sure %s%n"})"); },
       "failed: no person found, 100% sure %s%n", [](JobEnding &t) { EXPECT_EQ(0u, t.count("GET", kMattePattern)); }},
      // Mattes.
      {"DownloadFailureKeepsTheMattesBeforeIt",
       [](JobEnding &t) {
         t.backend_->on("GET", t.sessionPath() + "/alpha/7.png").reply(404, "<html>gone</html>", "text/html");
       },
       "failed: download failed at frame 7",
       [](JobEnding &t) {
         Texts kept;
         for (int i = 0; i < 7; ++i) kept.push_back(kesto::matte_file_path("", i));
         EXPECT_EQ(kept, folderEntries(t.matteDir()));
       },
       10},
      {"MatteFileCannotBeWritten",
       [](JobEnding &t) {
         ASSERT_EQ(0, ::mkdir(t.matteDir().c_str(), 0700));
         ASSERT_EQ(0, ::mkdir((t.matteDir() + "000001.png").c_str(), 0700));
       },
       "failed: could not write the matte of frame 1 to {dir}"},
      {"MatteFolderIsALink",
       [](JobEnding &t) { ASSERT_EQ(0, ::symlink(t.elsewhere_.dir().c_str(), (t.root() + t.sessionId_).c_str())); },
       "failed: could not create the matte folder {dir}",
       [](JobEnding &t) { EXPECT_TRUE(folderEntries(t.elsewhere_.dir()).empty()); }},
      {"MatteNotPng",
       [](JobEnding &t) { t.backend_->onPattern("GET", kMattePattern).reply(200, "<html>not a png</html>", "text/html"); },
       kReady},
  };
  return all;
}

TEST_P(JobEnding, EndsSoundly) {
  const Ending &e = GetParam();
  configure(kEndingSilenceMs, root());
  if (e.frames != 3) fx_ = makeInstance(e.frames, 4, 4);
  scriptHappySession();
  e.script(*this);
  ASSERT_TRUE(fx_->setString("session_id", "earlier").ok());
  EXPECT_EQ(kOfxStatOK, press());
  ASSERT_TRUE(waitUntilIdle()) << "the job did not end";
  std::string expected = e.expected;
  const std::size_t dir = expected.find("{dir}");
  if (dir != std::string::npos) expected.replace(dir, 5, matteDir());
  const std::string finalStatus = status();
  EXPECT_EQ(expected, finalStatus);
  const bool ready = finalStatus.rfind("ready: ", 0) == 0;
  std::string message = !e.message.empty() ? e.message
                        : ready            ? "Orvalis: alpha ready for " + std::to_string(e.frames) + " frames."
                                           : "Orvalis: " + finalStatus.substr(8);
  const Texts shown = messages();
  ASSERT_EQ(1u, shown.size());
  // A closing '*' stands for the rest of the message shown.
  if (message.back() == '*') message.replace(message.size() - 1, 1, shown[0].substr(std::min(shown[0].size(), message.size() - 1)));
  EXPECT_EQ(message, shown[0]);
  EXPECT_EQ(ready ? sessionId_ : "earlier", param("session_id")) << "a failed job keeps the session shown before";
  // A launch refused before spooling (the status still idle) made no spool folder; any other made one.
  EXPECT_EQ(e.expected == "idle" ? 0 : 1, spoolsRemovedWhileBusy()) << "the busy flag was freed before the spool folder went";
  EXPECT_EQ(0, fx_->unreleasedImages());
  EXPECT_EQ(0, fx_->leakedImages());
  // Only the session's own matte folder may remain in the root, holding only the clip's mattes.
  const Texts entries = folderEntries(root());
  EXPECT_TRUE(entries.empty() || entries == Texts{sessionId_}) << entries.size() << " entries, first " << entries[0];
  for (const std::string &name : entries.empty() ? Texts{} : folderEntries(matteDir())) {
    const int index = std::stoi(name);
    EXPECT_TRUE(index >= 0 && index < e.frames && name == kesto::matte_file_path("", index)) << name;
  }
  EXPECT_FALSE(exists(kEscape));
  if (e.check) e.check(*this);
}

INSTANTIATE_TEST_SUITE_P(Cases, JobEnding, ::testing::ValuesIn(endings()),
                         [](const auto &param) { return std::string(param.param.name); });

class JobLaunch : public JobTest {};

// While a job runs, a press of "Pull alpha" is refused in every instance and makes no folder, and "Clear
// selection" and "Reset matte" leave the job alone.
TEST_F(JobLaunch, WhileAJobRunsPullIsRefusedEverywhereAndClearAndResetLeaveItAlone) {
  ASSERT_TRUE(fx_->setString("bbox_json", R"({"x":0.1,"y":0.1,"w":0.2,"h":0.4})").ok());
  ASSERT_TRUE(fx_->setString("brush_json", "[[0.5,0.5,0.03]]").ok());
  ASSERT_TRUE(fx_->setString("session_id", "earlier").ok());
  // The poll is answered "working" until the buttons have been pressed.
  scriptHappySession();
  std::atomic<bool> pressed{false};
  polls(*this).respond([&](const RecordedRequest &) {
    return json(pressed ? R"({"status":"COMPLETED"})" : R"({"status":"RUNNING"})");
  });
  ASSERT_EQ(kOfxStatOK, press());
  ASSERT_TRUE(fx_->pumpEventsUntil([&] { return count("GET", kPollPattern) >= 2; }, kJobWait));
  const std::string running = status();
  EXPECT_EQ(kOfxStatOK, press());
  auto other = makeInstance(2);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(kOfxStatOK, press(other.get()));
  EXPECT_EQ((Texts{kBusyMessage, kBusyMessage}), messages());
  EXPECT_EQ(running, status());
  EXPECT_EQ("idle", status(other.get()));
  EXPECT_EQ(1u, folderEntries(root()).size()) << "a refused press made a folder";
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
  EXPECT_EQ(2u, messages().size()) << "the buttons show no message";
  pressed = true;
  ASSERT_TRUE(waitUntilIdle());
  EXPECT_EQ(kReady, status());
  EXPECT_EQ(sessionId_, param("session_id"));
}

TEST_F(JobLaunch, WithoutAMessageSuiteAJobRunsTheSameSilently) {
  th::HostOptions options;
  options.withheldSuites = {kOfxMessageSuite};
  th::Host quiet(options);
  th::LoadResult loaded = quiet.load(JOB_PROBE_BUNDLE);  // the module now sees no message suite
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  auto fx = makeInstance(2, 8, 8, 0.0, th::PixelDepth::Byte, loaded.plugin.get());
  ASSERT_NE(fx, nullptr);
  scriptHappySession();
  EXPECT_EQ(kOfxStatOK, press(fx.get()));
  ASSERT_TRUE(fx->pumpEventsUntil([&] { return !busy(); }, kJobWait));
  EXPECT_EQ("ready: 2 frames matted", status(fx.get()));
  EXPECT_EQ(sessionId_, param("session_id", fx.get()));
  EXPECT_TRUE(quiet.messages().empty());
}

}  // namespace
}  // namespace jobtest
