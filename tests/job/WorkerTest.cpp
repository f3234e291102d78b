// The matte worker against the fake backend, through the host on the probe build of the module: the
// request sequence with bodies and headers, the progress texts, and every way a job ends - each failure
// reason in "status" and the host message, once per step (the reply readers' own refusals are tested with
// them). Whatever happens, the host survives, the busy flag is freed only after the spool folder went, and
// nothing is written outside the job's own folders.

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/job/JobFixture.h"

namespace jobtest {
namespace {

// Replies in turn; the last one repeats.
std::function<Reply(const RecordedRequest &)> inTurn(std::vector<Reply> replies) {
  auto count = std::make_shared<std::atomic<std::size_t>>(0);
  return [replies, count](const RecordedRequest &) {
    const std::size_t n = (*count)++;
    return replies[std::min(n, replies.size() - 1)];
  };
}

std::string frameName(int index, const char *extension) {
  char name[24];
  std::snprintf(name, sizeof name, "%06d.%s", index, extension);
  return name;
}

class MatteWorker : public JobTest {
 protected:
  // Answers `pattern` with `answer`, first noting the status the instance shows, under "METHOD /path" and,
  // for polls, "poll N".
  void recordStatusAt(const std::string &method, const char *pattern,
                      std::function<Reply(const RecordedRequest &)> answer) {
    auto polls = std::make_shared<std::atomic<int>>(0);
    backend_->onPattern(method, pattern).respond([this, method, answer, polls](const RecordedRequest &r) {
      std::lock_guard<std::mutex> lock(seenMu_);
      if (!instanceGone_) {
        seen_[method + " " + r.path] = status();
        if (r.path == sessionPath()) seen_["poll " + std::to_string((*polls)++)] = status();
      }
      return answer(r);
    });
  }
  std::string seenAt(const std::string &key) {
    std::lock_guard<std::mutex> lock(seenMu_);
    return seen_.count(key) != 0 ? seen_[key] : "<no request " + key + ">";
  }

  // Destroys the instance while the backend may be answering: the handler above stops reading its status
  // first, so no server thread reads the instance while it goes.
  void destroyInstanceUnderTheBackend() {
    {
      std::lock_guard<std::mutex> lock(seenMu_);
      instanceGone_ = true;
    }
    fx_->destroy();
  }

