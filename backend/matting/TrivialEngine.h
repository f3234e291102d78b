#pragma once
// A stand-in engine for tests and transfer benchmarks: the matte is the frame's luminance thresholded at the
// middle grey (255 where luma >= 128). It ignores the selection and takes about a millisecond per frame.

#include "MattingEngine.h"

namespace kesto::backend {

class TrivialEngine final : public MattingEngine {
 public:
  std::string_view name() const override { return "trivial"; }
  EngineOutcome run(const EngineJob& job) override;
};

}  // namespace kesto::backend
