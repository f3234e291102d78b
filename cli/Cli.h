#pragma once
// The `trevane` tool's shared conventions: one function per subcommand, errors as one line on stderr,
// exit status 0 for success, 1 when the job itself failed, 2 for bad usage or bad input.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace trevane::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitJobFailed = 1;
inline constexpr int kExitUsage = 2;

// Thrown by argument parsing; main prints "trevane <command>: <message>" and exits with kExitUsage.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Minimal option reader over one subcommand's arguments: "--name value", "--name=value" and flags.
class Args {
 public:
  explicit Args(std::vector<std::string> args);
  bool flag(const std::string &name);                        // "--name" present (consumed)
  std::optional<std::string> value(const std::string &name);  // last "--name V" (consumed)
  std::vector<std::string> values(const std::string &name);   // every "--name V", in order (consumed)
  // Fails with UsageError when anything was not consumed.
  void finish() const;

 private:
  std::vector<std::string> args_;
  std::vector<bool> used_;
};

// The value of an option that must be given; fails with UsageError "<usage> is required (see --help)", where
// `usage` is the option as --help shows it, such as "--input SEQUENCE".
std::string requiredValue(const std::optional<std::string> &value, const std::string &usage);

// Parses a number or fails with UsageError naming the option.
double parseDouble(const std::string &option, const std::string &text);
int parseInt(const std::string &option, const std::string &text);

// Folder holding OrvalisTrevane.ofx.bundle when --bundle is not given: the bundle beside the tool's build
// tree, else the first match on OFX_PLUGIN_PATH, else /usr/OFX/Plugins.
std::string defaultBundlePath();

// Whether progress may be drawn as a bar and colour used (stdout is a terminal and NO_COLOR is unset).
bool interactiveOutput();

using CommandFn = int (*)(Args &args);

struct Command {
  const char *name;
  const char *summary;
  const char *usage;  // printed by --help
  CommandFn run;
};

// Subcommands, each in a file of its own.
int runDescribe(Args &args);
int runOverlay(Args &args);
int runRender(Args &args);
int runPull(Args &args);

}  // namespace trevane::cli