  std::mutex seenMu_;
  std::map<std::string, std::string> seen_;
  bool instanceGone_ = false;  // guarded by seenMu_
};

TEST_F(MatteWorker, RunsTheWholeSessionInOrderRemovingEachSpoolFileOnceSent) {
  scriptHappySession();
  // At the upload of frame i, the files of the frames before it are gone and the others still there.
  std::mutex mu;
  std::vector<std::string> wrong;
  backend_->onPattern("PUT", kFramePattern).respond([&](const RecordedRequest &r) {
    const int i = std::stoi(r.path.substr(r.path.rfind('/') + 1));
    std::lock_guard<std::mutex> lock(mu);
    for (int k = 0; k < 3; ++k) {
      if (exists(spoolDir() + frameName(k, "jpg")) != (k >= i)) wrong.push_back(r.path + " file " + std::to_string(k));
    }
    return json("{}");
  });
  ASSERT_TRUE(runJob());
  Texts sequence;
  for (const RecordedRequest &r : backend_->requests()) sequence.push_back(r.method + " " + r.path);
  const std::string s = sessionPath();
  EXPECT_EQ((Texts{"POST /api/matte/sessions", "PUT " + s + "/frames/0", "PUT " + s + "/frames/1",
                   "PUT " + s + "/frames/2", "POST " + s + "/start", "GET " + s, "GET " + s + "/alpha/0.png",
                   "GET " + s + "/alpha/1.png", "GET " + s + "/alpha/2.png"}),
            sequence);
  {
    // The handler's writes reach this thread through the socket and the busy flag, which ThreadSanitizer
    // cannot follow; the lock makes the order visible.
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(Texts{}, wrong);
  }

  const RecordedRequest create = backend_->requests("POST", kSessionsPath).at(0);
  EXPECT_EQ(R"({"fps":25.0,"source":"plugin"})", create.body);
  EXPECT_EQ("application/json", create.header("Content-Type"));
  EXPECT_EQ("application/json", create.header("Accept"));
  EXPECT_EQ("OrvalisTrevane-OFX/1.1", create.header("User-Agent"));
  for (const RecordedRequest &put : requests("PUT", kFramePattern)) {
    EXPECT_EQ("image/jpeg", put.header("Content-Type"));
    EXPECT_EQ("\xFF\xD8", put.body.substr(0, 2)) << "the spool file";
  }
  const RecordedRequest start = requests("POST", kStartPattern).at(0);
  EXPECT_EQ(R"({"anchor_frame":0,"edge_softness":0.35,"quality":"fine","strokes":[],"text_prompt":""})", start.body);
  EXPECT_EQ("application/json", start.header("Content-Type"));

  EXPECT_EQ("ready: 3 frames matted", status());
  EXPECT_EQ(sessionId_, param("session_id"));
  EXPECT_EQ(Texts{"Orvalis: alpha ready for 3 frames."}, messages());
  const std::string matteDir = root() + sessionId_ + "/";
  EXPECT_EQ(0700, modeOf(matteDir));
  EXPECT_EQ((Texts{"000000.png", "000001.png", "000002.png"}), folderEntries(matteDir));
  for (const std::string &name : folderEntries(matteDir)) EXPECT_EQ(matte_, readFile(matteDir + name)) << name;
  EXPECT_EQ(Texts{sessionId_}, folderEntries(root())) << "the spool folder is gone";
  EXPECT_EQ(1, spoolsRemovedWhileBusy()) << "the busy flag was freed before the spool folder went";
}

// Uploads and downloads show their progress every 24 frames; polls show the backend's stage once it gives
// one, and unusable replies (or ones without progress) leave the status as it was.
TEST_F(MatteWorker, StatusTextsFollowTheJob) {
  fx_ = makeInstance(50, 4, 4);
  scriptHappySession();
  const auto answer = [](Reply reply) { return [reply](const RecordedRequest &) { return reply; }; };
  recordStatusAt("PUT", kFramePattern, answer(json("{}")));
  recordStatusAt("POST", kStartPattern, answer(json("{}")));
  recordStatusAt("GET", kPollPattern,
                 inTurn({json("{}", 503), json("not json"), json(R"({"status":"completed"})"),
                         json(R"({"status":"RUNNING","progress":{"stage":"propagating"}})"),
                         json(R"({"status":"RUNNING","progress":{}})"), json(R"({"status":"RUNNING"})"),
                         json(R"({"status":"COMPLETED"})")}));
  recordStatusAt("GET", kMattePattern, answer(Reply{200, matte_, "image/png", {}}));
  ASSERT_TRUE(runJob());
  const std::string s = sessionPath();
  const std::pair<std::string, const char *> expected[] = {
      {"PUT " + s + "/frames/0", "grabbing 50 frames..."},
      {"PUT " + s + "/frames/1", "uploading 1/50"},
      {"PUT " + s + "/frames/24", "uploading 1/50"},
      {"PUT " + s + "/frames/25", "uploading 25/50"},
      {"PUT " + s + "/frames/49", "uploading 49/50"},
      {"POST " + s + "/start", "uploading 49/50"},
      {"poll 3", "uploading 49/50"},
      {"poll 4", "tracking: propagating"},
      {"poll 5", "tracking: ..."},
      {"poll 6", "tracking: ..."},
      {"GET " + s + "/alpha/0.png", "tracking: ..."},
      {"GET " + s + "/alpha/1.png", "downloading matte 1/50"},
      {"GET " + s + "/alpha/48.png", "downloading matte 25/50"},
      {"GET " + s + "/alpha/49.png", "downloading matte 49/50"},
  };
  for (const auto &[at, text] : expected) EXPECT_EQ(text, seenAt(at)) << at;
  EXPECT_EQ(7u, requests("GET", kPollPattern).size());
  EXPECT_EQ("ready: 50 frames matted", status());
}

TEST_F(MatteWorker, AJobWhoseInstanceIsDestroyedStopsAndCleansUp) {
  scriptHappySession();
  recordStatusAt("GET", kPollPattern, inTurn({json(R"({"status":"RUNNING","progress":{"stage":"tracking"}})")}));
  ASSERT_EQ(kOfxStatOK, press());
  ASSERT_TRUE(fx_->pumpEventsUntil([&] { return requests("GET", kPollPattern).size() >= 3; }, kJobWait));
  const std::string dir = spoolDir();
  ASSERT_FALSE(dir.empty());
  host_.clearMessages();
  destroyInstanceUnderTheBackend();
  ASSERT_TRUE(waitUntilIdle(std::chrono::milliseconds(3000)));
  const std::size_t polls = requests("GET", kPollPattern).size();
  std::this_thread::sleep_for(std::chrono::milliseconds(5 * kTestPollMs));
  EXPECT_EQ(polls, requests("GET", kPollPattern).size()) << "the worker went on polling";
  EXPECT_TRUE(messages().empty());
  EXPECT_FALSE(exists(dir));
  EXPECT_EQ(1, spoolsRemovedWhileBusy());
  EXPECT_EQ(0u, requests("GET", kMattePattern).size());
}

TEST_F(MatteWorker, WithoutAMessageSuiteTheJobRunsTheSameSilently) {
  th::HostOptions options;
  options.withheldSuites = {kOfxMessageSuite};
  th::Host quiet(options);
  th::LoadResult loaded = quiet.load(JOB_PROBE_BUNDLE);  // the module now sees no message suite
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  auto made = loaded.plugin->createInstance();
  ASSERT_TRUE(made.ok()) << made.error();
  th::Instance &fx = **made;
  for (int i = 0; i < 2; ++i) fx.setSourceFrame(i, solidFrame(8, 8, {0.5f, 0.5f, 0.5f, 1.0f}));
  ASSERT_TRUE(fx.setString("backend_url", backend_->url()).ok());
  scriptHappySession();
  for (const char *expected : {"ready: 2 frames matted", "failed: cannot reach backend"}) {
    ASSERT_TRUE(fx.pressButton("pull_alpha").ok());
    ASSERT_TRUE(fx.pumpEventsUntil([&] { return !busy(); }, kJobWait));
    EXPECT_EQ(expected, *fx.getString("status"));
    EXPECT_EQ(sessionId_, *fx.getString("session_id"));
    backend_->on("POST", kSessionsPath).reply(500, "");
  }
  EXPECT_TRUE(quiet.messages().empty());
}

// The silence limit of the ending cases: short, so that a backend that stops answering ends the job soon.
constexpr int kEndingSilenceMs = 400;
constexpr const char *kEscape = "/tmp/trevane-hostile-escape";
constexpr const char *kCannotReach = "failed: cannot reach backend";
constexpr const char *kReady = "ready: 3 frames matted";

class JobEnding;

struct Ending {
  const char *name;
  // Scripts the backend (or the disk) after the happy session has been scripted.
  std::function<void(JobEnding &)> script;
  // The final status; "{dir}" stands for the matte folder.
  std::string expected;
  // More to look at once the job has ended.
  std::function<void(JobEnding &)> check = nullptr;
  int frames = 3;
};

void PrintTo(const Ending &e, std::ostream *out) { *out << e.name; }

class JobEnding : public JobTest, public ::testing::WithParamInterface<Ending> {
 public:
  std::string matteDir() const { return root() + sessionId_ + "/"; }
  std::size_t count(const std::string &method, const std::string &pattern) const {
    return requests(method, pattern).size();
  }
  TempDir elsewhere_;
};

std::string letters(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += static_cast<char>('A' + i % 26);
  return text;
}

// The routes of the session a case scripts.
kesto::test::Route frame(JobEnding &t, int i) { return t.backend_->on("PUT", t.sessionPath() + "/frames/" + std::to_string(i)); }
kesto::test::Route polls(JobEnding &t) { return t.backend_->onPattern("GET", kPollPattern); }
kesto::test::Route mattes(JobEnding &t) { return t.backend_->onPattern("GET", kMattePattern); }

// While frame 0 is uploaded, frame 1's spool file goes.
void spoolFileGoes(JobEnding &t) {
  frame(t, 0).respond([&t](const RecordedRequest &) {
    std::remove((t.spoolDir() + "000001.jpg").c_str());
    return json("{}");
  });
}

const std::vector<Ending> &endings() {
  static const std::vector<Ending> all = {
      // Creating the session.
      {"SessionRefused", [](JobEnding &t) { t.backend_->on("POST", kSessionsPath).reply(500, sessionBody(t.sessionId_)); },
       kCannotReach, [](JobEnding &t) { EXPECT_EQ(0u, t.count("PUT", kFramePattern)); }},
      {"BackendUnreachable", [](JobEnding &t) { t.stopBackend(); }, kCannotReach},
      {"UrlWithATrailingSlashIsSentAsItIs",
       [](JobEnding &t) { ASSERT_TRUE(t.fx_->setString("backend_url", t.backend_->url() + "/").ok()); }, kCannotReach,
       [](JobEnding &t) { EXPECT_EQ("//api/matte/sessions", t.backend_->requests().at(0).path); }},
      {"SessionIdTraversal",
       [](JobEnding &t) { t.backend_->on("POST", kSessionsPath).reply(200, R"({"session_id":"../trevane-hostile-escape"})"); },
       "failed: backend sent an unusable session id",
       [](JobEnding &t) {
         EXPECT_EQ(1u, t.backend_->requestCount()) << "nothing was sent after the session reply";
         EXPECT_TRUE(folderEntries(t.root()).empty()) << "nothing was written";
       }},
      // Uploads and start.
      {"UploadsAreTriedThreeTimesAndDroppedConnectionsCount",
       [](JobEnding &t) {
         frame(t, 0).dropFirst(2).reply(200, "{}");
         frame(t, 1).failFirst(2, 503).reply(200, "{}");
       },
       kReady,
       [](JobEnding &t) {
         EXPECT_EQ(3u, t.count("PUT", t.sessionPath() + "/frames/0"));
         const auto puts = t.requests("PUT", t.sessionPath() + "/frames/1");
         ASSERT_EQ(3u, puts.size());
         EXPECT_EQ(puts[0].body, puts[2].body);
       }},
      {"ThreeFailedUploads", [](JobEnding &t) { frame(t, 1).failFirst(3, 500).reply(200, "{}"); },
       "failed: upload failed at frame 1",
       [](JobEnding &t) {
         EXPECT_EQ(3u, t.count("PUT", t.sessionPath() + "/frames/1"));
         EXPECT_EQ(0u, t.count("PUT", t.sessionPath() + "/frames/2"));
         EXPECT_EQ(0u, t.count("POST", kStartPattern));
         EXPECT_TRUE(folderEntries(t.root()).empty()) << "the failed job's spool folder is removed";
       }},
      {"SpoolFileGone", [](JobEnding &t) { spoolFileGoes(t); }, "failed: could not read spooled frame 1",
       [](JobEnding &t) {
         EXPECT_EQ(0u, t.count("PUT", t.sessionPath() + "/frames/1")) << "an empty body was sent";
         EXPECT_TRUE(folderEntries(t.root()).empty());
       }},
      {"StartRejectedQuotesThe160FirstBytes",
       [](JobEnding &t) { t.backend_->onPattern("POST", kStartPattern).reply(422, letters(300)); },
       "failed: start rejected: " + letters(160), [](JobEnding &t) { EXPECT_EQ(0u, t.count("GET", kPollPattern)); }},
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
         for (int i = 0; i < 7; ++i) kept.push_back(frameName(i, "png"));
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
       [](JobEnding &t) { ASSERT_EQ(0, ::symlink(t.elsewhere_.path().c_str(), (t.root() + t.sessionId_).c_str())); },
       "failed: could not create the matte folder {dir}",
       [](JobEnding &t) { EXPECT_TRUE(folderEntries(t.elsewhere_.path()).empty()); }},
      {"MatteNotPng", [](JobEnding &t) { mattes(t).reply(200, "<html>this is not a png</html>", "text/html"); },
       kReady},
      {"MatteTruncatedByDrop", [](JobEnding &t) { mattes(t).drop(); }, "failed: download failed at frame 0"},
  };
  return all;
}

TEST_P(JobEnding, EndsSoundly) {
  const Ending &e = GetParam();
  configure(kEndingSilenceMs, root());
  if (e.frames != 3) fx_ = makeInstance(e.frames, 4, 4);
  ASSERT_TRUE(fx_->setString("session_id", "earlier").ok());
  scriptHappySession();
  e.script(*this);
  ASSERT_TRUE(runJob()) << "the job did not end";
  std::string expected = e.expected;
  const std::size_t dir = expected.find("{dir}");
  if (dir != std::string::npos) expected.replace(dir, 5, matteDir());
  const std::string finalStatus = status();
  EXPECT_EQ(expected, finalStatus);
  if (finalStatus.rfind("ready: ", 0) == 0) {
    EXPECT_EQ(Texts{"Orvalis: alpha ready for " + std::to_string(e.frames) + " frames."}, messages());
    EXPECT_EQ(sessionId_, param("session_id"));
  } else {
    EXPECT_EQ(Texts{"Orvalis: " + finalStatus.substr(8)}, messages());
    EXPECT_EQ("earlier", param("session_id")) << "a failed job keeps the session shown before";
  }
  EXPECT_EQ(1, spoolsRemovedWhileBusy()) << "the busy flag was freed before the spool folder went";
  // Only the session's own matte folder may remain in the root, holding only the clip's mattes.
  const Texts entries = folderEntries(root());
  EXPECT_TRUE(entries.empty() || entries == Texts{sessionId_}) << entries.size() << " entries, first " << entries[0];
  for (const std::string &name : entries.empty() ? Texts{} : folderEntries(matteDir())) {
    const int index = std::stoi(name);
    EXPECT_TRUE(index >= 0 && index < e.frames && name == frameName(index, "png")) << name;
  }
  EXPECT_FALSE(exists(kEscape));
  if (e.check) e.check(*this);
}

INSTANTIATE_TEST_SUITE_P(Cases, JobEnding, ::testing::ValuesIn(endings()),
                         [](const auto &param) { return std::string(param.param.name); });

}  // namespace
}  // namespace jobtest
