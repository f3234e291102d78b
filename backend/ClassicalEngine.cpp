#include "ClassicalEngine.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "AnchorSegmenter.h"
#include "CharacterFinder.h"
#include "EdgeRefiner.h"
#include "ImageIO.h"
#include "MaskPropagator.h"
#include "ParallelFrames.h"

namespace kesto::backend {

namespace {

constexpr int kScratchPngCompression = 1;

cv::Mat to_work(const cv::Mat& frame, double scale) {
  if (scale >= 1.0) return frame;
  cv::Mat work;
  const cv::Size size(std::max(2, static_cast<int>(std::lround(frame.cols * scale))),
                      std::max(2, static_cast<int>(std::lround(frame.rows * scale))));
  cv::resize(frame, work, size, 0, 0, cv::INTER_AREA);
  return work;
}

cv::Mat to_gray(const cv::Mat& bgr) {
  cv::Mat gray;
  cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
  return gray;
}

std::filesystem::path mask_path(const std::filesystem::path& dir, int index) {
  char name[32];
  std::snprintf(name, sizeof name, "mask%06d.png", index);
  return dir / name;
}

bool save_mask(const std::filesystem::path& dir, int index, const cv::Mat& mask) {
  try {
    return cv::imwrite(mask_path(dir, index).string(), mask, {cv::IMWRITE_PNG_COMPRESSION, kScratchPngCompression});
  } catch (const cv::Exception&) {
    return false;
  }
}

// Counts frames through both passes and turns them into stage texts.
class Progress {
 public:
  Progress(JobMonitor& monitor, int total) : monitor_(monitor), total_(total) {}
  void step(const char* stage) {
    const int done = done_.fetch_add(1) + 1;
    monitor_.report_stage(std::string(stage) + " " + std::to_string(done) + "/" + std::to_string(total_));
  }
  void restart() { done_.store(0); }

 private:
  JobMonitor& monitor_;
  const int total_;
  std::atomic<int> done_{0};
};

// Runs the mask from the anchor to one end of the clip; step is +1 (forward) or -1 (backward).
std::optional<std::string> propagate(const EngineJob& job, const ClassicalParams& params, const cv::Mat& anchor_gray,
                                     const cv::Mat& anchor_mask, int step, Progress& progress) {
  MaskPropagator propagator(PropagationParams{params.band_px, params.track_iterations, params.fine_flow});
  cv::Mat prev_gray = anchor_gray;
  cv::Mat prev_mask = anchor_mask;
  const int count = job.frames.frame_count();
  for (int index = job.request.anchor_frame + step; index >= 0 && index < count; index += step) {
    if (job.monitor.cancelled()) return std::nullopt;
    cv::Mat frame;
    std::string error;
    if (!job.frames.read_frame(index, frame, error)) return error;
    const cv::Mat work = to_work(frame, params.work_scale);
    const cv::Mat gray = to_gray(work);
    if (prev_gray.size() != gray.size()) {
      // Frames of another size: bring the previous state to the new one before comparing.
      cv::resize(prev_gray, prev_gray, gray.size(), 0, 0, cv::INTER_AREA);
      cv::resize(prev_mask, prev_mask, gray.size(), 0, 0, cv::INTER_NEAREST);
    }
    cv::Mat mask = propagator.track(prev_gray, prev_mask, work, gray);
    if (!save_mask(job.scratch_dir, index, mask)) return std::string("cannot store a working mask");
    prev_gray = gray;
    prev_mask = mask;
    progress.step("propagating");
  }
  return std::nullopt;
}

}  // namespace

ClassicalParams classical_params(Quality quality) {
  if (quality == Quality::Fast) return ClassicalParams{0.5, 3, 5, 1, false};
  return ClassicalParams{1.0, 5, 8, 2, true};
}

EngineOutcome ClassicalEngine::run(const EngineJob& job) {
  const ClassicalParams params = classical_params(job.request.quality);
  const int count = job.frames.frame_count();
  const int anchor = job.request.anchor_frame;
  if (anchor < 0 || anchor >= count) return std::string("the anchor frame is outside the clip");

  job.monitor.report_stage("segmenting anchor");
  cv::Mat anchor_frame;
  std::string error;
  if (!job.frames.read_frame(anchor, anchor_frame, error)) return error;
  const cv::Mat work = to_work(anchor_frame, params.work_scale);

  AnchorSeeds seeds;
  seeds.dabs = job.request.strokes;
  if (job.request.bbox) {
    seeds.box = box_to_pixels(*job.request.bbox, work.cols, work.rows);
  } else if (!job.request.has_drawing() || std::none_of(seeds.dabs.begin(), seeds.dabs.end(),
                                                        [](const BrushDab& d) { return d.adds(); })) {
    job.monitor.report_stage("finding character");
    const auto found = find_character(anchor_frame, job.request.text_prompt);
    if (!found) {
      return std::string("no person or face found for the text hint; draw a box around the character");
    }
    const double sx = static_cast<double>(work.cols) / anchor_frame.cols;
    const double sy = static_cast<double>(work.rows) / anchor_frame.rows;
    seeds.box = cv::Rect(static_cast<int>(found->x * sx), static_cast<int>(found->y * sy),
                         std::max(2, static_cast<int>(found->width * sx)), std::max(2, static_cast<int>(found->height * sy))) &
                cv::Rect(0, 0, work.cols, work.rows);
    job.monitor.report_stage("segmenting anchor");
  }
  const cv::Mat anchor_mask = segment_anchor(work, seeds, params.anchor_iterations, error);
  if (anchor_mask.empty()) return error;
  if (!save_mask(job.scratch_dir, anchor, anchor_mask)) return std::string("cannot store a working mask");

  Progress progress(job.monitor, count);
  progress.step("propagating");
  const cv::Mat anchor_gray = to_gray(work);
  std::optional<std::string> backward_error;
  std::thread backward([&] {
    try {
      backward_error = propagate(job, params, anchor_gray, anchor_mask, -1, progress);
    } catch (const std::exception& e) {
      backward_error = std::string("internal error: ") + e.what();
    } catch (...) {
      backward_error = std::string("internal error");
    }
  });
  std::optional<std::string> forward_error;
  try {
    forward_error = propagate(job, params, anchor_gray, anchor_mask, +1, progress);
  } catch (const std::exception& e) {
    forward_error = std::string("internal error: ") + e.what();
  }
  backward.join();
  if (forward_error) return forward_error;
  if (backward_error) return backward_error;
  if (job.monitor.cancelled()) return std::string("cancelled");

  progress.restart();
  job.monitor.report_stage("refining edges 0/" + std::to_string(count));
  auto refine_error = for_each_frame_parallel(
      0, count, frame_worker_count(),
      [&](int index) -> std::optional<std::string> {
        cv::Mat frame;
        std::string problem;
        if (!job.frames.read_frame(index, frame, problem)) return problem;
        const cv::Mat mask = cv::imread(mask_path(job.scratch_dir, index).string(), cv::IMREAD_GRAYSCALE);
        if (mask.empty()) return std::string("a working mask was lost");
        const cv::Mat alpha = refine_edges(frame, mask, job.request.quality, job.request.edge_softness);
        if (!job.mattes.write_matte(index, alpha, problem)) return problem;
        progress.step("refining edges");
        return std::nullopt;
      },
      [&] { return job.monitor.cancelled(); });
  if (refine_error) return refine_error;
  if (job.monitor.cancelled()) return std::string("cancelled");
  return std::nullopt;
}

}  // namespace kesto::backend
