#include "RefinePipeline.h"

#include <algorithm>
#include <exception>

namespace kesto::backend {

RefinePipeline::RefinePipeline(int workers, std::size_t capacity, Work work)
    : capacity_(std::max<std::size_t>(1, capacity)), work_(std::move(work)) {
  for (int i = 0; i < std::max(1, workers); ++i) workers_.emplace_back([this] { worker_loop(); });
}

RefinePipeline::~RefinePipeline() { finish(); }

bool RefinePipeline::push(RefineItem item) {
  std::unique_lock<std::mutex> lock(mu_);
  changed_.wait(lock, [this] { return queue_.size() < capacity_ || error_.has_value() || closed_; });
  if (error_ || closed_) return false;
  queue_.push_back(std::move(item));
  changed_.notify_all();
  return true;
}

std::optional<std::string> RefinePipeline::finish() {
  {
    const std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
  }
  changed_.notify_all();
  for (auto& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  workers_.clear();
  const std::lock_guard<std::mutex> lock(mu_);
  return error_;
}

void RefinePipeline::worker_loop() {
  for (;;) {
    RefineItem item;
    {
      std::unique_lock<std::mutex> lock(mu_);
      changed_.wait(lock, [this] { return !queue_.empty() || closed_ || error_.has_value(); });
      if (error_ || queue_.empty()) return;  // failed, or closed and drained
      item = std::move(queue_.front());
      queue_.pop_front();
    }
    changed_.notify_all();
    std::optional<std::string> failure;
    try {
      failure = work_(item);
    } catch (const std::exception& e) {
      failure = std::string("internal error: ") + e.what();
    } catch (...) {
      failure = std::string("internal error");
    }
    if (failure) {
      const std::lock_guard<std::mutex> lock(mu_);
      if (!error_) error_ = std::move(failure);
      queue_.clear();
      changed_.notify_all();
    }
  }
}

}  // namespace kesto::backend
