#pragma once
// "--set NAME=VALUE" options: parsed once, then applied to an instance as user edits, each value converted by
// the type the plug-in declared for that parameter.

#include <string>
#include <vector>

#include "host/Host.h"

namespace trevane::cli {

struct ParamSetting {
  std::string name;
  std::string value;
};

// Splits each text at its first '='; fails with UsageError for a text without '=' or without a name.
std::vector<ParamSetting> parseParamSettings(const std::vector<std::string> &texts);

// Sets the parameter as a user edit: strings as they are, integers, booleans and choices (by index) and
// doubles parsed from the text. Fails with UsageError for an unknown parameter, a push button, a value that
// is no number, or a value the host refuses.
void applyParamSetting(host::Plugin &plugin, host::Instance &fx, const ParamSetting &setting);

}  // namespace trevane::cli
