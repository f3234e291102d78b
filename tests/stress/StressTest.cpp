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
#include <cstdint>
#include <cstdlib>
#include <future>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/job/JobFixture.h"
#include "tests/render/MatteFolder.h"

namespace jobtest {
namespace {

constexpr const char *kBeaconPath = "/api/beacon";
constexpr int kOutputModeMatteOnly = 1;
// Longest a held reply waits for its release, so a failed test cannot hang the backend's shutdown.
constexpr std::chrono::seconds kHoldLimit{20};

int scaled(int full, int lighter) {
  const char *value = std::getenv("TREVANE_STRESS_LIGHT");
  return value != nullptr && *value != '\0' && std::string(value) != "0" ? lighter : full;
}

// The gray value of session s's matte for frame i: never 0 (the source's value), and different for each
// of the three sessions at any one frame, so every output pixel tells which matte made it.
std::uint8_t matteValue(int session, int frame) {
  return static_cast<std::uint8_t>(1 + (session * 85 + frame * 7) % 254);
}

class Stress : public JobTest {};

TEST_F(Stress, EightRenderThreadsShareTheMatteCacheWhileEditsAndAJobRun) {
  const int frames = scaled(1000, 240);
  constexpr int kSessions = 3;

  // Three finished sessions on disk, one 1 x 1 matte per frame: the eight-entry cache churns on every frame.
  std::vector<std::unique_ptr<kesto::testing::MatteFolder>> sessions;
  for (int s = 0; s < kSessions; ++s) {
    sessions.push_back(std::make_unique<kesto::testing::MatteFolder>());
    for (int i = 0; i < frames; ++i) ASSERT_TRUE(sessions.back()->writeMatte(i, {matteValue(s, i)}, 1, 1));
  }

  // The rendered instance: a black opaque 8 x 4 clip of `frames` frames, shown as the matte alone.
  std::unique_ptr<th::Instance> shown = makeInstance(0);
  ASSERT_NE(shown, nullptr);
  auto frame = th::Image::make({0, 0, 8, 4}, th::PixelDepth::Byte);
  frame.fill({0.0f, 0.0f, 0.0f, 1.0f});
  auto black = std::make_shared<const th::Image>(std::move(frame));
  shown->setSourceProvider([black](double) { return black; }, 0, frames - 1);
  ASSERT_TRUE(shown->setInt("output_mode", kOutputModeMatteOnly).ok());
  ASSERT_TRUE(shown->setString("clip_start", "0.000000").ok());

  // The job runs on the fixture's instance and keeps tracking until the renders are done.
  scriptHappySession();
  auto rendersDone = std::make_shared<std::atomic<bool>>(false);
  backend_->onPattern("GET", kPollPattern).respond([rendersDone](const RecordedRequest &) {
    return json(*rendersDone ? R"({"status":"COMPLETED"})" : R"({"status":"RUNNING","progress":{"stage":"tracking"}})");
  });
  ASSERT_EQ(kOfxStatOK, press());

  std::vector<double> times(static_cast<std::size_t>(frames));
  std::iota(times.begin(), times.end(), 0.0);
  auto rendering = std::async(std::launch::async, [&] { return shown->renderMany(times, 8); });

  // Meanwhile, on the interface thread: the user switches sessions, resets the matte and clears the
  // selection, and the plug-in's own edits (the job's status texts) are delivered as they come.
  for (int edit = 0; rendering.wait_for(std::chrono::seconds(0)) != std::future_status::ready; ++edit) {
    const int step = edit % (kSessions + 2);
    if (step < kSessions) {
      EXPECT_TRUE(shown->setString("session_id", sessions[static_cast<std::size_t>(step)]->sessionId()).ok());
    } else {
      EXPECT_TRUE(shown->pressButton(step == kSessions ? "reset_matte" : "clear_mask").ok());
    }
    shown->pumpEvents();
    fx_->pumpEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const th::Expected<std::vector<th::RenderResult>> results = rendering.get();
  *rendersDone = true;
  ASSERT_TRUE(waitUntilIdle());
  EXPECT_EQ("ready: 3 frames matted", status());

  // Every frame is whole: the matte of one session for that frame, or the source after a reset.
  ASSERT_TRUE(results.ok()) << results.error();
  ASSERT_EQ(times.size(), results->size());
  int mismatches = 0;
  for (int i = 0; i < frames; ++i) {
    const th::RenderResult &r = (*results)[static_cast<std::size_t>(i)];
    ASSERT_EQ(kOfxStatOK, r.status) << "frame " << i << ": " << r.error;
    EXPECT_EQ(0, r.leakedImages) << "frame " << i;
    const auto corner = r.output.pixelBytes(0, 0);
    const auto far = r.output.pixelBytes(7, 3);
    ASSERT_TRUE(corner && far) << "frame " << i;
    const std::uint8_t v = (*corner)[0];
    const bool known = v == 0 || v == matteValue(0, i) || v == matteValue(1, i) || v == matteValue(2, i);
    const bool uniform = *corner == *far && (*corner)[1] == v && (*corner)[2] == v && (*corner)[3] == 255;
    if (!known || !uniform) ++mismatches;
  }
  EXPECT_EQ(0, mismatches) << "frames that mixed mattes, or showed a matte of another frame";
  EXPECT_EQ(0, shown->unreleasedImages());
  shown->destroy();
}

TEST_F(Stress, InstancesComeAndGoWhileTheBackendHoldsTheirBeacons) {
  const int instances = scaled(100, 40);
  // Beacons are answered once `release` is kept, or as soon as it goes when the test leaves early.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto answered = std::make_shared<std::atomic<int>>(0);
  backend_->on("POST", kBeaconPath).respond([released, answered](const RecordedRequest &) {
    released.wait_for(kHoldLimit);
    ++*answered;
    return json("{}");
  });
  th::InstanceOptions options;
  options.savedValues.emplace_back("backend_url", backend_->url());

  // Every other instance goes at once; the rest stay until all have been made. No create or destroy may wait
  // for a beacon: none is answered before the release below.
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
  release.set_value();

  ASSERT_TRUE(backend_->waitForRequests(static_cast<std::size_t>(instances), kJobWait));
  EXPECT_EQ(static_cast<std::size_t>(instances), requests("POST", kBeaconPath).size());  // the body: the beacon tests
  EXPECT_TRUE(messages().empty());
}

TEST_F(Stress, TwoInstancesPressPullAlphaAtTheSameMoment) {
  const int rounds = scaled(20, 6);
  scriptHappySession();
  // Each job keeps tracking until both presses have returned, so the second press always meets a running job.
  auto bothReturned = std::make_shared<std::atomic<bool>>(false);
  backend_->onPattern("GET", kPollPattern).respond([bothReturned](const RecordedRequest &) {
    return json(*bothReturned ? R"({"status":"COMPLETED"})" : R"({"status":"RUNNING"})");
  });
  std::unique_ptr<th::Instance> other = makeInstance(2);
  ASSERT_NE(other, nullptr);
  th::Instance *pair[2] = {fx_.get(), other.get()};

  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
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
    ASSERT_EQ(Texts{kBusyMessage}, messages()) << "exactly one press is refused";
    ASSERT_TRUE(waitUntilIdle());
    other->pumpEvents();

    // One instance ran the job; the other kept its status and made no folder.
    const int winner = status(pair[0]) != "idle" ? 0 : 1;
    EXPECT_EQ("ready: " + std::to_string(winner == 0 ? 3 : 2) + " frames matted", status(pair[winner]));
    EXPECT_EQ("idle", status(pair[1 - winner]));
    EXPECT_EQ(static_cast<std::size_t>(round + 1), count("POST", kSessionsPath));
    EXPECT_EQ(Texts{sessionId_}, folderEntries(root())) << "only the matte folder stays";
  }
  EXPECT_EQ(0, other->unreleasedImages());
  other->destroy();
}

struct Phase {
  const char *name;
  const char *method;
  const char *pattern;       // the route of the phase, answered slowly
  const char *reply;         // its JSON reply; null: the matte
  std::size_t destroyAfter;  // requests of that route before the destroy, plus the repeat's number modulo 3
};

class StressDestroy : public JobTest, public ::testing::WithParamInterface<Phase> {};

TEST_P(StressDestroy, AnInstanceDestroyedMidJobStopsItsWorkerCleanly) {
  const Phase &phase = GetParam();
  scriptHappySession();
  backend_->onPattern(phase.method, phase.pattern)
      .delay(std::chrono::milliseconds(15))
      .reply(200, phase.reply != nullptr ? phase.reply : matte_, phase.reply != nullptr ? "application/json" : "image/png");
  for (int repeat = 0; repeat < scaled(4, 2); ++repeat) {
    SCOPED_TRACE("repeat " + std::to_string(repeat));
    fx_ = makeInstance(12);
    ASSERT_NE(fx_, nullptr);
    backend_->clearRequests();
    ASSERT_EQ(kOfxStatOK, press());
    const std::string spool = spoolDir();
    ASSERT_FALSE(spool.empty());
    const std::size_t destroyAfter = phase.destroyAfter + static_cast<std::size_t>(repeat % 3);
    ASSERT_TRUE(fx_->pumpEventsUntil([&] { return count(phase.method, phase.pattern) >= destroyAfter; }, kJobWait));
    host_.clearMessages();
    EXPECT_EQ(kOfxStatOK, fx_->destroy());
    const std::size_t sent = backend_->requests().size();
    ASSERT_TRUE(waitUntilIdle());

    // The worker stopped at its next step: at most the request it had begun went out after the destroy (so no
    // later phase began).
    EXPECT_LE(backend_->requests().size(), sent + 1) << "the worker went on";
    EXPECT_TRUE(messages().empty()) << "a destroyed instance was told something";
    EXPECT_FALSE(exists(spool));
    EXPECT_EQ(1, spoolsRemovedWhileBusy()) << "the busy flag was freed before the spool folder went";
  }
}

INSTANTIATE_TEST_SUITE_P(Phases, StressDestroy,
                         ::testing::Values(Phase{"WhileUploading", "PUT", kFramePattern, "{}", 1},
                                           Phase{"WhilePolling", "GET", kPollPattern,
                                                 R"({"status":"RUNNING","progress":{"stage":"s"}})", 2},
                                           Phase{"WhileDownloading", "GET", kMattePattern, nullptr, 1}),
                         [](const auto &param) { return std::string(param.param.name); });

}  // namespace
}  // namespace jobtest
