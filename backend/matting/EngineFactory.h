#pragma once
// Makes engines by name. Each job gets an engine of its own, so engines need not be thread-safe across jobs;
// what they share (the neural engine's loaded model) is.

#include <functional>
#include <memory>
#include <string>

#include "NeuralOptions.h"

namespace kesto::backend {

class MattingEngine;

using EngineFactory = std::function<std::unique_ptr<MattingEngine>()>;

// The factory for `engine`: "classical", "trivial" or "neural". For "neural" the model `neural` names is loaded
// and checked here, once, so an unusable model stops the server from starting. An empty function with `error`
// set when the engine is unknown or its model unusable.
EngineFactory engine_factory(const std::string& engine, const NeuralOptions& neural, std::string& error);

}  // namespace kesto::backend
