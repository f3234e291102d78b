#pragma once
// The classical OpenCV engine. On the anchor frame the selection (or the character found from the text hint)
// seeds GrabCut; the mask then travels forward and backward through the clip by optical flow and band-limited
// re-segmentation (both directions at once), and each frame's edge is refined at full size by a pool of
// workers while propagation moves on (frames are independent there). "fast" works at half resolution with one
// GrabCut iteration per frame; "fine" at full resolution with more iterations, a more accurate flow and
// guided-filter edges. Only a few frames are in memory at any time, whatever the clip's length.

#include "MattingEngine.h"

namespace kesto::backend {

struct ClassicalParams {
  double work_scale = 1.0;   // working resolution relative to the frame, for propagation
  double anchor_scale = 1.0; // resolution of the anchor's segmentation: done once, it sets the quality of all
  int anchor_iterations = 5;
  int band_px = 8;
  int track_iterations = 2;
  bool fine_flow = true;
};

ClassicalParams classical_params(Quality quality);

class ClassicalEngine final : public MattingEngine {
 public:
  std::string_view name() const override { return "classical"; }
  EngineOutcome run(const EngineJob& job) override;
};

}  // namespace kesto::backend
