#pragma once
// Makes engines by name. Each job gets an engine of its own, so engines need not be thread-safe across jobs.

#include <functional>
#include <memory>
#include <string>

namespace kesto::backend {

class MattingEngine;

using EngineFactory = std::function<std::unique_ptr<MattingEngine>()>;

// "classical" or "trivial"; an empty function for an unknown name.
EngineFactory engine_factory(const std::string& name);

}  // namespace kesto::backend
