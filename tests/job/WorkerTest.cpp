// The matte worker against the fake backend, through the host on the probe build of the module: the
// request sequence with bodies and headers, upload retries, every failure reason in "status" and the host
// message, the progress texts, the final texts, and the mends (unsafe session ids, a destroyed instance,
// a backend that stops answering, unreadable spool files, matte files that cannot be written).

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/job/JobFixture.h"

namespace jobtest {
namespace {

using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;

class MatteWorker : public JobTest {
 protected:
  // Runs a job to its end; false when it did not end in time.
  bool runJob() {
    EXPECT_EQ(kOfxStatOK, press());
    return waitUntilIdle();
  }

  std::string sessionPath() const { return std::string(kSessionsPath) + "/" + sessionId_; }

  // The status seen by the backend at each request, keyed "METHOD /path".
  void recordStatusAt(const std::string &method, const char *pattern, Reply reply) {
    backend_->onPattern(method, pattern).respond([this, method, reply](const RecordedRequest &r) {
      std::lock_guard<std::mutex> lock(seenMu_);
      if (!instanceGone_) seen_[method + " " + r.path] = status();
      return reply;
    });
  }
  std::string seenAt(const std::string &key) {
    std::lock_guard<std::mutex> lock(seenMu_);
    return seen_.count(key) != 0 ? seen_[key] : "<no request " + key + ">";
  }

  // Poll replies in turn; the last one repeats.
  void scriptPolls(std::vector<Reply> replies) {
    auto count = std::make_shared<std::atomic<std::size_t>>(0);
    backend_->onPattern("GET", kPollPattern).respond([this, replies, count](const RecordedRequest &r) {
      const std::size_t n = (*count)++;
      {
        std::lock_guard<std::mutex> lock(seenMu_);
        if (!instanceGone_) seen_["poll " + std::to_string(n)] = status();
      }
      (void)r;
      return replies[n < replies.size() ? n : replies.size() - 1];
    });
  }

