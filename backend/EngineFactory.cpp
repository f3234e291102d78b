#include "EngineFactory.h"

#include "ClassicalEngine.h"
#include "TrivialEngine.h"

namespace kesto::backend {

EngineFactory engine_factory(const std::string& name) {
  if (name == "classical") return [] { return std::unique_ptr<MattingEngine>(new ClassicalEngine()); };
  if (name == "trivial") return [] { return std::unique_ptr<MattingEngine>(new TrivialEngine()); };
  return {};
}

}  // namespace kesto::backend
