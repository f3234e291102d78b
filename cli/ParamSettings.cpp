#include "cli/ParamSettings.h"

#include <cmath>

#include <CLI/CLI.hpp>

#include "cli/Cli.h"

namespace trevane::cli {

std::vector<ParamSetting> parseParamSettings(const std::vector<std::string> &texts) {
  std::vector<ParamSetting> settings;
  for (const std::string &text : texts) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) throw UsageError("--set: '" + text + "' is not NAME=VALUE");
    settings.push_back({text.substr(0, eq), text.substr(eq + 1)});
  }
  return settings;
}

void applyParamSetting(host::Plugin &plugin, host::Instance &fx, const ParamSetting &setting) {
  std::string type;
  for (const host::ParamInfo &p : plugin.params()) {
    if (p.name == setting.name) type = p.type;
  }
  if (type.empty()) throw UsageError("--set: the plug-in has no parameter '" + setting.name + "'");
  const std::string option = "--set " + setting.name;
  host::Expected<OfxStatus> result = host::Error{"unsupported parameter type"};
  if (type == kOfxParamTypeString) {
    result = fx.setString(setting.name, setting.value);
  } else if (type == kOfxParamTypeInteger || type == kOfxParamTypeBoolean || type == kOfxParamTypeChoice) {
    int value = 0;
    if (!CLI::detail::lexical_cast(setting.value, value)) {
      throw UsageError(option + ": '" + setting.value + "' is not an integer");
    }
    result = fx.setInt(setting.name, value);
  } else if (type == kOfxParamTypeDouble) {
    double value = 0.0;
    if (!CLI::detail::lexical_cast(setting.value, value) || !std::isfinite(value)) {
      throw UsageError(option + ": '" + setting.value + "' is not a number");
    }
    result = fx.setDouble(setting.name, value);
  } else {
    throw UsageError("--set: '" + setting.name + "' (" + type + ") holds no value");
  }
  if (!result.ok()) throw UsageError(option + ": " + result.error());
}

}  // namespace trevane::cli
