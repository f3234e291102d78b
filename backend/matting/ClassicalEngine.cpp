#include "ClassicalEngine.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>
#include <thread>

#include <opencv2/imgproc.hpp>

#include "AnchorSegmenter.h"
#include "CharacterFinder.h"
#include "EdgeRefiner.h"
#include "GrabCutRestarts.h"
#include "MaskPropagator.h"
#include "MotionCue.h"
#include "ParallelFrames.h"
#include "RefinePipeline.h"
#include "ScaledSize.h"

namespace kesto::backend {

namespace {

// Frames waiting for refinement; with the frames the threads hold, this bounds memory to a few frames.
constexpr std::size_t kRefineQueueFrames = 4;
// The hint finder compares the anchor with the frames this far before and after it, to see what moves.
constexpr int kHintNeighbourDistance = 2;

cv::Mat to_work(const cv::Mat& frame, double scale) {
  if (scale >= 1.0) return frame;
  cv::Mat work;
  cv::resize(frame, work, scaled_size(frame.size(), scale), 0, 0, cv::INTER_AREA);
  return work;
}

cv::Mat to_gray(const cv::Mat& bgr) {
  cv::Mat gray;
  cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
  return gray;
}

// The motion cue for the box on the anchor image, against the frame kHintNeighbourDistance after the anchor
// (before it at the clip's end); empty when neither can be read or the sizes differ.
MotionCue motion_cue_near(const EngineJob& job, const cv::Mat& anchor_image, const ClassicalParams& params,
                          const cv::Rect& box) {
  const int anchor = job.request.anchor_frame;
  for (const int index : {anchor + kHintNeighbourDistance, anchor - kHintNeighbourDistance}) {
    if (index < 0 || index >= job.frames.frame_count()) continue;
    cv::Mat frame;
    std::string unread;
    if (!job.frames.read_frame(index, frame, unread)) continue;
    const cv::Mat neighbour = to_work(frame, params.anchor_scale);
    if (neighbour.size() != anchor_image.size()) return {};
    return motion_cue(to_gray(anchor_image), to_gray(neighbour), box, params.cue_scale);
  }
  return {};
}

// Counts frames through propagation and refinement and turns them into stage texts.
class Progress {
 public:
  Progress(JobMonitor& monitor, int total) : monitor_(monitor), total_(total) {}
  void propagated() {
    const int done = propagated_.fetch_add(1) + 1;
    if (!propagation_over_.load()) report("propagating", done);
  }
  void refined() {
    const int done = refined_.fetch_add(1) + 1;
    if (propagation_over_.load()) report("refining edges", done);
  }
  void propagation_over() {
    propagation_over_.store(true);
    report("refining edges", refined_.load());
  }

 private:
  void report(const char* stage, int done) {
    monitor_.report_stage(std::string(stage) + " " + std::to_string(done) + "/" + std::to_string(total_));
  }
  JobMonitor& monitor_;
  const int total_;
  std::atomic<int> propagated_{0};
  std::atomic<int> refined_{0};
  std::atomic<bool> propagation_over_{false};
};

// Runs the mask from the anchor to one end of the clip; step is +1 (forward) or -1 (backward). Each frame's
// mask goes to the refinement pipeline with the frame.
std::optional<std::string> propagate(const EngineJob& job, const ClassicalParams& params, const cv::Mat& anchor_gray,
                                     const cv::Mat& anchor_mask, int step, const MaskCorrector& correct,
                                     Progress& progress, RefinePipeline& refine) {
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
    if (correct) {
      if (auto problem = correct(index, frame, mask)) return problem;
    }
    progress.propagated();
    if (!refine.push(RefineItem{index, frame, mask})) return std::nullopt;  // a refinement failed: reported there
    prev_gray = gray;
    prev_mask = mask;
  }
  return std::nullopt;
}

}  // namespace

ClassicalParams classical_params(Quality quality) {
  // Fast tracks at three quarters of the frame: at half, thin limbs and hair lost on the way cost more than
  // the flow saves; its motion cue runs at half size, a quarter of the cost (a thin staff's edge can go with
  // the lawn behind it there).
  if (quality == Quality::Fast) return ClassicalParams{0.75, 1.0, 2, 1, 5, 1, false, 0.5};
  return ClassicalParams{1.0, 1.0, 5, 4, 8, 2, true};
}

