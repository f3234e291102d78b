#pragma once
// The classical OpenCV engine. On the anchor frame the selection (or the character found from the text hint)
// seeds GrabCut, and what moves with the background inside the box is taken out again; the mask then travels
// forward and backward through the clip by optical flow and band-limited re-segmentation (both directions at
// once), and each frame's edge is refined at full size by a pool of workers while propagation moves on
// (frames are independent there). "fast" tracks at three-quarter resolution with one GrabCut iteration per
// frame; "fine" at full resolution with more iterations, a more accurate flow and guided-filter edges. Only
// a few frames are in memory at any time, whatever the clip's length.

#include <functional>
#include <optional>
#include <string>

#include <opencv2/core/mat.hpp>

#include "AnchorSegmenter.h"
#include "MattingEngine.h"

namespace kesto::backend {

class NeuralModel;

struct ClassicalParams {
  double work_scale = 1.0;   // working resolution relative to the frame, for propagation
  double anchor_scale = 1.0; // resolution of the anchor's segmentation: done once, it sets the quality of all
  int anchor_iterations = 5;
  int anchor_starts = 4;     // GrabCut starts on the anchor, the one of lowest energy kept (at two iterations
                             // the lowest is not yet the best: fast keeps one)
  int band_px = 8;
  int track_iterations = 2;
  bool fine_flow = true;
  double cue_scale = 1.0;    // size of the motion cue's flow and the anchor's second cut, relative to the anchor
};

ClassicalParams classical_params(Quality quality);

// Checks that the job's anchor frame lies in the clip, reports the "segmenting anchor" stage and reads that
// frame. False, with `error` set, when the anchor is outside the clip or the frame cannot be read.
bool read_anchor_frame(const EngineJob& job, cv::Mat& anchor_frame, std::string& error);

// What the selection says on the anchor frame, in pixels of an image of `image_size` (the anchor frame,
// possibly scaled): the box, or without one the dabs, or the character found from the text hint (with the
// frames beside the anchor for motion, and `model`'s salient regions when a network is loaded; may be null).
// Reports the "finding character" stage when it searches and "found: ..." with what it found. Nothing, with
// `error` set, when nothing fits the hint or the network fails.
std::optional<AnchorSeeds> anchor_seeds(const EngineJob& job, const cv::Mat& anchor_frame, cv::Size image_size,
                                        const NeuralModel* model, std::string& error);

// May replace a propagated frame's mask before it is refined and carried on: (frame index, full-size frame,
// working-size mask). Returns a reason to fail the job. Called from both directions' threads at once.
using MaskCorrector = std::function<std::optional<std::string>(int index, const cv::Mat& frame, cv::Mat& mask)>;

// Carries the anchor's mask (0/255, any size) through the clip both ways from the anchor and refines and
// stores every frame's matte. `correct` may be empty.
EngineOutcome matte_from_anchor(const EngineJob& job, const ClassicalParams& params, const cv::Mat& anchor_frame,
                                const cv::Mat& anchor_segmentation, const MaskCorrector& correct);

class ClassicalEngine final : public MattingEngine {
 public:
  std::string_view name() const override { return "classical"; }
  EngineOutcome run(const EngineJob& job) override;
};

}  // namespace kesto::backend
