// Sessions and their store on disk (limits, expiry, the job's lifecycle, a restart over an earlier run's
// folder) and the job runner that matts them on worker threads.

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>

#include "BackendTestSupport.h"
#include "backend/service/ImageProbe.h"
#include "backend/service/JobRunner.h"
#include "backend/service/SessionStore.h"
#include "backend/service/Validation.h"

namespace kesto::backend {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* kJob = R"({"anchor_frame":0,"quality":"fast","edge_softness":0,"text_prompt":"x"})";

// A store in a folder of its own; `make` replaces it with one of other limits.
class SessionStoreTest : public ::testing::Test {
 protected:
  SessionStoreTest() { make(StoreLimits{}); }
  SessionStore& make(StoreLimits limits, std::size_t disk_bytes = 1 << 20) {
    budget = std::make_shared<DiskBudget>(disk_bytes);
    store.emplace(dir.path(), limits, budget);
    return *store;
  }
  // A new session with `frames` frames stored, and its job begun when `job` is given.
  std::shared_ptr<Session> session_with(int frames, SteadyClock::time_point now = SteadyClock::now(),
                                        const char* job = nullptr) {
    auto session = store->create({}, now).value();
    for (int i = 0; i < frames; ++i) EXPECT_TRUE(session->store_frame(i, bytes, info, now).ok());
    if (job != nullptr) {
      EXPECT_TRUE(session->begin_job(job, now).ok());
    }
    return session;
  }
  test::TempDir dir;
  const std::string bytes = test::encode(test::square_frame(8, 6, 1, 1, 3), ".jpg");
  const ImageInfo info = probe_image(bytes).value();
  std::shared_ptr<DiskBudget> budget;
  std::optional<SessionStore> store;
};

TEST_F(SessionStoreTest, CreatesSessionsWithDistinctSafeIdsAndFoldersUpToTheLimitAndExpiresIdleOnesNotRunningJobs) {
  make(StoreLimits{2, 1h});
  auto a = session_with(0);
  auto b = session_with(0);
  EXPECT_NE(a->id(), b->id());
  EXPECT_TRUE(is_valid_session_id(a->id()));
  EXPECT_EQ(a->dir().parent_path(), dir.path());
  EXPECT_EQ(store->find(a->id()), a);
  EXPECT_EQ(store->find("0123456789abcdef0123456789abcdef"), nullptr);
  EXPECT_EQ(store->create({}, SteadyClock::now()).error().http_status, 429);
  // Removed, the session is cancelled; its folder goes once nobody (a running job, say) holds it.
  const fs::path folder = a->dir();
  auto held = store->remove(a->id());
  a.reset();
  ASSERT_TRUE(held);
  EXPECT_TRUE(held->cancel_requested());
  EXPECT_TRUE(fs::exists(folder));
  held.reset();
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_EQ(store->remove("0123456789abcdef0123456789abcdef"), nullptr);
  EXPECT_TRUE(store->create({}, SteadyClock::now()).ok());
  // Expiry, in a store of a short time to live.
  make(StoreLimits{8, 10s});
  const auto t0 = SteadyClock::now();
  auto idle = session_with(0, t0);
  auto busy = session_with(1, t0, kJob);
  auto touched = session_with(0, t0);
  touched->snapshot(t0 + 8s);  // a status poll counts as activity
  const fs::path idle_dir = idle->dir();
  idle.reset();
  EXPECT_TRUE(store->remove_expired(t0 + 9s).empty());
  EXPECT_EQ(store->remove_expired(t0 + 11s).size(), 1u);
  EXPECT_FALSE(fs::exists(idle_dir));
  EXPECT_EQ(store->remove_expired(t0 + 19s).size(), 1u);  // touched
  busy->finish(std::nullopt, t0 + 20s);
  EXPECT_TRUE(store->remove_expired(t0 + 29s).empty());
  EXPECT_EQ(store->remove_expired(t0 + 31s).size(), 1u);
  EXPECT_EQ(store->size(), 0u);
}

TEST_F(SessionStoreTest, AJobNeedsEveryFrameWithinTheDiskLimitStartsOnceAndGivesMattesForItsFrames) {
  make(StoreLimits{}, bytes.size() * 3 + 10);
  auto session = session_with(0);
  const auto now = SteadyClock::now();
  EXPECT_EQ(session->begin_job(kJob, now).error().http_status, 409);  // no frames
  ASSERT_TRUE(session->store_frame(0, bytes, info, now).ok());
  ASSERT_TRUE(session->store_frame(2, bytes, info, now).ok());
  const auto gap = session->begin_job(kJob, now);
  EXPECT_EQ(gap.error().http_status, 409);
  EXPECT_NE(gap.error().message.find("frame 1"), std::string::npos);
  for (int twice = 0; twice < 2; ++twice) ASSERT_TRUE(session->store_frame(1, bytes, info, now).ok());  // replaced
  // A replacement in the other format that cannot be written (a folder holds its name) keeps the frame.
  const std::string png = test::encode(test::square_frame(8, 6, 1, 1, 3), ".png");
  ASSERT_LE(png.size(), bytes.size());
  fs::path taken = session->frame_file(1);
  fs::create_directories(taken.replace_extension(".png") / "in-the-way");
  EXPECT_EQ(session->store_frame(1, png, probe_image(png).value(), now).error().http_status, 507);
  EXPECT_EQ(session->frame_file(1).extension(), ".jpg");
  EXPECT_TRUE(fs::is_regular_file(session->frame_file(1)));
  fs::remove_all(taken);
  EXPECT_EQ(session->store_frame(3, bytes, info, now).error().http_status, 507);
  EXPECT_EQ(budget->used_bytes(), bytes.size() * 3);
  // A bad request (anchor beyond the clip: the refused frame is not in it) leaves the session open.
  EXPECT_EQ(session->begin_job(R"({"anchor_frame":3,"quality":"fast","edge_softness":0,"text_prompt":"x"})", now)
                .error().http_status, 400);
  ASSERT_EQ(session->begin_job(kJob, now).value(), 3);
  EXPECT_EQ(session->begin_job(kJob, now).error().http_status, 409);
  EXPECT_EQ(session->store_frame(3, bytes, info, now).error().http_status, 409);
  EXPECT_EQ(session->matte_for_download(0, now).error().http_status, 409);
  EXPECT_EQ(session->snapshot(now).state, SessionState::Queued);
  ASSERT_TRUE(session->mark_running());
  session->finish(std::nullopt, now);
  EXPECT_FALSE(fs::exists(session->frame_file(0)));
  EXPECT_EQ(budget->used_bytes(), 0u);
  EXPECT_EQ(session->snapshot(now).state, SessionState::Completed);
  EXPECT_EQ(session->matte_for_download(2, now).value(), session->matte_file(2));
  EXPECT_EQ(session->matte_for_download(3, now).error().http_status, 404);
  // Cancelled while queued, a job never runs.
  auto cancelled = session_with(1, now, kJob);
  cancelled->request_cancel();
  EXPECT_FALSE(cancelled->mark_running());
  cancelled.reset();
  store->clear();  // its last holder gone, its frame's bytes are free again
  EXPECT_EQ(budget->used_bytes(), 0u);
}

// A run cut short (kill -9) leaves its folders as they were; the sessions of a store here remove theirs when
// they go, so the earlier run's folder is a copy taken while they are alive.
TEST_F(SessionStoreTest, ARestartServesFinishedSessionsAndFailsTheRest) {
  const auto t0 = SteadyClock::now();
  const std::string png = test::encode(cv::Mat(6, 8, CV_8UC1, cv::Scalar(255)), ".png");
  const auto finished = [&] {
    auto session = session_with(2, t0, kJob);
    EXPECT_TRUE(session->mark_running());
    for (int i = 0; i < 2; ++i) {
      std::ofstream(session->matte_file(i), std::ios::binary) << png;
      EXPECT_TRUE(session->account_matte(i, png.size()));
    }
    session->finish(std::nullopt, t0);
    return session;
  };
  const struct {
    const char* what;
    std::shared_ptr<Session> session;
    SessionState after;
    const char* error;  // part of it
  } left[] = {
      {"completed", finished(), SessionState::Completed, ""},
      {"started", session_with(1, t0, kJob), SessionState::Failed, kRestartedError},
      {"completed, a matte cut short", finished(), SessionState::Failed, "matte 1 was lost"},
  };
  std::ofstream(left[2].session->matte_file(1), std::ios::binary | std::ios::trunc) << "cut";
  std::ofstream(left[0].session->dir() / "alpha" / "000001.png.tmp-7") << "half";
  // Folders that are no session's: a garbled record, one with no record at all, and another program's.
  const std::pair<const char*, bool> others[] = {  // the folder's name, and whether the restart keeps it
      {"0123456789abcdef0123456789abcdef", false}, {"a-fedcba9876543210fedcba9876543210", true}, {"keep-me", true}};
  for (const auto& [name, kept] : others) fs::create_directories(dir.path() / name);
  std::ofstream(dir.path() / others[0].first / kSessionRecordFile) << "trevane-backend session";
  std::ofstream(dir.path() / others[2].first / kSessionRecordFile) << "{}";

  test::TempDir after;
  fs::copy(dir.path(), after.path(), fs::copy_options::recursive);
  auto restarted_budget = std::make_shared<DiskBudget>(1 << 20);
  SessionStore restarted(after.path(), StoreLimits{8, 10s}, restarted_budget);
  const auto t1 = t0 + 1h;
  const Recovered found = restarted.recover(t1);
  EXPECT_EQ(std::tie(found.completed, found.failed, found.discarded), std::make_tuple(1u, 2u, 1u));
  for (const auto& l : left) {
    const auto back = restarted.find(l.session->id());
    ASSERT_NE(back, nullptr) << l.what;
    const SessionSnapshot s = back->snapshot(t1);
    EXPECT_EQ(s.state, l.after) << l.what;
    EXPECT_NE(s.error.find(l.error), std::string::npos) << l.what << ": " << s.error;
    EXPECT_FALSE(fs::exists(back->dir() / "frames")) << l.what;
    if (l.after == SessionState::Failed) {
      EXPECT_EQ(back->matte_for_download(0, t1).error().http_status, 409) << l.what;
    }
  }
  const auto completed = restarted.find(left[0].session->id());
  EXPECT_EQ(completed->snapshot(t1).frame_count, 2);
  EXPECT_EQ(completed->matte_for_download(1, t1).value(), completed->matte_file(1));
  EXPECT_FALSE(fs::exists(completed->dir() / "alpha" / "000001.png.tmp-7"));
  EXPECT_EQ(restarted_budget->used_bytes(), png.size() * 2);
  for (const auto& [name, kept] : others) EXPECT_EQ(fs::exists(after.path() / name), kept) << name;
  // The time to live counts from the restart.
  EXPECT_TRUE(restarted.remove_expired(t1 + 9s).empty());
  EXPECT_EQ(restarted.remove_expired(t1 + 11s).size(), std::size(left));
}

// An engine that holds each job until the gate opens (or the job is cancelled), counting how many run at
// once; a job whose hint is "boom" throws at once.
struct Gate {
  std::atomic<bool> open{false};
  std::atomic<int> running{0};
};

class GateEngine final : public MattingEngine {
 public:
  explicit GateEngine(Gate* gate) : gate_(gate) {}
  std::string_view name() const override { return "gate"; }
  EngineOutcome run(const EngineJob& job) override {
    if (job.request.text_prompt == "boom") throw std::runtime_error("boom");
    ++gate_->running;
    while (!gate_->open && !job.monitor.cancelled()) std::this_thread::sleep_for(5ms);
    --gate_->running;
    if (job.monitor.cancelled()) return std::string("cancelled");
    std::string error;
    return job.mattes.write_matte(0, cv::Mat(6, 8, CV_8UC1, cv::Scalar(255)), error) ? EngineOutcome() : error;
  }

