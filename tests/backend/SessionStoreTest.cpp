#include "backend/service/SessionStore.h"

#include <gtest/gtest.h>
#include <fstream>
#include <optional>

#include "BackendTestSupport.h"
#include "backend/service/ImageProbe.h"
#include "backend/service/Validation.h"

namespace kesto::backend {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* kJob = R"({"anchor_frame":0,"quality":"fast","edge_softness":0,"text_prompt":"x"})";

using test::TempDir;

struct Frame {
  std::string bytes;
  ImageInfo info;
};

Frame tiny_frame() {
  Frame f;
  f.bytes = test::encode(test::square_frame(8, 6, 1, 1, 3), ".jpg");
  f.info = probe_image(f.bytes).value();
  return f;
}

// A store in a folder of its own; `make` replaces it with one of other limits.
class SessionStoreTest : public ::testing::Test {
 protected:
  SessionStore& make(StoreLimits limits, std::size_t disk_bytes = 1 << 20) {
    budget = std::make_shared<DiskBudget>(disk_bytes);
    store.emplace(dir.path(), limits, budget);
    return *store;
  }
  // A new session with `frames` frames stored.
  std::shared_ptr<Session> session_with(int frames, SteadyClock::time_point now = SteadyClock::now()) {
    auto session = store->create({}, now).value();
    for (int i = 0; i < frames; ++i) EXPECT_TRUE(session->store_frame(i, frame.bytes, frame.info, now).ok());
    return session;
  }
  SessionStoreTest() { make(StoreLimits{}); }
  TempDir dir;
  const Frame frame = tiny_frame();
  std::shared_ptr<DiskBudget> budget;
  std::optional<SessionStore> store;
};

TEST_F(SessionStoreTest, CreatesSessionsWithDistinctSafeIdsAndFolders) {
  const auto now = SteadyClock::now();
  auto a = store->create({25.0, "plugin"}, now);
  auto b = store->create({25.0, "plugin"}, now);
  ASSERT_TRUE(a.ok());
  ASSERT_TRUE(b.ok());
  EXPECT_NE(a.value()->id(), b.value()->id());
  EXPECT_TRUE(is_valid_session_id(a.value()->id()));
  EXPECT_TRUE(fs::is_directory(a.value()->dir()));
  EXPECT_EQ(a.value()->dir().parent_path(), dir.path());
  EXPECT_EQ(store->find(a.value()->id()), a.value());
  EXPECT_EQ(store->find("0123456789abcdef0123456789abcdef"), nullptr);
  EXPECT_EQ(store->size(), 2u);
}

TEST_F(SessionStoreTest, RefusesSessionsBeyondTheLimit) {
  make(StoreLimits{2, 1h});
  const auto now = SteadyClock::now();
  ASSERT_TRUE(store->create({}, now).ok());
  ASSERT_TRUE(store->create({}, now).ok());
  const auto third = store->create({}, now);
  ASSERT_FALSE(third.ok());
  EXPECT_EQ(third.error().http_status, 429);
}

TEST_F(SessionStoreTest, RemovingASessionRemovesItsFolderOnceNobodyHoldsIt) {
  auto session = session_with(0);
  const fs::path folder = session->dir();
  auto held = store->remove(session->id());
  session.reset();
  ASSERT_TRUE(held);
  EXPECT_TRUE(held->cancel_requested());
  EXPECT_TRUE(fs::exists(folder));  // still held, e.g. by a running job
  held.reset();
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_EQ(store->remove("0123456789abcdef0123456789abcdef"), nullptr);
}

TEST_F(SessionStoreTest, ExpiresIdleSessionsButNotRunningJobs) {
  make(StoreLimits{8, 10s});
  const auto t0 = SteadyClock::now();
  auto idle = session_with(0, t0);
  auto busy = session_with(1, t0);
  auto touched = session_with(0, t0);
  ASSERT_TRUE(busy->begin_job(kJob, t0).ok());
  touched->snapshot(t0 + 8s);  // a status poll counts as activity
  const fs::path idle_dir = idle->dir();
  idle.reset();

  EXPECT_TRUE(store->remove_expired(t0 + 9s).empty());
  const auto expired = store->remove_expired(t0 + 11s);
  ASSERT_EQ(expired.size(), 1u);
  EXPECT_FALSE(fs::exists(idle_dir));
  EXPECT_NE(store->find(busy->id()), nullptr);
  EXPECT_NE(store->find(touched->id()), nullptr);
  EXPECT_EQ(store->remove_expired(t0 + 19s).size(), 1u);  // touched
  busy->finish(std::nullopt, t0 + 20s);
  EXPECT_TRUE(store->remove_expired(t0 + 29s).empty());
  EXPECT_EQ(store->remove_expired(t0 + 31s).size(), 1u);
  EXPECT_EQ(store->size(), 0u);
}

TEST_F(SessionStoreTest, FramesCountAgainstTheDiskLimitAndAreReleased) {
  make(StoreLimits{}, frame.bytes.size() * 2 + 10);
  auto session = session_with(2);
  const auto now = SteadyClock::now();
  ASSERT_TRUE(session->store_frame(1, frame.bytes, frame.info, now).ok());  // replacing frees the old copy
  const auto full = session->store_frame(2, frame.bytes, frame.info, now);
  ASSERT_FALSE(full.ok());
  EXPECT_EQ(full.error().http_status, 507);
  EXPECT_EQ(budget->used_bytes(), frame.bytes.size() * 2);
  session.reset();
  store->clear();
  EXPECT_EQ(budget->used_bytes(), 0u);
}

TEST_F(SessionStoreTest, StartNeedsEveryFrameAndOnlyOnce) {
  auto session = session_with(0);
  const auto now = SteadyClock::now();
  EXPECT_EQ(session->begin_job(kJob, now).error().http_status, 409);  // no frames
  ASSERT_TRUE(session->store_frame(0, frame.bytes, frame.info, now).ok());
  ASSERT_TRUE(session->store_frame(2, frame.bytes, frame.info, now).ok());
  const auto gap = session->begin_job(kJob, now);
  ASSERT_FALSE(gap.ok());
  EXPECT_EQ(gap.error().http_status, 409);
  EXPECT_NE(gap.error().message.find("frame 1"), std::string::npos);
  ASSERT_TRUE(session->store_frame(1, frame.bytes, frame.info, now).ok());
  EXPECT_EQ(session->begin_job(R"({"anchor_frame":3,"quality":"fast","edge_softness":0,"text_prompt":"x"})", now)
                .error()
                .http_status,
            400);  // a bad request leaves the session open for another try
  ASSERT_EQ(session->begin_job(kJob, now).value(), 3);
  EXPECT_EQ(session->begin_job(kJob, now).error().http_status, 409);
  EXPECT_EQ(session->store_frame(3, frame.bytes, frame.info, now).error().http_status, 409);
  EXPECT_EQ(session->matte_for_download(0, now).error().http_status, 409);
  EXPECT_EQ(session->snapshot(now).state, SessionState::Queued);
}

TEST_F(SessionStoreTest, FinishedJobGivesMattesAndDropsFrames) {
  auto session = session_with(1);
  const auto now = SteadyClock::now();
  ASSERT_TRUE(session->begin_job(kJob, now).ok());
  ASSERT_TRUE(session->mark_running());
  EXPECT_TRUE(fs::exists(session->frame_file(0)));
  session->finish(std::nullopt, now);
  EXPECT_FALSE(fs::exists(session->frame_file(0)));
  EXPECT_EQ(budget->used_bytes(), 0u);
  EXPECT_EQ(session->snapshot(now).state, SessionState::Completed);
  EXPECT_EQ(session->matte_for_download(0, now).value(), session->matte_file(0));
  EXPECT_EQ(session->matte_for_download(1, now).error().http_status, 404);
}

TEST_F(SessionStoreTest, CancelledWhileQueuedNeverRuns) {
  auto session = session_with(1);
  ASSERT_TRUE(session->begin_job(kJob, SteadyClock::now()).ok());
  session->request_cancel();
  EXPECT_FALSE(session->mark_running());
}

// A run cut short (kill -9) leaves its folders as they were; the sessions of a store here remove theirs when
// they go, so the earlier run's folder is a copy taken while they are alive.
TEST_F(SessionStoreTest, ARestartServesFinishedSessionsAndFailsTheRest) {
  const auto t0 = SteadyClock::now();
  struct Left {
    const char* what;
    std::shared_ptr<Session> session;
    SessionState after;
    const char* error;  // part of it
  };
  std::vector<Left> left;
  const auto finished = [&](int mattes) {
    auto session = session_with(mattes, t0);
    EXPECT_TRUE(session->begin_job(kJob, t0).ok());
    EXPECT_TRUE(session->mark_running());
    for (int i = 0; i < mattes; ++i) {
      const std::string png = test::encode(cv::Mat(6, 8, CV_8UC1, cv::Scalar(255)), ".png");
      std::ofstream(session->matte_file(i), std::ios::binary) << png;
      EXPECT_TRUE(session->account_matte(i, png.size()));
    }
    return session;
  };
  left.push_back({"completed", finished(2), SessionState::Completed, ""});
  left.push_back({"uploading", session_with(2, t0), SessionState::Failed, kRestartedError});
  auto started = session_with(1, t0);
  ASSERT_TRUE(started->begin_job(kJob, t0).ok());
  left.push_back({"started", started, SessionState::Failed, kRestartedError});
  left.push_back({"failed", session_with(1, t0), SessionState::Failed, "decoder gave up"});
  left.back().session->finish(std::string("decoder gave up"), t0);
  left.push_back({"completed, a matte cut short", finished(2), SessionState::Failed, "matte 1 was lost"});
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (left[i].after == SessionState::Completed || i == 4) left[i].session->finish(std::nullopt, t0);
  }
  std::ofstream(left[4].session->matte_file(1), std::ios::binary | std::ios::trunc) << "cut";
  std::ofstream(left[0].session->dir() / "alpha" / "000001.png.tmp-7") << "half";
  const fs::path garbled = dir.path() / "0123456789abcdef0123456789abcdef";
  const fs::path unmarked = dir.path() / "a-fedcba9876543210fedcba9876543210";
  const fs::path foreign = dir.path() / "keep-me";
  for (const fs::path& p : {garbled, unmarked, foreign}) fs::create_directories(p);
  std::ofstream(garbled / kSessionRecordFile) << "trevane-backend session";
  std::ofstream(foreign / kSessionRecordFile) << "{}";

