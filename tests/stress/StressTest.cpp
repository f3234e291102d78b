// Concurrency stress through the host on the probe build of the module (see tests/job/): render threads on
// the shared matte cache while the user edits and a matte job runs; instances that come and go while the
// backend holds their usage beacons; two instances pressing "Pull alpha (whole clip)" at the same moment;
// and instances destroyed while their job uploads, polls and downloads. They are meant to be run under
// ThreadSanitizer and AddressSanitizer as well as in the normal build.
//
// Sizes: TREVANE_STRESS_LIGHT=1 (set by scripts/test for the ThreadSanitizer build, where every step is many
// times slower) makes each test smaller; the plug-in never reads it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/Beacon.h"
#include "tests/job/JobFixture.h"
#include "tests/render/MatteFolder.h"

namespace jobtest {
namespace {

using Texts = std::vector<std::string>;

constexpr const char *kBusyText = "Orvalis: a matte is already being pulled.";
constexpr const char *kBeaconPath = "/api/beacon";
constexpr int kOutputModeMatteOnly = 1;
// Longest a held reply waits for its release, so a failed test cannot hang the backend's shutdown.
constexpr std::chrono::seconds kHoldLimit{20};

bool light() {
  const char *value = std::getenv("TREVANE_STRESS_LIGHT");
  return value != nullptr && *value != '\0' && std::string(value) != "0";
}

int scaled(int full, int lighter) { return light() ? lighter : full; }

// A gate that backend handlers wait at until the test opens it (or kHoldLimit passes).
class Gate {
 public:
  void wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, kHoldLimit, [&] { return open_; });
  }
  void open() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      open_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Opens the gate when the test leaves, however it leaves, so held handlers end before the backend stops.
class GateOpener {
 public:
  explicit GateOpener(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
  ~GateOpener() { gate_->open(); }
  GateOpener(const GateOpener &) = delete;
  GateOpener &operator=(const GateOpener &) = delete;

 private:
  std::shared_ptr<Gate> gate_;
};

Reply jsonReply(const std::string &body) { return Reply{200, body, "application/json", {}}; }

// The gray value of session s's matte for frame i: never 0 (the source's value), and different for each
// of the three sessions at any one frame, so every output pixel tells which matte made it.
std::uint8_t matteValue(int session, int frame) {
  return static_cast<std::uint8_t>(1 + (session * 85 + frame * 7) % 254);
}

class Stress : public JobTest {
 protected:
  std::size_t count(const std::string &method, const char *pattern) const { return requests(method, pattern).size(); }
};

TEST_F(Stress, EightRenderThreadsShareTheMatteCacheWhileEditsAndAJobRun) {
  const int frames = scaled(1000, 240);
  constexpr int kSessions = 3;
  constexpr int kRenderThreads = 8;
  constexpr int kFrameWidth = 8;
  constexpr int kFrameHeight = 4;

  // Three finished sessions on disk, one 1 x 1 matte per frame: the eight-entry cache churns on every frame.
  std::vector<std::unique_ptr<kesto::testing::MatteFolder>> sessions;
  for (int s = 0; s < kSessions; ++s) {
    sessions.push_back(std::make_unique<kesto::testing::MatteFolder>());
    for (int i = 0; i < frames; ++i) {
      ASSERT_TRUE(sessions.back()->writeMatte(i, {matteValue(s, i)}, 1, 1));
    }
  }

  // The rendered instance: a black opaque clip of `frames` frames, shown as the matte alone.
  auto made = loaded_.plugin->createInstance();
  ASSERT_TRUE(made.ok()) << made.error();
  std::unique_ptr<th::Instance> shown = std::move(*made);
  auto black = std::make_shared<const th::Image>(solidFrame(kFrameWidth, kFrameHeight, {0.0f, 0.0f, 0.0f, 1.0f}));
  shown->setSourceProvider([black](double) { return black; }, 0, frames - 1);
  ASSERT_TRUE(shown->setInt("output_mode", kOutputModeMatteOnly).ok());
  ASSERT_TRUE(shown->setString("clip_start", "0.000000").ok());
  ASSERT_TRUE(shown->setString("session_id", sessions[0]->sessionId()).ok());

  // The job runs on the fixture's instance and keeps tracking until the renders are done.
  scriptHappySession();
  auto rendersDone = std::make_shared<std::atomic<bool>>(false);
  backend_->onPattern("GET", kPollPattern).respond([rendersDone](const RecordedRequest &) {
    return jsonReply(*rendersDone ? R"({"status":"COMPLETED"})"
                                  : R"({"status":"RUNNING","progress":{"stage":"tracking"}})");
  });
  ASSERT_EQ(kOfxStatOK, press());

  std::vector<double> times(static_cast<std::size_t>(frames));
  std::iota(times.begin(), times.end(), 0.0);
  std::optional<th::Expected<std::vector<th::RenderResult>>> results;
  std::atomic<bool> rendering{true};
  std::thread renderer([&] {
    results.emplace(shown->renderMany(times, kRenderThreads));
    rendering = false;
  });

  // Meanwhile, on the interface thread: the user switches sessions, resets the matte and clears the
  // selection, and the plug-in's own edits (the job's status texts) are delivered as they come.
  int edits = 0;
  while (rendering) {
    const int step = edits++ % (kSessions + 2);
    if (step < kSessions) {
      EXPECT_TRUE(shown->setString("session_id", sessions[static_cast<std::size_t>(step)]->sessionId()).ok());
    } else if (step == kSessions) {
      EXPECT_TRUE(shown->pressButton("reset_matte").ok());
    } else {
      EXPECT_TRUE(shown->pressButton("clear_mask").ok());
    }
    shown->pumpEvents();
    fx_->pumpEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  renderer.join();
  *rendersDone = true;
  ASSERT_TRUE(waitUntilIdle());
  EXPECT_EQ("ready: 3 frames matted", status());
  EXPECT_EQ(sessionId_, param("session_id"));

  // Every frame is whole: the matte of one session for that frame, or the source after a reset.
  ASSERT_TRUE(results.has_value());
  ASSERT_TRUE(results->ok()) << results->error();
  ASSERT_EQ(times.size(), (*results)->size());
  int mismatches = 0;
  for (int i = 0; i < frames; ++i) {
    const th::RenderResult &r = (**results)[static_cast<std::size_t>(i)];
    ASSERT_EQ(kOfxStatOK, r.status) << "frame " << i << ": " << r.error;
    EXPECT_EQ(0, r.leakedImages) << "frame " << i;
    const auto corner = r.output.pixelBytes(0, 0);
    const auto far = r.output.pixelBytes(kFrameWidth - 1, kFrameHeight - 1);
    ASSERT_TRUE(corner && far) << "frame " << i;
    const std::uint8_t v = (*corner)[0];
    const bool known = v == 0 || v == matteValue(0, i) || v == matteValue(1, i) || v == matteValue(2, i);
    const bool uniform = *corner == *far && (*corner)[1] == v && (*corner)[2] == v && (*corner)[3] == 255;
    if (!known || !uniform) ++mismatches;
  }
  EXPECT_EQ(0, mismatches) << "frames that mixed mattes, or showed a matte of another frame";
  EXPECT_EQ(0, shown->unreleasedImages());
  EXPECT_EQ(0, shown->leakedImages());
  shown->destroy();
}

TEST_F(Stress, InstancesComeAndGoWhileTheBackendHoldsTheirBeacons) {
  const int instances = scaled(100, 40);
  auto gate = std::make_shared<Gate>();
  const GateOpener opener(gate);
  auto answered = std::make_shared<std::atomic<int>>(0);
  backend_->on("POST", kBeaconPath).respond([gate, answered](const RecordedRequest &) {
    gate->wait();
    ++*answered;
    return jsonReply("{}");
  });
  th::InstanceOptions options;
  options.savedValues.emplace_back("backend_url", backend_->url());

  // Every other instance goes at once; the rest stay until all have been made. No create or destroy may wait
  // for a beacon: none is answered before the gate opens below.
  std::vector<std::unique_ptr<th::Instance>> made;
  for (int i = 0; i < instances; ++i) {
    auto fx = loaded_.plugin->createInstance(options);
    ASSERT_TRUE(fx.ok()) << fx.error();
    made.push_back(std::move(*fx));
    if (i % 2 == 1) {
      EXPECT_EQ(kOfxStatOK, made.back()->destroy());
    }
  }
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    if (!(*it)->destroyed()) {
      EXPECT_EQ(kOfxStatOK, (*it)->destroy());
    }
  }
  EXPECT_EQ(0, answered->load()) << "a create or destroy waited for a beacon's reply";
  gate->open();

  ASSERT_TRUE(backend_->waitForRequests(static_cast<std::size_t>(instances), kJobWait));
  const auto beacons = backend_->requests("POST", kBeaconPath);
  EXPECT_EQ(static_cast<std::size_t>(instances), beacons.size());
  for (const RecordedRequest &beacon : beacons) EXPECT_EQ(kesto::beaconBody(), beacon.body);
  EXPECT_TRUE(messages().empty());
  EXPECT_FALSE(busy());
}

TEST_F(Stress, TwoInstancesPressPullAlphaAtTheSameMoment) {
  const int rounds = scaled(20, 6);
  scriptHappySession();
  // Each job keeps tracking until both presses have returned, so the second press always meets a running job.
  auto bothReturned = std::make_shared<std::atomic<bool>>(false);
  backend_->onPattern("GET", kPollPattern).respond([bothReturned](const RecordedRequest &) {
    return jsonReply(*bothReturned ? R"({"status":"COMPLETED"})" : R"({"status":"RUNNING"})");
  });
  std::unique_ptr<th::Instance> other = makeInstance(2);
  ASSERT_NE(other, nullptr);
  th::Instance *pair[2] = {fx_.get(), other.get()};

  for (int round = 0; round < rounds; ++round) {
    for (th::Instance *fx : pair) ASSERT_TRUE(fx->pressButton("reset_matte").ok());
    host_.clearMessages();
    *bothReturned = false;
    std::atomic<int> ready{0};
    OfxStatus replies[2] = {kOfxStatErrUnknown, kOfxStatErrUnknown};
    std::vector<std::thread> pressers;
    for (int p = 0; p < 2; ++p) {
      pressers.emplace_back([&, p] {
        ++ready;
        while (ready.load() < 2) std::this_thread::yield();
        replies[p] = press(pair[p]);
      });
    }
    for (auto &t : pressers) t.join();
    *bothReturned = true;
    EXPECT_EQ(kOfxStatOK, replies[0]);
    EXPECT_EQ(kOfxStatOK, replies[1]);
    ASSERT_EQ(Texts{kBusyText}, messages()) << "round " << round << ": exactly one press is refused";
    ASSERT_TRUE(waitUntilIdle());
    other->pumpEvents();

    // One instance ran the job; the other kept its status and made no folder.
    const int winner = status(pair[0]) != "idle" ? 0 : 1;
    const int frames = winner == 0 ? 3 : 2;
    EXPECT_EQ("ready: " + std::to_string(frames) + " frames matted", status(pair[winner])) << "round " << round;
    EXPECT_EQ("idle", status(pair[1 - winner])) << "round " << round;
    EXPECT_EQ(static_cast<std::size_t>(round + 1), count("POST", kSessionsPath)) << "round " << round;
    EXPECT_EQ(Texts{sessionId_}, folderEntries(root())) << "round " << round << ": only the matte folder stays";
  }
  EXPECT_EQ(0, other->unreleasedImages());
  other->destroy();
}

enum class Phase { Upload, Poll, Download };

struct PhaseCase {
  const char *name;
  Phase phase;
};

class StressDestroy : public Stress, public ::testing::WithParamInterface<PhaseCase> {};

TEST_P(StressDestroy, AnInstanceDestroyedMidJobStopsItsWorkerCleanly) {
  const Phase phase = GetParam().phase;
  const int repeats = scaled(4, 2);
  constexpr int kFrames = 12;
  constexpr std::chrono::milliseconds kSlowReply{15};
  for (int repeat = 0; repeat < repeats; ++repeat) {
    fx_->destroy();
    stopBackend();
    ASSERT_TRUE(waitUntilIdle());
    backend_ = std::make_unique<FakeBackend>();
    fx_ = makeInstance(kFrames);
    ASSERT_NE(fx_, nullptr);
    scriptHappySession();
    const char *method = "GET";
    const char *watched = kPollPattern;
    std::size_t destroyAfter = 1;
    switch (phase) {
      case Phase::Upload:
        backend_->onPattern("PUT", kFramePattern).delay(kSlowReply).reply(200, "{}");
        method = "PUT";
        watched = kFramePattern;
        destroyAfter = 1 + static_cast<std::size_t>(repeat % 3);
        break;
      case Phase::Poll:
        backend_->onPattern("GET", kPollPattern).reply(200, R"({"status":"RUNNING","progress":{"stage":"s"}})");
        destroyAfter = 2 + static_cast<std::size_t>(repeat % 3);
        break;
      case Phase::Download:
        backend_->onPattern("GET", kMattePattern).delay(kSlowReply).reply(200, matte_, "image/png");
        watched = kMattePattern;
        destroyAfter = 1 + static_cast<std::size_t>(repeat % 3);
        break;
    }
    ASSERT_EQ(kOfxStatOK, press());
    const std::string spool = spoolDir();
    ASSERT_FALSE(spool.empty());
    ASSERT_TRUE(fx_->pumpEventsUntil([&] { return count(method, watched) >= destroyAfter; }, kJobWait));
    host_.clearMessages();
    EXPECT_EQ(kOfxStatOK, fx_->destroy());
    ASSERT_TRUE(waitUntilIdle()) << "repeat " << repeat;

    // The worker stopped at its next step: at most the request in flight went out after the destroy.
    const std::size_t sent = backend_->requestCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(5 * kTestPollMs));
    EXPECT_EQ(sent, backend_->requestCount()) << "repeat " << repeat << ": the worker went on";
    EXPECT_TRUE(messages().empty()) << "repeat " << repeat << ": a destroyed instance was told something";
    EXPECT_FALSE(exists(spool)) << "repeat " << repeat;
    if (phase == Phase::Upload) {
      EXPECT_EQ(0u, count("POST", kStartPattern)) << "repeat " << repeat;
    }
    if (phase != Phase::Download) {
      EXPECT_EQ(0u, count("GET", kMattePattern)) << "repeat " << repeat;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Phases, StressDestroy,
                         ::testing::Values(PhaseCase{"WhileUploading", Phase::Upload},
                                           PhaseCase{"WhilePolling", Phase::Poll},
                                           PhaseCase{"WhileDownloading", Phase::Download}),
                         [](const auto &param) { return std::string(param.param.name); });

}  // namespace
}  // namespace jobtest
