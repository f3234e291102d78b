#pragma once
// Options more than one subcommand takes, each declared once here: the parser and the help text both come
// from these declarations.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/ClipSource.h"
#include "cli/ParamSettings.h"
#include "host/Host.h"

namespace trevane::cli {

inline constexpr double kDefaultRateFps = 25.0;
inline constexpr long long kMaxFrameNumber = 999999999;

// An option taking one of `choices` by name into `target`; the help shows "a|b|c" and the current name.
template <class T>
CLI::Option *addChoice(CLI::App &app, const std::string &name, T &target,
                       const std::vector<std::pair<std::string, T>> &choices, const std::string &help) {
  std::string names;
  std::string current;
  for (const auto &[text, value] : choices) {
    names += (names.empty() ? "" : "|") + text;
    if (value == target) current = text;
  }
  CLI::Option *option = app.add_option_function<std::string>(
      name,
      [name, names, choices, &target](const std::string &text) {
        for (const auto &[choice, value] : choices) {
          if (text == choice) {
            target = value;
            return;
          }
        }
        throw CLI::ValidationError(name, "'" + text + "' is not one of " + names);
      },
      help);
  option->type_name(names);
  if (!current.empty()) option->default_str(current);
  return option;
}

void addBundleOption(CLI::App &app, std::string &bundle);
void addSetOption(CLI::App &app, std::vector<ParamSetting> &settings);

// How render and pull read their clip and write their frames.
struct ClipOptions {
  ClipRequest request;
  std::string output;
  std::optional<double> rateFps;  // --rate; default: the files' own, else kDefaultRateFps
  bool exrFloat = false;
  double rateFor(const ClipSource &clip) const { return rateFps.value_or(clip.frameRate().value_or(kDefaultRateFps)); }
};
void addClipOptions(CLI::App &app, ClipOptions &o);

// An instance that renders a clip unattended: the project is one frame's size, at the clip's rate.
host::InstanceOptions clipInstanceOptions(host::PixelDepth depth, FrameSize size, double rateFps);

}  // namespace trevane::cli
