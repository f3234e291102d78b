#include "backend/service/JobRunner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "BackendTestSupport.h"
#include "backend/service/ImageProbe.h"
#include "backend/service/SessionStore.h"

namespace kesto::backend {
namespace {

using namespace std::chrono_literals;

const char* kJob = R"({"anchor_frame":0,"quality":"fast","edge_softness":0,"text_prompt":"x"})";

// An engine that holds each job until released (or cancelled), counting how many run at once.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  bool open = false;
  int running = 0;
  int most_running = 0;
};

class GateEngine final : public MattingEngine {
 public:
  explicit GateEngine(Gate& gate) : gate_(gate) {}
  std::string_view name() const override { return "gate"; }
  EngineOutcome run(const EngineJob& job) override {
    std::unique_lock<std::mutex> lock(gate_.mu);
    ++gate_.running;
    gate_.most_running = std::max(gate_.most_running, gate_.running);
    gate_.cv.notify_all();
    while (!gate_.open && !job.monitor.cancelled()) gate_.cv.wait_for(lock, 5ms);
    --gate_.running;
    if (job.monitor.cancelled()) return std::string("cancelled");
    job.monitor.report_stage("propagating 1/1");
    std::string error;
    return job.mattes.write_matte(0, cv::Mat(6, 8, CV_8UC1, cv::Scalar(255)), error) ? EngineOutcome() : error;
  }

 private:
  Gate& gate_;
};

class ThrowingEngine final : public MattingEngine {
 public:
  std::string_view name() const override { return "throwing"; }
  EngineOutcome run(const EngineJob&) override { throw std::runtime_error("boom"); }
};

std::shared_ptr<Session> queued_session(SessionStore& store) {
  auto session = store.create({}, SteadyClock::now()).value();
  const std::string bytes = test::encode(test::square_frame(8, 6, 1, 1, 3), ".jpg");
  EXPECT_TRUE(session->store_frame(0, bytes, probe_image(bytes).value(), SteadyClock::now()).ok());
  EXPECT_TRUE(session->begin_job(kJob, SteadyClock::now()).ok());
  return session;
}

SessionState wait_for_end(Session& session) {
  for (int i = 0; i < 500; ++i) {
    const SessionState state = session.snapshot(SteadyClock::now()).state;
    if (state == SessionState::Completed || state == SessionState::Failed) return state;
    std::this_thread::sleep_for(5ms);
  }
  return session.snapshot(SteadyClock::now()).state;
}

TEST(JobRunner, RunsSeveralSessionsAtOnceAndQueuesTheRest) {
  test::TempDir dir;
  SessionStore store(dir.path(), StoreLimits{}, std::make_shared<DiskBudget>(1 << 20));
  Gate gate;
  const Log log(LogLevel::Quiet);
  JobRunner runner(2, [&gate] { return std::unique_ptr<MattingEngine>(new GateEngine(gate)); }, log);
  auto a = queued_session(store);
  auto b = queued_session(store);
  auto c = queued_session(store);
  ASSERT_TRUE(runner.submit(a));
  ASSERT_TRUE(runner.submit(b));
  ASSERT_TRUE(runner.submit(c));
  {
    std::unique_lock<std::mutex> lock(gate.mu);
    ASSERT_TRUE(gate.cv.wait_for(lock, 5s, [&] { return gate.running == 2; }));
  }
  EXPECT_EQ(c->snapshot(SteadyClock::now()).state, SessionState::Queued);
  EXPECT_EQ(c->snapshot(SteadyClock::now()).stage, "queued");
  const JobCounts counts = runner.counts();  // what /api/health reports
  EXPECT_EQ(counts.running, 2u);
  EXPECT_EQ(counts.queued, 1u);
  {
    const std::lock_guard<std::mutex> lock(gate.mu);
    gate.open = true;
  }
  gate.cv.notify_all();
  for (auto* s : {a.get(), b.get(), c.get()}) EXPECT_EQ(wait_for_end(*s), SessionState::Completed);
  EXPECT_EQ(gate.most_running, 2);
  EXPECT_TRUE(std::filesystem::exists(a->matte_file(0)));
}

TEST(JobRunner, StopCancelsRunningJobsAndJoins) {
  test::TempDir dir;
  SessionStore store(dir.path(), StoreLimits{}, std::make_shared<DiskBudget>(1 << 20));
  Gate gate;
  const Log log(LogLevel::Quiet);
  auto session = queued_session(store);
  {
    JobRunner runner(1, [&gate] { return std::unique_ptr<MattingEngine>(new GateEngine(gate)); }, log);
    ASSERT_TRUE(runner.submit(session));
    {
      std::unique_lock<std::mutex> lock(gate.mu);
      ASSERT_TRUE(gate.cv.wait_for(lock, 5s, [&] { return gate.running == 1; }));
    }
    runner.stop();
    EXPECT_FALSE(runner.submit(queued_session(store)));
  }
  const SessionSnapshot s = session->snapshot(SteadyClock::now());
  EXPECT_EQ(s.state, SessionState::Failed);
  EXPECT_EQ(s.error, "cancelled");
}

TEST(JobRunner, AnEngineThatThrowsFailsTheJobNotTheServer) {
  test::TempDir dir;
  SessionStore store(dir.path(), StoreLimits{}, std::make_shared<DiskBudget>(1 << 20));
  const Log log(LogLevel::Quiet);
  JobRunner runner(1, [] { return std::unique_ptr<MattingEngine>(new ThrowingEngine()); }, log);
  auto session = queued_session(store);
  ASSERT_TRUE(runner.submit(session));
  EXPECT_EQ(wait_for_end(*session), SessionState::Failed);
  EXPECT_NE(session->snapshot(SteadyClock::now()).error.find("boom"), std::string::npos);
  auto next = queued_session(store);  // the worker survived
  ASSERT_TRUE(runner.submit(next));
  EXPECT_EQ(wait_for_end(*next), SessionState::Failed);
}

}  // namespace
}  // namespace kesto::backend