  // Destroys the instance while the backend may be answering: the handlers above stop reading its status
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

Reply json(const std::string &body, int status = 200) { return Reply{status, body, "application/json", {}}; }

TEST_F(MatteWorker, RunsTheWholeSessionInOrder) {
  scriptHappySession();
  ASSERT_TRUE(runJob());
  Texts sequence;
  for (const RecordedRequest &r : backend_->requests()) sequence.push_back(r.method + " " + r.path);
  const std::string s = sessionPath();
  EXPECT_EQ((Texts{"POST /api/matte/sessions", "PUT " + s + "/frames/0", "PUT " + s + "/frames/1",
                   "PUT " + s + "/frames/2", "POST " + s + "/start", "GET " + s, "GET " + s + "/alpha/0.png",
                   "GET " + s + "/alpha/1.png", "GET " + s + "/alpha/2.png"}),
            sequence);

  const RecordedRequest create = backend_->requests("POST", kSessionsPath).at(0);
  EXPECT_EQ(R"({"fps":25.0,"source":"plugin"})", create.body);
  EXPECT_EQ("application/json", create.header("Content-Type"));
  EXPECT_EQ("application/json", create.header("Accept"));
  EXPECT_EQ("OrvalisTrevane-OFX/1.1", create.header("User-Agent"));
  for (const RecordedRequest &put : requests("PUT", kFramePattern)) {
    EXPECT_EQ("image/jpeg", put.header("Content-Type"));
    ASSERT_GE(put.body.size(), 4u);
    EXPECT_EQ("\xFF\xD8", put.body.substr(0, 2));
    EXPECT_EQ("\xFF\xD9", put.body.substr(put.body.size() - 2));
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
}

TEST_F(MatteWorker, SendsTheClipRateAsANumberWithAPoint) {
  fx_->setSourceFrameRate(24);
  scriptHappySession();
  ASSERT_TRUE(runJob());
  EXPECT_EQ(R"({"fps":24.0,"source":"plugin"})", backend_->requests("POST", kSessionsPath).at(0).body);
  fx_->setSourceFrameRate(23.976);
  backend_->clearRequests();
  ASSERT_TRUE(runJob());
  EXPECT_EQ(R"({"fps":23.976,"source":"plugin"})", backend_->requests("POST", kSessionsPath).at(0).body);
}

TEST_F(MatteWorker, ProgressTextsChangeEvery24Frames) {
  fx_ = makeInstance(50, 4, 4);
  scriptHappySession();
  recordStatusAt("PUT", kFramePattern, json("{}"));
  recordStatusAt("POST", kStartPattern, json("{}"));
  recordStatusAt("GET", kMattePattern, Reply{200, matte_, "image/png", {}});
  ASSERT_TRUE(runJob());
  const std::string s = sessionPath();
  EXPECT_EQ("grabbing 50 frames...", seenAt("PUT " + s + "/frames/0"));
  EXPECT_EQ("uploading 1/50", seenAt("PUT " + s + "/frames/1"));
  EXPECT_EQ("uploading 1/50", seenAt("PUT " + s + "/frames/24"));
  EXPECT_EQ("uploading 25/50", seenAt("PUT " + s + "/frames/25"));
  EXPECT_EQ("uploading 25/50", seenAt("PUT " + s + "/frames/48"));
  EXPECT_EQ("uploading 49/50", seenAt("PUT " + s + "/frames/49"));
  EXPECT_EQ("uploading 49/50", seenAt("POST " + s + "/start"));
  EXPECT_EQ("uploading 49/50", seenAt("GET " + s + "/alpha/0.png"));
  EXPECT_EQ("downloading matte 1/50", seenAt("GET " + s + "/alpha/1.png"));
  EXPECT_EQ("downloading matte 25/50", seenAt("GET " + s + "/alpha/25.png"));
  EXPECT_EQ("downloading matte 25/50", seenAt("GET " + s + "/alpha/48.png"));
  EXPECT_EQ("downloading matte 49/50", seenAt("GET " + s + "/alpha/49.png"));
  EXPECT_EQ("ready: 50 frames matted", status());
  EXPECT_EQ(Texts{"Orvalis: alpha ready for 50 frames."}, messages());
}

TEST_F(MatteWorker, SpoolFilesAreRemovedAsTheyAreUploaded) {
  fx_ = makeInstance(4);
  scriptHappySession();
  std::string dir;
  std::vector<int> wrong;
  std::mutex mu;
  backend_->onPattern("PUT", kFramePattern).respond([&](const RecordedRequest &r) {
    const int i = std::stoi(r.path.substr(r.path.rfind('/') + 1));
    std::lock_guard<std::mutex> lock(mu);
    if (dir.empty()) dir = spoolDir();
    char name[16];
    for (int k = 0; k < 4; ++k) {
      std::snprintf(name, sizeof name, "%06d.jpg", k);
      if (exists(dir + name) != (k >= i)) wrong.push_back(i * 10 + k);
    }
    return json("{}");
  });
  ASSERT_TRUE(runJob());
  // The handler's writes reach this thread through the socket and the busy flag, which ThreadSanitizer cannot
  // follow; the lock makes the order visible.
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_FALSE(dir.empty());
  EXPECT_TRUE(wrong.empty()) << "frame " << wrong.front() / 10 << " saw file " << wrong.front() % 10;
  EXPECT_FALSE(exists(dir));
  EXPECT_EQ("ready: 4 frames matted", status());
}

TEST_F(MatteWorker, AnUploadIsTriedThreeTimes) {
  scriptHappySession();
  backend_->on("PUT", sessionPath() + "/frames/1").failFirst(2, 503).reply(200, "{}");
  ASSERT_TRUE(runJob());
  const auto puts = backend_->requests("PUT", sessionPath() + "/frames/1");
  ASSERT_EQ(3u, puts.size());
  EXPECT_EQ(puts[0].body, puts[2].body);
  EXPECT_EQ("ready: 3 frames matted", status());
  EXPECT_EQ(Texts{"Orvalis: alpha ready for 3 frames."}, messages());
}

TEST_F(MatteWorker, DroppedConnectionsCountAsFailedAttempts) {
  scriptHappySession();
  backend_->on("PUT", sessionPath() + "/frames/0").dropFirst(2).reply(200, "{}");
  ASSERT_TRUE(runJob());
  EXPECT_EQ(3u, backend_->requests("PUT", sessionPath() + "/frames/0").size());
  EXPECT_EQ("ready: 3 frames matted", status());
}

TEST_F(MatteWorker, ThreeFailedUploadsEndTheJob) {
  ASSERT_TRUE(fx_->setString("session_id", "earlier").ok());
  scriptHappySession();
  backend_->on("PUT", sessionPath() + "/frames/1").failFirst(3, 500).reply(200, "{}");
  ASSERT_TRUE(runJob());
  EXPECT_EQ(3u, backend_->requests("PUT", sessionPath() + "/frames/1").size());
  EXPECT_EQ(0u, requests("PUT", sessionPath() + "/frames/2").size());
  EXPECT_EQ(0u, requests("POST", kStartPattern).size());
  EXPECT_EQ("failed: upload failed at frame 1", status());
  EXPECT_EQ(Texts{"Orvalis: upload failed at frame 1"}, messages());
  EXPECT_EQ("earlier", param("session_id"));
  EXPECT_TRUE(folderEntries(root()).empty()) << "the failed job's spool folder is removed";
}

TEST_F(MatteWorker, AnUnusableSessionReplyMeansTheBackendCannotBeReached) {
  for (const Reply &reply : {json(sessionBody(sessionId_), 500), json("<html>not json</html>"),
                             json(sessionBody(sessionId_) + " trailing")}) {
    backend_->on("POST", kSessionsPath).reply(reply.status, reply.body);
    host_.clearMessages();
    ASSERT_TRUE(runJob());
    EXPECT_EQ("failed: cannot reach backend", status()) << reply.body;
    EXPECT_EQ(Texts{"Orvalis: cannot reach backend"}, messages());
    EXPECT_EQ(0u, requests("PUT", kFramePattern).size());
    EXPECT_TRUE(folderEntries(root()).empty());
  }
}

TEST_F(MatteWorker, AnUnreachableBackendFailsTheJob) {
  const std::string url = backend_->url();
  stopBackend();
  ASSERT_TRUE(fx_->setString("backend_url", url).ok());
  ASSERT_TRUE(runJob());
  EXPECT_EQ("failed: cannot reach backend", status());
}

TEST_F(MatteWorker, ARejectedStartQuotesTheFirst160BytesOfTheReply) {
  scriptHappySession();
  std::string body;
  for (int i = 0; i < 300; ++i) body += static_cast<char>('A' + i % 26);
  backend_->onPattern("POST", kStartPattern).reply(422, body);
  ASSERT_TRUE(runJob());
  EXPECT_EQ("failed: start rejected: " + body.substr(0, 160), status());
  EXPECT_EQ(Texts{"Orvalis: start rejected: " + body.substr(0, 160)}, messages());
  EXPECT_EQ(0u, requests("GET", kPollPattern).size());
}

TEST_F(MatteWorker, PollsComeAtTheIntervalAndUnusableRepliesAreSkipped) {
  scriptHappySession();
  scriptPolls({json("{}", 503), json("not json"), json(R"({"status":"completed"})"), json(R"({"status":"COMPLETED"})")});
  const Clock::time_point pressed = Clock::now();
  ASSERT_TRUE(runJob());
  const auto polls = requests("GET", kPollPattern);
  EXPECT_EQ(4u, polls.size());
  EXPECT_EQ("ready: 3 frames matted", status());
  EXPECT_GE(Clock::now() - pressed, std::chrono::milliseconds(4 * kTestPollMs));
}

TEST_F(MatteWorker, ProgressStagesShowWhileTracking) {
  scriptHappySession();
  scriptPolls({json(R"({"status":"RUNNING"})"), json(R"({"status":"RUNNING","progress":{"stage":"propagating"}})"),
               json(R"({"status":"RUNNING","progress":{}})"), json(R"({"status":"RUNNING"})"),
               json(R"({"status":"COMPLETED"})")});
  ASSERT_TRUE(runJob());
  EXPECT_EQ("uploading 1/3", seenAt("poll 0"));
  EXPECT_EQ("uploading 1/3", seenAt("poll 1")) << "a reply without progress leaves the status";
  EXPECT_EQ("tracking: propagating", seenAt("poll 2"));
  EXPECT_EQ("tracking: ...", seenAt("poll 3"));
  EXPECT_EQ("tracking: ...", seenAt("poll 4"));
  EXPECT_EQ("ready: 3 frames matted", status());
}

TEST_F(MatteWorker, AFailedJobShowsTheBackendsErrorOrMattingFailed) {
  ASSERT_TRUE(fx_->setString("session_id", "earlier").ok());
  scriptHappySession();
  scriptPolls({json(R"({"status":"FAILED","error":"no person found, 100% sure"})")});
  ASSERT_TRUE(runJob());
  EXPECT_EQ("failed: no person found, 100% sure", status());
  EXPECT_EQ(Texts{"Orvalis: no person found, 100% sure"}, messages());
  EXPECT_EQ("earlier", param("session_id"));
  EXPECT_EQ(0u, requests("GET", kMattePattern).size());

  scriptPolls({json(R"({"status":"FAILED"})")});
  host_.clearMessages();
  ASSERT_TRUE(runJob());
  EXPECT_EQ("failed: matting failed", status());
  EXPECT_EQ(Texts{"Orvalis: matting failed"}, messages());
}

TEST_F(MatteWorker, ADownloadFailureKeepsTheMattesBeforeIt) {
  fx_ = makeInstance(10, 4, 4);
  ASSERT_TRUE(fx_->setString("session_id", "earlier").ok());
  scriptHappySession();
  backend_->on("GET", sessionPath() + "/alpha/7.png").reply(404, "<html>gone</html>", "text/html");
  ASSERT_TRUE(runJob());
  EXPECT_EQ("failed: download failed at frame 7", status());
  EXPECT_EQ(Texts{"Orvalis: download failed at frame 7"}, messages());
  EXPECT_EQ("earlier", param("session_id"));
  EXPECT_EQ((Texts{"000000.png", "000001.png", "000002.png", "000003.png", "000004.png", "000005.png", "000006.png"}),
            folderEntries(root() + sessionId_));
}

TEST_F(MatteWorker, ATrailingSlashInTheUrlIsSentAsItIs) {
  ASSERT_TRUE(fx_->setString("backend_url", backend_->url() + "/").ok());
  ASSERT_TRUE(runJob());
  ASSERT_GE(backend_->requests().size(), 1u);
  EXPECT_EQ("//api/matte/sessions", backend_->requests().at(0).path);
  EXPECT_EQ("failed: cannot reach backend", status());
}

struct BadId {
  const char *name;
  std::string body;
  const char *reason;
};

class MatteWorkerSessionId : public MatteWorker, public ::testing::WithParamInterface<BadId> {};

TEST_P(MatteWorkerSessionId, OnlyASafeSingleSegmentIsUsed) {
  ASSERT_TRUE(fx_->setString("session_id", "earlier").ok());
  scriptHappySession();
  backend_->on("POST", kSessionsPath).reply(200, GetParam().body);
  ASSERT_TRUE(runJob());
  EXPECT_EQ(std::string("failed: ") + GetParam().reason, status());
  EXPECT_EQ(Texts{std::string("Orvalis: ") + GetParam().reason}, messages());
  EXPECT_EQ(1u, backend_->requestCount()) << "nothing was sent after the session reply";
  EXPECT_EQ("earlier", param("session_id"));
  EXPECT_TRUE(folderEntries(root()).empty()) << "nothing was written";
  EXPECT_FALSE(exists("/tmp/trevane-escape")) << "a path outside the root was made";
}

constexpr const char *kBadId = "backend sent an unusable session id";
constexpr const char *kNoReach = "cannot reach backend";

INSTANTIATE_TEST_SUITE_P(
    Ids, MatteWorkerSessionId,
    ::testing::Values(BadId{"Absent", "{}", kBadId}, BadId{"Empty", R"({"session_id":""})", kBadId},
                      BadId{"Dot", R"({"session_id":"."})", kBadId}, BadId{"DotDot", R"({"session_id":".."})", kBadId},
                      BadId{"Traversal", R"({"session_id":"../trevane-escape"})", kBadId},
                      BadId{"Slash", R"({"session_id":"a/b"})", kBadId},
                      BadId{"Absolute", R"({"session_id":"/tmp/trevane-escape"})", kBadId},
                      BadId{"Blank", R"({"session_id":"a b"})", kBadId},
                      BadId{"NonAscii", R"({"session_id":"caf\u00e9"})", kBadId},
                      BadId{"TooLong", "{\"session_id\":\"" + std::string(129, 'a') + "\"}", kBadId},
                      BadId{"Number", R"({"session_id":42})", kNoReach},
                      BadId{"Null", R"({"session_id":null})", kNoReach}),
    [](const auto &param) { return std::string(param.param.name); });

TEST_F(MatteWorker, AJobWhoseInstanceIsDestroyedStopsAndCleansUp) {
  scriptHappySession();
  scriptPolls({json(R"({"status":"RUNNING","progress":{"stage":"tracking"}})")});
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
  EXPECT_EQ(0u, requests("GET", kMattePattern).size());

  // The flag is free for the next job.
  fx_ = makeInstance();
  scriptPolls({json(R"({"status":"COMPLETED"})")});
  ASSERT_TRUE(runJob());
  EXPECT_EQ("ready: 3 frames matted", status());
}

TEST_F(MatteWorker, ABackendThatStopsAnsweringEndsTheJob) {
  constexpr int kSilenceMs = 300;
  configure(kTestPollMs, kSilenceMs, 2, root());
  scriptHappySession();
  scriptPolls({json(R"({"status":"RUNNING"})"), json("{}", 503)});
  const Clock::time_point pressed = Clock::now();
  ASSERT_TRUE(runJob());
  EXPECT_EQ("failed: backend stopped answering", status());
  EXPECT_EQ(Texts{"Orvalis: backend stopped answering"}, messages());
  EXPECT_GE(Clock::now() - pressed, std::chrono::milliseconds(kSilenceMs));
  EXPECT_TRUE(folderEntries(root()).empty());
}

TEST_F(MatteWorker, ABackendThatKeepsWorkingIsPolledWithoutLimit) {
  constexpr int kSilenceMs = 100;
  configure(kTestPollMs, kSilenceMs, 2, root());
  scriptHappySession();
  const Clock::time_point pressed = Clock::now();
  backend_->onPattern("GET", kPollPattern).respond([pressed](const RecordedRequest &) {
    const bool done = Clock::now() - pressed > std::chrono::milliseconds(6 * kSilenceMs);
    return json(done ? R"({"status":"COMPLETED"})" : R"({"status":"RUNNING"})");
  });
  ASSERT_TRUE(runJob());
  EXPECT_EQ("ready: 3 frames matted", status());
  EXPECT_GE(requests("GET", kPollPattern).size(), 6u);
}

TEST_F(MatteWorker, ASpoolFileThatCannotBeReadFailsTheUpload) {
  for (bool asFolder : {false, true}) {
    scriptHappySession();
    backend_->on("PUT", sessionPath() + "/frames/0").respond([this, asFolder](const RecordedRequest &) {
      const std::string next = spoolDir() + "000001.jpg";
      std::remove(next.c_str());
      if (asFolder) ::mkdir(next.c_str(), 0700);
      return json("{}");
    });
    host_.clearMessages();
    ASSERT_TRUE(runJob());
    EXPECT_EQ("failed: could not read spooled frame 1", status()) << asFolder;
    EXPECT_EQ(Texts{"Orvalis: could not read spooled frame 1"}, messages());
    EXPECT_EQ(0u, backend_->requests("PUT", sessionPath() + "/frames/1").size()) << "an empty body was sent";
    EXPECT_TRUE(folderEntries(root()).empty());
    backend_->clearRequests();
  }
}

TEST_F(MatteWorker, AMatteFileThatCannotBeWrittenFailsTheJob) {
  ASSERT_TRUE(fx_->setString("session_id", "earlier").ok());
  const std::string matteDir = root() + sessionId_ + "/";
  ASSERT_EQ(0, ::mkdir(matteDir.c_str(), 0700));
  ASSERT_EQ(0, ::mkdir((matteDir + "000001.png").c_str(), 0700));
  scriptHappySession();
  ASSERT_TRUE(runJob());
  EXPECT_EQ("failed: could not write the matte of frame 1 to " + matteDir, status());
  EXPECT_EQ(Texts{"Orvalis: could not write the matte of frame 1 to " + matteDir}, messages());
  EXPECT_EQ("earlier", param("session_id"));
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
  ASSERT_TRUE(fx.pressButton("pull_alpha").ok());
  ASSERT_TRUE(fx.pumpEventsUntil([&] { return !busy(); }, kJobWait));
  EXPECT_EQ("ready: 2 frames matted", *fx.getString("status"));
  EXPECT_EQ(sessionId_, *fx.getString("session_id"));

  backend_->on("POST", kSessionsPath).reply(500, "");
  ASSERT_TRUE(fx.pressButton("pull_alpha").ok());
  ASSERT_TRUE(fx.pumpEventsUntil([&] { return !busy(); }, kJobWait));
  EXPECT_EQ("failed: cannot reach backend", *fx.getString("status"));
  EXPECT_TRUE(quiet.messages().empty());
  EXPECT_TRUE(messages().empty());
}

TEST_F(MatteWorker, AMatteFolderThatIsALinkIsNotWrittenInto) {
  const TempDir elsewhere;
  const std::string matteDir = root() + sessionId_;
  ASSERT_EQ(0, ::symlink(elsewhere.path().c_str(), matteDir.c_str()));
  scriptHappySession();
  ASSERT_TRUE(runJob());
  EXPECT_EQ("failed: could not create the matte folder " + matteDir + "/", status());
  EXPECT_TRUE(folderEntries(elsewhere.path()).empty());
}

}  // namespace
}  // namespace jobtest
