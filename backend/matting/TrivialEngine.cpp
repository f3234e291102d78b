#include "TrivialEngine.h"

#include <atomic>

#include <opencv2/imgproc.hpp>

#include "ParallelFrames.h"

namespace kesto::backend {

namespace {
constexpr double kLumaThreshold = 127.5;
constexpr int kStageEveryFrames = 8;
}  // namespace

EngineOutcome TrivialEngine::run(const EngineJob& job) {
  const int count = job.frames.frame_count();
  std::atomic<int> done{0};
  job.monitor.report_stage("thresholding 0/" + std::to_string(count));
  auto error = for_each_frame_parallel(
      0, count, frame_worker_count(),
      [&](int index) -> std::optional<std::string> {
        cv::Mat bgr;
        std::string problem;
        if (!job.frames.read_frame(index, bgr, problem)) return problem;
        cv::Mat gray;
        cv::Mat matte;
        cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
        cv::threshold(gray, matte, kLumaThreshold, 255.0, cv::THRESH_BINARY);
        if (!job.mattes.write_matte(index, matte, problem)) return problem;
        const int finished = done.fetch_add(1) + 1;
        if (finished % kStageEveryFrames == 0 || finished == count) {
          job.monitor.report_stage("thresholding " + std::to_string(finished) + "/" + std::to_string(count));
        }
        return std::nullopt;
      },
      [&] { return job.monitor.cancelled(); });
  if (error) return error;
  if (job.monitor.cancelled()) return std::string("cancelled");
  return std::nullopt;
}

}  // namespace kesto::backend