 private:
  Gate* gate_;
};

class JobRunnerTest : public SessionStoreTest {
 protected:
  // Both end states last, so reading the state again to test each is sound.
  static SessionState wait_for_end(Session& session) {
    const auto state = [&] { return session.snapshot(SteadyClock::now()).state; };
    for (int i = 0; i < 500 && state() != SessionState::Completed && state() != SessionState::Failed; ++i) {
      std::this_thread::sleep_for(5ms);
    }
    return state();
  }
  static bool wait_running(const Gate& gate, int count) {
    for (int i = 0; i < 1000 && gate.running != count; ++i) std::this_thread::sleep_for(5ms);
    return gate.running == count;
  }
  const Log log{LogLevel::Quiet};
};

TEST_F(JobRunnerTest, RunsSeveralSessionsAtOnceQueuesTheRestSurvivesAThrowingEngineAndStopCancels) {
  Gate gate;
  JobRunner runner(2, [&gate] { return std::unique_ptr<MattingEngine>(new GateEngine(&gate)); }, log);
  const auto now = SteadyClock::now();
  // The first job throws: two held at once means its worker went on to the next.
  const std::shared_ptr<Session> sessions[] = {
      session_with(1, now, R"({"anchor_frame":0,"quality":"fast","edge_softness":0,"text_prompt":"boom"})"),
      session_with(1, now, kJob), session_with(1, now, kJob), session_with(1, now, kJob)};
  for (const auto& s : sessions) ASSERT_TRUE(runner.submit(s));
  ASSERT_TRUE(wait_running(gate, 2));
  EXPECT_EQ(wait_for_end(*sessions[0]), SessionState::Failed);
  EXPECT_NE(sessions[0]->snapshot(now).error.find("boom"), std::string::npos);
  const SessionSnapshot queued = sessions[3]->snapshot(now);
  EXPECT_EQ(std::tie(queued.state, queued.stage), std::make_tuple(SessionState::Queued, "queued"));
  EXPECT_STREQ(wire_status(queued.state), "RUNNING");  // to the plug-in, a queued job is under way
  const JobCounts counts = runner.counts();  // what /api/health reports
  EXPECT_EQ(std::tie(counts.running, counts.queued), std::make_tuple(2u, 1u));
  gate.open = true;
  for (int i = 1; i < 4; ++i) EXPECT_EQ(wait_for_end(*sessions[i]), SessionState::Completed);
  EXPECT_TRUE(fs::exists(sessions[1]->matte_file(0)));

  gate.open = false;
  const auto held = session_with(1, now, kJob);
  ASSERT_TRUE(runner.submit(held));
  ASSERT_TRUE(wait_running(gate, 1));
  runner.stop();
  EXPECT_FALSE(runner.submit(session_with(1, now, kJob)));
  const SessionSnapshot stopped = held->snapshot(now);
  EXPECT_EQ(std::tie(stopped.state, stopped.error), std::make_tuple(SessionState::Failed, "cancelled"));
}

}  // namespace
}  // namespace kesto::backend
