#include "EngineFactory.h"

#include "ClassicalEngine.h"
#include "NeuralEngine.h"
#include "NeuralModel.h"
#include "TrivialEngine.h"

namespace kesto::backend {

EngineFactory engine_factory(const std::string& name, const NeuralOptions& neural, std::string& error) {
  if (name == "classical") return [] { return std::unique_ptr<MattingEngine>(new ClassicalEngine()); };
  if (name == "trivial") return [] { return std::unique_ptr<MattingEngine>(new TrivialEngine()); };
  if (name == "neural") {
    std::shared_ptr<const NeuralModel> model = NeuralModel::load(neural, error);
    if (!model) return {};
    const int spacing = neural.keyframe_spacing;
    return [model, spacing] { return std::unique_ptr<MattingEngine>(new NeuralEngine(model, spacing)); };
  }
  error = "unknown engine: " + name;
  return {};
}

}  // namespace kesto::backend
