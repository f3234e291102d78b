// Option parsing shared by the subcommands.

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <unistd.h>

#include "cli/Cli.h"

namespace trevane::cli {

Args::Args(std::vector<std::string> args) : args_(std::move(args)), used_(args_.size(), false) {}

bool Args::flag(const std::string &name) {
  bool found = false;
  for (size_t i = 0; i < args_.size(); ++i) {
    if (!used_[i] && args_[i] == "--" + name) {
      used_[i] = true;
      found = true;
    }
  }
  return found;
}

std::vector<std::string> Args::values(const std::string &name) {
  std::vector<std::string> out;
  const std::string key = "--" + name;
  for (size_t i = 0; i < args_.size(); ++i) {
    if (used_[i]) continue;
    if (args_[i] == key) {
      if (i + 1 >= args_.size()) throw UsageError("option " + key + " needs a value");
      used_[i] = used_[i + 1] = true;
      out.push_back(args_[i + 1]);
      ++i;
    } else if (args_[i].rfind(key + "=", 0) == 0) {
      used_[i] = true;
      out.push_back(args_[i].substr(key.size() + 1));
    }
  }
  return out;
}

std::optional<std::string> Args::value(const std::string &name) {
  std::vector<std::string> all = values(name);
  if (all.empty()) return std::nullopt;
  return all.back();
}

void Args::finish() const {
  for (size_t i = 0; i < args_.size(); ++i) {
    if (!used_[i]) throw UsageError("unexpected argument '" + args_[i] + "' (see --help)");
  }
}

std::string requiredValue(const std::optional<std::string> &value, const std::string &usage) {
  if (!value) throw UsageError(usage + " is required (see --help)");
  return *value;
}

double parseDouble(const std::string &option, const std::string &text) {
  errno = 0;
  char *end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != '\0' || errno == ERANGE || !std::isfinite(v)) {
    throw UsageError("--" + option + ": '" + text + "' is not a number");
  }
  return v;
}

int parseInt(const std::string &option, const std::string &text) {
  errno = 0;
  char *end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || end == nullptr || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX) {
    throw UsageError("--" + option + ": '" + text + "' is not an integer");
  }
  return static_cast<int>(v);
}

bool interactiveOutput() { return isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr; }

}  // namespace trevane::cli