std::optional<AnchorSeeds> anchor_seeds(const EngineJob& job, const cv::Mat& anchor_frame, cv::Size image_size,
                                        const NeuralModel* model, std::string& error) {
  AnchorSeeds seeds;
  seeds.dabs = job.request.strokes;
  if (job.request.bbox) {
    seeds.box = box_to_pixels(*job.request.bbox, image_size.width, image_size.height);
  } else if (!job.request.has_drawing() || std::none_of(seeds.dabs.begin(), seeds.dabs.end(),
                                                        [](const BrushDab& d) { return d.adds(); })) {
    job.monitor.report_stage("finding character");
    std::vector<cv::Mat> neighbours;
    const int anchor = job.request.anchor_frame;
    for (const int index : {anchor - kHintNeighbourDistance, anchor + kHintNeighbourDistance}) {
      const int clamped = std::clamp(index, 0, job.frames.frame_count() - 1);
      cv::Mat frame;
      std::string unread;
      if (clamped != anchor && job.frames.read_frame(clamped, frame, unread)) neighbours.push_back(frame);
    }
    const auto found = find_character(anchor_frame, neighbours, job.request.text_prompt, model, error);
    if (!found) {
      if (error.empty()) error = "nothing in the anchor frame fits the text hint; draw a box around the character";
      return std::nullopt;
    }
    job.monitor.report_stage("found: " + found->description);
    const double sx = static_cast<double>(image_size.width) / anchor_frame.cols;
    const double sy = static_cast<double>(image_size.height) / anchor_frame.rows;
    seeds.box = cv::Rect(static_cast<int>(found->box.x * sx), static_cast<int>(found->box.y * sy),
                         std::max(2, static_cast<int>(found->box.width * sx)),
                         std::max(2, static_cast<int>(found->box.height * sy))) &
                cv::Rect(0, 0, image_size.width, image_size.height);
    job.monitor.report_stage("segmenting anchor");
  }
  return seeds;
}

bool read_anchor_frame(const EngineJob& job, cv::Mat& anchor_frame, std::string& error) {
  const int anchor = job.request.anchor_frame;
  if (anchor < 0 || anchor >= job.frames.frame_count()) {
    error = "the anchor frame is outside the clip";
    return false;
  }
  job.monitor.report_stage("segmenting anchor");
  return job.frames.read_frame(anchor, anchor_frame, error);
}

EngineOutcome ClassicalEngine::run(const EngineJob& job) {
  const ScopedRngSeed rng(kFreshRngState);
  const ClassicalParams params = classical_params(job.request.quality);
  cv::Mat anchor_frame;
  std::string error;
  if (!read_anchor_frame(job, anchor_frame, error)) return error;
  const cv::Mat anchor_image = to_work(anchor_frame, params.anchor_scale);

  std::optional<AnchorSeeds> seeds = anchor_seeds(job, anchor_frame, anchor_image.size(), nullptr, error);
  if (!seeds) return error;
  if (seeds->box) seeds->motion = motion_cue_near(job, anchor_image, params, *seeds->box);
  const cv::Mat anchor_mask = segment_anchor(anchor_image, *seeds, params.anchor_iterations, params.anchor_starts, error,
                                             params.cue_scale);
  if (anchor_mask.empty()) return error;
  return matte_from_anchor(job, params, anchor_frame, anchor_mask, MaskCorrector());
}

EngineOutcome matte_from_anchor(const EngineJob& job, const ClassicalParams& params, const cv::Mat& anchor_frame,
                                const cv::Mat& anchor_segmentation, const MaskCorrector& correct) {
  const int count = job.frames.frame_count();
  const int anchor = job.request.anchor_frame;
  const cv::Mat work = to_work(anchor_frame, params.work_scale);
  cv::Mat anchor_mask = anchor_segmentation;
  if (anchor_mask.size() != work.size()) {
    cv::resize(anchor_mask, anchor_mask, work.size(), 0, 0, cv::INTER_AREA);
    cv::threshold(anchor_mask, anchor_mask, 127.0, 255.0, cv::THRESH_BINARY);
  }

  Progress progress(job.monitor, count);
  RefinePipeline refine(frame_worker_count(), kRefineQueueFrames, [&](const RefineItem& item) -> std::optional<std::string> {
    const cv::Mat alpha = refine_edges(item.frame, item.mask, job.request.quality, job.request.edge_softness);
    std::string problem;
    if (!job.mattes.write_matte(item.index, alpha, problem)) return problem;
    progress.refined();
    return std::nullopt;
  });
  const cv::Mat anchor_gray = to_gray(work);
  progress.propagated();
  refine.push(RefineItem{anchor, anchor_frame, anchor_mask});

  std::optional<std::string> backward_error;
  std::thread backward([&] {
    try {
      backward_error = propagate(job, params, anchor_gray, anchor_mask, -1, correct, progress, refine);
    } catch (const std::exception& e) {
      backward_error = std::string("internal error: ") + e.what();
    } catch (...) {
      backward_error = std::string("internal error");
    }
  });
  std::optional<std::string> forward_error;
  try {
    forward_error = propagate(job, params, anchor_gray, anchor_mask, +1, correct, progress, refine);
  } catch (const std::exception& e) {
    forward_error = std::string("internal error: ") + e.what();
  } catch (...) {
    forward_error = std::string("internal error");
  }
  backward.join();
  progress.propagation_over();
  const std::optional<std::string> refine_error = refine.finish();
  if (forward_error) return forward_error;
  if (backward_error) return backward_error;
  if (refine_error) return refine_error;
  if (job.monitor.cancelled()) return std::string("cancelled");
  return std::nullopt;
}

}  // namespace kesto::backend
