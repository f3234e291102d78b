#pragma once
// Where scripts/fetch-model installs the network, and how "--engine auto" picks an engine from it: the
// network when a model is given or cached, the classical engine otherwise.

#include <filesystem>
#include <string>

#include "NeuralOptions.h"

namespace kesto::backend {

inline constexpr const char* kCachedModelName = "isnet-general-use.onnx";

// ${XDG_CACHE_HOME:-$HOME/.cache}/orvalis-trevane/models/isnet-general-use.onnx; empty when neither variable
// names a folder.
std::filesystem::path cached_model_path();

struct EngineChoice {
  std::string engine;         // "classical", "neural" or "trivial"
  NeuralOptions neural;       // model_path filled in when the engine is "neural"
  bool model_from_cache = false;
};

// "auto": neural with neural.model_path when set, else with `cached_model` when that file exists, else
// classical. "neural" without a model path takes the cached model too. Other names pass through unchanged;
// an engine the factory does not know is refused there.
EngineChoice choose_engine(const std::string& engine, const NeuralOptions& neural,
                           const std::filesystem::path& cached_model);

}  // namespace kesto::backend
