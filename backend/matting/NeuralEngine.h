#pragma once
// The neural engine: a user-supplied segmentation network where it helps most for its cost, the classical
// engine's propagation in between. The network segments the anchor frame inside the selection (dabs still
// force the character and the background), and again every `keyframe_spacing` frames away from the anchor,
// guided by the propagated mask, which it replaces there so that drift does not build up. Frames between
// keyframes are propagated and every frame's edge is refined as in the classical engine. A network failure
// (or NaN in its output) fails the job with the model's file named.

#include <memory>

#include "MattingEngine.h"
#include "NeuralModel.h"

namespace kesto::backend {

class NeuralEngine final : public MattingEngine {
 public:
  NeuralEngine(std::shared_ptr<const NeuralModel> model, int keyframe_spacing);
  std::string_view name() const override { return "neural"; }
  EngineOutcome run(const EngineJob& job) override;

 private:
  std::shared_ptr<const NeuralModel> model_;
  int keyframe_spacing_;
};

}  // namespace kesto::backend