  TempDir after;
  fs::copy(dir.path(), after.path(), fs::copy_options::recursive);
  auto restarted_budget = std::make_shared<DiskBudget>(1 << 20);
  SessionStore restarted(after.path(), StoreLimits{8, 10s}, restarted_budget);
  const auto t1 = t0 + 1h;
  const Recovered found = restarted.recover(t1);
  EXPECT_EQ(found.completed, 1u);
  EXPECT_EQ(found.failed, 4u);
  EXPECT_EQ(found.discarded, 1u);
  for (const Left& l : left) {
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
  EXPECT_EQ(restarted_budget->used_bytes(), fs::file_size(completed->matte_file(0)) * 2);
  EXPECT_FALSE(fs::exists(after.path() / garbled.filename()));
  EXPECT_TRUE(fs::exists(after.path() / unmarked.filename()));
  EXPECT_TRUE(fs::exists(after.path() / foreign.filename()));
  // The time to live counts from the restart, and a second restart still knows why the job failed.
  EXPECT_TRUE(restarted.remove_expired(t1 + 9s).empty());
  TempDir again;
  fs::copy(after.path(), again.path(), fs::copy_options::recursive);
  SessionStore second(again.path(), StoreLimits{}, std::make_shared<DiskBudget>(1 << 20));
  second.recover(t1);
  EXPECT_EQ(second.find(left[2].session->id())->snapshot(t1).error, kRestartedError);
  EXPECT_EQ(second.find(left[0].session->id())->snapshot(t1).state, SessionState::Completed);
  EXPECT_EQ(restarted.remove_expired(t1 + 11s).size(), left.size());
}

}  // namespace
}  // namespace kesto::backend
