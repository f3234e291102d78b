#pragma once
// The options of `trevane pull`, declared once: the parser and the help text both come from here.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "backend/matting/ModelCache.h"
#include "cli/CommandOptions.h"

namespace trevane::cli {

struct PullOptions {
  ClipOptions clip;
  std::optional<std::string> backend;
  std::string backendExe;
  std::string engine = "auto";
  std::string model;
  std::optional<std::vector<double>> box;   // x, y, w, h
  std::vector<std::vector<double>> dabs;    // x, y, r each
  std::string hint;
  int quality = 0;  // 0 fine, 1 fast
  double softness = 0.35;
  std::optional<long long> anchor;
  int mode = 0;  // 0 rgba, 1 matte, 2 source
  double timeoutSeconds = 6 * 3600.0;
  std::optional<std::string> contactSheet;
  std::string bundle;
};

// Declares every option on `command`, values landing in `o` (which must outlive the parse).
void declarePullOptions(CLI::App &command, PullOptions &o);

// The checks no single option can make: something marks the character, --model fits --engine. Fails with
// UsageError.
void checkPullOptions(const PullOptions &o);

// The embedded backend's engine and model, chosen by the backend's own rule for --engine auto (the cached model
// in `cachedModel` counts as given). UsageError when the neural engine would have no model, before anything
// is read or started.
kesto::backend::EngineChoice embeddedEngine(const PullOptions &o, const std::filesystem::path &cachedModel);

}  // namespace trevane::cli
