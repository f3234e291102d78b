#include "JobRunner.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "ImageIO.h"
#include "backend/matting/MattingEngine.h"
#include "Session.h"

namespace kesto::backend {

namespace {

class SessionFrames final : public FrameSource {
 public:
  explicit SessionFrames(const Session& session) : session_(session), count_(session.job_frame_count()) {}
  int frame_count() const override { return count_; }
  bool read_frame(int index, cv::Mat& bgr, std::string& error) const override {
    if (index < 0 || index >= count_) {
      error = "frame " + std::to_string(index) + " is outside the clip";
      return false;
    }
    if (!read_color_image(session_.frame_file(index), bgr, error)) {
      error = "frame " + std::to_string(index) + " could not be decoded";
      return false;
    }
    return true;
  }

 private:
  const Session& session_;
  const int count_;
};

class SessionMattes final : public MatteSink {
 public:
  explicit SessionMattes(Session& session) : session_(session) {}
  bool write_matte(int index, const cv::Mat& alpha, std::string& error) override {
    const std::size_t bytes = write_gray_png(session_.matte_file(index), alpha, error);
    if (bytes == 0) return false;
    if (!session_.account_matte(index, bytes)) {
      error = "the server's disk limit for sessions is reached";
      return false;
    }
    return true;
  }

 private:
  Session& session_;
};

class SessionMonitor final : public JobMonitor {
 public:
  explicit SessionMonitor(Session& session) : session_(session) {}
  void report_stage(std::string stage) override { session_.set_stage(std::move(stage)); }
  bool cancelled() const override { return session_.cancel_requested(); }

 private:
  Session& session_;
};

}  // namespace

void run_job(Session& session, MattingEngine& engine, const Log& log) {
  if (!session.mark_running()) {
    session.finish(std::string("cancelled"), SteadyClock::now());
    return;
  }
  const auto started = SteadyClock::now();
  const JobRequest request = session.job_request();
  SessionFrames frames(session);
  SessionMattes mattes(session);
  SessionMonitor monitor(session);
  EngineOutcome outcome;
  try {
    outcome = engine.run(EngineJob{request, frames, mattes, monitor, session.scratch_dir()});
  } catch (const std::exception& e) {
    outcome = std::string("internal error: ") + e.what();
  } catch (...) {
    outcome = std::string("internal error");
  }
  if (!outcome && session.cancel_requested()) outcome = std::string("cancelled");
  const auto elapsed_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - started).count();
  if (outcome) {
    log.info("session " + session.id() + ": job failed after " + std::to_string(elapsed_ms) + " ms: " + *outcome);
  } else {
    log.info("session " + session.id() + ": " + std::to_string(frames.frame_count()) + " frames matted by " +
             std::string(engine.name()) + " in " + std::to_string(elapsed_ms) + " ms");
  }
  session.finish(std::move(outcome), SteadyClock::now());
}

JobRunner::JobRunner(int workers, EngineFactory factory, const Log& log) : factory_(std::move(factory)), log_(log) {
  for (int i = 0; i < std::max(1, workers); ++i) workers_.emplace_back([this] { worker_loop(); });
}

JobRunner::~JobRunner() { stop(); }

bool JobRunner::submit(std::shared_ptr<Session> session) {
  {
    const std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return false;
    queue_.push_back(std::move(session));
  }
  wake_.notify_one();
  return true;
}

void JobRunner::stop() {
  {
    const std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ && workers_.empty()) return;
    stopping_ = true;
    for (auto& session : queue_) session->request_cancel();
    for (auto& session : running_) session->request_cancel();
  }
  wake_.notify_all();
  for (auto& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  workers_.clear();
  const std::lock_guard<std::mutex> lock(mu_);
  queue_.clear();
}

JobCounts JobRunner::counts() {
  const std::lock_guard<std::mutex> lock(mu_);
  return JobCounts{running_.size(), queue_.size()};
}

void JobRunner::worker_loop() {
  for (;;) {
    std::shared_ptr<Session> session;
    {
      std::unique_lock<std::mutex> lock(mu_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      session = std::move(queue_.front());
      queue_.pop_front();
      running_.push_back(session);
    }
    run_one(*session);
    const std::lock_guard<std::mutex> lock(mu_);
    running_.erase(std::find(running_.begin(), running_.end(), session));
  }
}

void JobRunner::run_one(Session& session) {
  // Thread bodies catch everything: nothing may escape a worker.
  try {
    std::unique_ptr<MattingEngine> engine = factory_ ? factory_() : nullptr;
    if (!engine) {
      session.finish(std::string("no matting engine available"), SteadyClock::now());
      return;
    }
    run_job(session, *engine, log_);
  } catch (const std::exception& e) {
    log_.warn(std::string("job runner: ") + e.what());
    session.finish(std::string("internal error"), SteadyClock::now());
  } catch (...) {
    session.finish(std::string("internal error"), SteadyClock::now());
  }
}

}  // namespace kesto::backend
