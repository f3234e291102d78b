#pragma once
// A bounded hand-over from the propagation threads to refinement workers: each propagated frame (its picture
// and working mask) is refined and stored while propagation moves on. The queue holds at most `capacity`
// frames, so memory stays bounded by a few frames whatever the clip's length; a full queue makes the
// producer wait.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core/mat.hpp>

namespace kesto::backend {

struct RefineItem {
  int index = 0;
  cv::Mat frame;  // full-size BGR
  cv::Mat mask;   // working-size mask, 0 or 255
};

class RefinePipeline {
 public:
  using Work = std::function<std::optional<std::string>(const RefineItem&)>;

  RefinePipeline(int workers, std::size_t capacity, Work work);
  ~RefinePipeline();
  RefinePipeline(const RefinePipeline&) = delete;
  RefinePipeline& operator=(const RefinePipeline&) = delete;

  // Hands a frame over; waits while the queue is full. False once a worker has failed.
  bool push(RefineItem item);
  // Lets the workers drain the queue, joins them, and returns the first failure.
  std::optional<std::string> finish();

 private:
  void worker_loop();

  const std::size_t capacity_;
  const Work work_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<RefineItem> queue_;
  bool closed_ = false;
  std::optional<std::string> error_;
  std::vector<std::thread> workers_;
};

}  // namespace kesto::backend
