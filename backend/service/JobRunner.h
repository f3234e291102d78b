#pragma once
// A fixed set of worker threads that run queued jobs, one session per worker, so several sessions are matted
// at once and the rest wait in order.

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "backend/matting/EngineFactory.h"
#include "Log.h"

namespace kesto::backend {

class Session;

struct JobCounts {
  std::size_t running = 0;
  std::size_t queued = 0;
};

class JobRunner {
 public:
  JobRunner(int workers, EngineFactory factory, const Log& log);
  ~JobRunner();
  JobRunner(const JobRunner&) = delete;
  JobRunner& operator=(const JobRunner&) = delete;

  // Queues the session's job (the session is in state Queued). False once the runner is stopping.
  bool submit(std::shared_ptr<Session> session);
  // Cancels queued and running jobs and joins the workers. Idempotent.
  void stop();
  JobCounts counts();

 private:
  void worker_loop();
  void run_one(Session& session);

  EngineFactory factory_;
  const Log& log_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Session>> queue_;
  std::vector<std::shared_ptr<Session>> running_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

// Runs one job on `session` with `engine` right here; the job runner's workers use it, and so can tests.
void run_job(Session& session, class MattingEngine& engine, const Log& log);

}  // namespace kesto::backend
