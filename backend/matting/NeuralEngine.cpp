#include "NeuralEngine.h"

#include <string>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "ClassicalEngine.h"
#include "GrabCutRestarts.h"
#include "NeuralSegmenter.h"

namespace kesto::backend {

namespace {

std::string on_frame(const std::string& problem, int frame) {
  return problem + " (frame " + std::to_string(frame) + ")";
}

}  // namespace

NeuralEngine::NeuralEngine(std::shared_ptr<const NeuralModel> model, int keyframe_spacing)
    : model_(std::move(model)), keyframe_spacing_(keyframe_spacing) {}

EngineOutcome NeuralEngine::run(const EngineJob& job) {
  const ScopedRngSeed rng(kFreshRngState);
  if (!model_) return std::string("no model loaded");
  ClassicalParams params = classical_params(job.request.quality);
  // The network corrects the propagated mask on keyframes and every edge is refined at the job's quality:
  // between keyframes the fast flow and one GrabCut pass per frame do as well as the fine ones, at less cost.
  params.fine_flow = false;
  params.track_iterations = 1;
  cv::Mat anchor_frame;
  std::string error;
  if (!read_anchor_frame(job, anchor_frame, error)) return error;
  const std::optional<AnchorSeeds> seeds = anchor_seeds(job, anchor_frame, anchor_frame.size(), model_.get(), error);
  if (!seeds) return error;
  const cv::Mat anchor_mask = neural_anchor_mask(*model_, anchor_frame, *seeds, error);
  if (anchor_mask.empty()) return error;
  if (job.monitor.cancelled()) return std::string("cancelled");

  const NeuralModel& model = *model_;
  const int anchor = job.request.anchor_frame;
  const int spacing = keyframe_spacing_;
  const MaskCorrector correct = [&model, anchor, spacing](int index, const cv::Mat& frame,
                                                          cv::Mat& mask) -> std::optional<std::string> {
    if (!is_keyframe(index, anchor, spacing)) return std::nullopt;
    cv::Mat propagated = mask;
    if (propagated.size() != frame.size()) cv::resize(mask, propagated, frame.size(), 0, 0, cv::INTER_NEAREST);
    std::string problem;
    cv::Mat corrected = neural_keyframe_mask(model, frame, propagated, problem);
    if (corrected.empty()) return on_frame(problem, index);
    if (corrected.size() != mask.size()) {
      cv::resize(corrected, corrected, mask.size(), 0, 0, cv::INTER_AREA);
      cv::threshold(corrected, corrected, 127.0, 255.0, cv::THRESH_BINARY);
    }
    mask = corrected;
    return std::nullopt;
  };
  return matte_from_anchor(job, params, anchor_frame, anchor_mask, correct);
}

}  // namespace kesto::backend
