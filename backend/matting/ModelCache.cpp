#include "ModelCache.h"

#include <cstdlib>
#include <system_error>

namespace kesto::backend {

namespace fs = std::filesystem;

fs::path cached_model_path() {
  fs::path cache;
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && *xdg == '/') {
    cache = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    cache = fs::path(home) / ".cache";
  } else {
    return {};
  }
  return cache / "orvalis-trevane" / "models" / kCachedModelName;
}

EngineChoice choose_engine(const std::string& engine, const NeuralOptions& neural, const fs::path& cached_model) {
  EngineChoice choice{engine, neural, false};
  if (engine != "auto" && engine != "neural") return choice;
  if (!neural.model_path.empty()) {
    choice.engine = "neural";
    return choice;
  }
  std::error_code ec;
  if (!cached_model.empty() && fs::is_regular_file(cached_model, ec)) {
    choice.engine = "neural";
    choice.neural.model_path = cached_model.string();
    choice.model_from_cache = true;
    return choice;
  }
  // Nothing to run a network on: auto falls back, an explicit neural is refused by the factory.
  if (engine == "auto") choice.engine = "classical";
  return choice;
}

}  // namespace kesto::backend
