// trevane: runs the Orvalis Trevane plug-in without an editor, through the project's in-process host.

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "cli/Cli.h"

namespace {

using trevane::cli::Command;

constexpr Command kCommands[] = {
    {"describe", "print what the plug-in declares to a host",
     "usage: trevane describe [--json] [--bundle DIR]\n"
     "  Loads the plug-in and prints its record, the effect's properties, the clips and the parameters\n"
     "  with every property the plug-in set, in the order it set them.\n"
     "  --json        print one JSON document instead of text\n"
     "  --bundle DIR  the OrvalisTrevane.ofx.bundle folder (default: the build tree's, else OFX_PLUGIN_PATH,\n"
     "                else /usr/OFX/Plugins)\n",
     trevane::cli::runDescribe},
};

void printUsage(FILE *out) {
  std::fprintf(out, "usage: trevane COMMAND [OPTIONS]   (trevane COMMAND --help for details)\n\ncommands:\n");
  for (const Command &c : kCommands) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    printUsage(argc < 2 ? stderr : stdout);
    return argc < 2 ? trevane::cli::kExitUsage : trevane::cli::kExitOk;
  }
  for (const Command &command : kCommands) {
    if (std::strcmp(argv[1], command.name) != 0) continue;
    std::vector<std::string> rest(argv + 2, argv + argc);
    for (const std::string &a : rest) {
      if (a == "--help" || a == "-h") {
        std::fputs(command.usage, stdout);
        return trevane::cli::kExitOk;
      }
    }
    try {
      trevane::cli::Args args(rest);
      return command.run(args);
    } catch (const trevane::cli::UsageError &e) {
      std::fprintf(stderr, "trevane %s: %s\n", command.name, e.what());
      return trevane::cli::kExitUsage;
    } catch (const std::exception &e) {
      std::fprintf(stderr, "trevane %s: %s\n", command.name, e.what());
      return trevane::cli::kExitJobFailed;
    }
  }
  std::fprintf(stderr, "trevane: unknown command '%s' (see trevane --help)\n", argv[1]);
  return trevane::cli::kExitUsage;
}
