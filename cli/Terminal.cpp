// Whether the tool talks to a person at a terminal.

#include <cstdlib>
#include <unistd.h>

#include "cli/Cli.h"

namespace trevane::cli {

bool interactiveOutput() { return isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr; }

}  // namespace trevane::cli
