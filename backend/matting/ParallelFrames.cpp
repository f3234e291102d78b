#include "ParallelFrames.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace kesto::backend {

std::optional<std::string> for_each_frame_parallel(int begin, int end, int threads,
                                                   const std::function<std::optional<std::string>(int)>& fn,
                                                   const std::function<bool()>& stop) {
  std::atomic<int> next{begin};
  std::atomic<bool> failed{false};
  std::mutex mu;
  std::optional<std::string> first_error;
  auto body = [&] {
    while (!failed.load() && !stop()) {
      const int index = next.fetch_add(1);
      if (index >= end) return;
      std::optional<std::string> error;
      try {
        error = fn(index);
      } catch (const std::exception& e) {
        error = std::string("internal error: ") + e.what();
      } catch (...) {
        error = "internal error";
      }
      if (error) {
        const std::lock_guard<std::mutex> lock(mu);
        if (!first_error) first_error = std::move(error);
        failed.store(true);
      }
    }
  };
  const int count = std::max(1, std::min(threads, end - begin));
  std::vector<std::thread> pool;
  for (int i = 1; i < count; ++i) pool.emplace_back(body);
  body();
  for (auto& thread : pool) thread.join();
  return first_error;
}

int frame_worker_count() {
  const unsigned hw = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(hw == 0 ? 1u : hw, 1u, 8u));
}

}  // namespace kesto::backend
