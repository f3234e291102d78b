#pragma once
// The `trevane` tool's shared conventions: one declaration function per subcommand, errors as one line on
// stderr, exit status 0 for success, 1 when the job itself failed, 2 for bad usage or bad input.

#include <functional>
#include <stdexcept>
#include <string>

namespace CLI {
class App;
}

namespace trevane::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitJobFailed = 1;
inline constexpr int kExitUsage = 2;

// Bad usage or bad input found while running; main prints "trevane <command>: <message>" and exits with
// kExitUsage.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Folder holding OrvalisTrevane.ofx.bundle when --bundle is not given: the bundle beside the tool's build
// tree, else the first match on OFX_PLUGIN_PATH, else /usr/OFX/Plugins.
std::string defaultBundlePath();

// Whether progress may be drawn as a bar and colour used (stdout is a terminal and NO_COLOR is unset).
bool interactiveOutput();

// A subcommand declares its options on `command`, their values landing in state the returned function
// keeps, and returns the function that runs the command once the arguments are parsed.
using CommandRun = std::function<int()>;

// Subcommands, each in a file of its own.
CommandRun declareDescribe(CLI::App &command);
CommandRun declareOverlay(CLI::App &command);
CommandRun declareRender(CLI::App &command);
CommandRun declarePull(CLI::App &command);

}  // namespace trevane::cli
