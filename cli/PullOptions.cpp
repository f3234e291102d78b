#include "cli/PullOptions.h"

#include <cmath>
#include <sstream>

#include "cli/Cli.h"
#include "cli/FrameOutput.h"
#include "options/CommandLine.h"

namespace trevane::cli {
namespace {

constexpr double kMaxDabRadius = 0.3;

// "a,b,c" into exactly `count` finite numbers, or CLI::ValidationError naming the option.
std::vector<double> parseNumberList(const std::string &option, const std::string &text, size_t count) {
  std::vector<double> values;
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    double v = 0.0;
    if (!CLI::detail::lexical_cast(item, v) || !std::isfinite(v)) {
      throw CLI::ValidationError(option, "'" + item + "' is not a number");
    }
    values.push_back(v);
  }
  if (values.size() != count) {
    throw CLI::ValidationError(option, "'" + text + "' needs " + std::to_string(count) +
                                           " numbers separated by commas");
  }
  return values;
}

bool inUnit(double v) { return v >= 0.0 && v <= 1.0; }

std::vector<double> parseBox(const std::string &text) {
  std::vector<double> b = parseNumberList("--box", text, 4);
  if (!inUnit(b[0]) || !inUnit(b[1]) || b[2] <= 0.0 || b[3] <= 0.0 || b[0] + b[2] > 1.0 + 1e-9 ||
      b[1] + b[3] > 1.0 + 1e-9) {
    throw CLI::ValidationError("--box", "x,y,w,h in normalised coordinates (0 to 1, from the top left), w and h "
                                        "above 0");
  }
  return b;
}

std::vector<double> parseDab(const std::string &text) {
  std::vector<double> d = parseNumberList("--dab", text, 3);
  if (!inUnit(d[0]) || !inUnit(d[1]) || d[2] == 0.0 || std::fabs(d[2]) > kMaxDabRadius) {
    throw CLI::ValidationError("--dab", "x,y,r with x and y from 0 to 1 and r from -0.3 to 0.3, not 0 (negative "
                                        "excludes)");
  }
  return d;
}

}  // namespace

void declarePullOptions(CLI::App &command, PullOptions &o) {
  command.description(
      "Pulls the character's matte for a whole clip and renders it.\n"
      "Loads the clip, marks the character, presses \"Pull alpha (whole clip)\", follows \"Status\" until the "
      "matte is ready, then renders every frame into the output sequence.");
  addClipOptions(command, o.clip);
  command
      .add_option_function<std::string>(
          "--box", [&o](const std::string &text) { o.box = parseBox(text); },
          "the character's box in normalised coordinates: 0 to 1 from the top-left corner")
      ->type_name("X,Y,W,H");
  command
      .add_option_function<std::vector<std::string>>(
          "--dab",
          [&o](const std::vector<std::string> &texts) {
            for (const std::string &t : texts) o.dabs.push_back(parseDab(t));
          },
          "a brush dab at (X, Y) with radius R as a fraction of the width; R > 0 adds to the selection, R < 0 "
          "excludes; may repeat")
      ->type_name("X,Y,R")
      ->allow_extra_args(false);
  command.add_option("--hint", o.hint, "a short description of the character, used when nothing is drawn")
      ->type_name("TEXT");
  addChoice(command, "--quality", o.quality, {{"fine", 0}, {"fast", 1}}, "fine edges, or fast");
  command.add_option("--softness", o.softness, "edge softness from 0 to 1")
      ->type_name("S")
      ->capture_default_str()
      ->check(kesto::options::numberWithin(0.0, 1.0));
  command.add_option("--anchor", o.anchor, "the frame number the selection was drawn on (default: the first frame)")
      ->type_name("FRAME");
  addChoice(command, "--mode", o.mode, {{"rgba", 0}, {"matte", 1}, {"source", 2}},
            "rgba: the character with the matte as alpha; matte: the matte alone; source: the untouched source");
  CLI::Option *backend = command
                             .add_option("--backend", o.backend,
                                         "the matting backend's base URL; without it the reference backend "
                                         "(trevane-backend) is started on a free loopback port and stopped at the "
                                         "end, and --engine and --model choose its engine")
                             ->type_name("URL");
  command
      .add_option("--engine", o.engine,
                  "the embedded backend's engine: auto (neural with --model or a cached model, else classical), "
                  "neural, classical, or trivial (a luminance threshold, for quick checks)")
      ->type_name("NAME")
      ->capture_default_str()
      ->check(CLI::IsMember({"auto", "neural", "classical", "trivial"}).description(""))
      ->excludes(backend);
  command.add_option("--model", o.model, "the network for the embedded backend's neural engine (ONNX)")
      ->type_name("FILE")
      ->check(CLI::ExistingFile.description(""))
      ->excludes(backend);
  command
      .add_option("--backend-exe", o.backendExe, "the trevane-backend executable (default: beside trevane, or on PATH)")
      ->type_name("FILE")
      ->check(CLI::ExistingFile.description(""));
  command
      .add_option("--contact-sheet", o.contactSheet,
                  "also write a picture with source, matte and cut-out over a checkerboard for a few frames")
      ->type_name("FILE")
      ->check(writableImageName());
  command.add_option("--timeout", o.timeoutSeconds, "give up when no result came in this time (default 6 hours)")
      ->type_name("SECONDS")
      ->check(kesto::options::numberAbove(0.0));
  addBundleOption(command, o.bundle);
  command.footer(
      "Shows the job's progress (a bar on a terminal, plain lines otherwise), then the matte session, which "
      "`trevane render --set session_id=SESSION` applies again.\n"
      "Exit status: 0 when the output was written, 1 when the job failed (its \"failed: ...\" text is printed) or "
      "the output could not be written, 2 for bad usage or bad input.");
}

void checkPullOptions(const PullOptions &o) {
  if (!o.box && o.dabs.empty() && o.hint.empty()) {
    throw UsageError("mark the character: --box, --dab or --hint (see --help)");
  }
  if (!o.model.empty() && o.engine != "auto" && o.engine != "neural") {
    throw UsageError("--model goes with --engine auto or neural");
  }
}

kesto::backend::EngineChoice embeddedEngine(const PullOptions &o, const std::filesystem::path &cachedModel) {
  kesto::backend::NeuralOptions neural;
  neural.model_path = o.model;
  kesto::backend::EngineChoice choice = kesto::backend::choose_engine(o.engine, neural, cachedModel);
  if (choice.engine == "neural" && choice.neural.model_path.empty()) {
    throw UsageError("--engine neural needs --model FILE, or a model fetched by scripts/fetch-model");
  }
  return choice;
}

}  // namespace trevane::cli
